from quellor_selfplay.commands.cli import main

raise SystemExit(main())
