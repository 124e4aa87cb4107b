from quellor_selfplay.cli import main

raise SystemExit(main())
