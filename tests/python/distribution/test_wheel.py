"""The wheel: built from this tree, it installs and works in a fresh virtual environment."""

import subprocess
import sys
from pathlib import Path
from support import ROOT



def test_wheel_installs_in_a_fresh_environment(tmp_path):
    # In make's persistent build folder, so that the wheel costs an incremental build (a plain
    # `pip wheel .` would compile everything again in a temporary one).
    build = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
         "-C", f"build-dir={ROOT / 'build' / '{wheel_tag}'}", "-w", str(tmp_path), str(ROOT)],
        capture_output=True, text=True, timeout=600,
    )
    assert build.returncode == 0, build.stderr
    (wheel,) = tmp_path.glob("quellor-*.whl")
    check = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "check_wheel.py"), str(wheel)],
        capture_output=True, text=True, timeout=600,
    )
    assert check.returncode == 0, check.stdout + check.stderr
    assert "installs and works in a fresh environment" in check.stdout
