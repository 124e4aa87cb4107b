"""Installs a quellor wheel into a fresh virtual environment and uses it there.

    python tools/check_wheel.py dist/quellor-0.1.0-cp311-cp311-linux_x86_64.whl

The environment gets the wheel alone (no python-chess, no torch): the module must import and
play, its optional parts must say what they need, and the stub package, the self-play package
and its console script must be where installers put them. Exits non-zero on the first failure.
"""

import argparse
import subprocess
import sys
import tempfile
import venv
from pathlib import Path

# Run inside the fresh environment.
PROBE = r"""
import importlib.util, pathlib, sys, sysconfig
import quellor
game = quellor.SelfPlayGame()
assert game.board[7][4] == 6, game.board
game.apply("e2e4")
assert game.turn is False and game.action_index("e7e5") == 796
for method, needs in ((game.legal_actions, "python-chess"), (game.encode, "torch")):
    try:
        method()
    except ValueError as err:
        assert needs in str(err), err
    else:
        raise AssertionError(f"{method.__name__} ran without {needs}")
site = pathlib.Path(sysconfig.get_paths()["purelib"])
assert (site / "quellor-stubs" / "__init__.pyi").is_file(), "no stub package"
assert importlib.util.find_spec("quellor_selfplay") is not None, "no self-play package"
# The batch's native core plays without torch, through plain buffers.
import array
from quellor_selfplay import _batch
n = 2
outputs = (bytearray(n * 64 * 106), bytearray(n * 4352), bytearray(n), array.array("f", [0.0] * 2 * n),
           bytearray(n), bytearray(n), array.array("q", [0] * n), array.array("q", [0] * n),
           array.array("b", [0] * n), array.array("b", [0] * n))
batch = _batch.Batch(n, "dark", "own", "uint8", 0, 1, 1, None, False, outputs)
assert sum(outputs[1]) == 2 * 20, "the start position has 20 moves"
draws = array.array("q", [0] * n)
batch.random_actions(draws)
batch.step(draws, False)
assert list(outputs[6]) == [1, 1] and list(outputs[2]) == [0, 0], (list(outputs[6]), list(outputs[2]))
assert all(code >= 0 for code in outputs[7]) and list(outputs[8]) == [-1, -1], (list(outputs[7]), list(outputs[8]))
script = pathlib.Path(sys.executable).with_name("quellor-selfplay")
assert script.is_file(), "no quellor-selfplay script"
print(f"quellor {quellor.__file__}")
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=Path)
    args = parser.parse_args()
    if not args.wheel.is_file():
        parser.error(f"{args.wheel} is not a file")
    with tempfile.TemporaryDirectory(prefix="quellor-wheel-") as tmp:
        env_dir = Path(tmp) / "venv"
        venv.create(env_dir, with_pip=True)
        python = env_dir / "bin" / "python"
        steps = [
            [python, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
             str(args.wheel.resolve())],
            [python, "-c", PROBE],
        ]
        for step in steps:
            # From the temporary directory, so that nothing in the source tree can be imported.
            result = subprocess.run(step, cwd=tmp)
            if result.returncode != 0:
                print(f"check_wheel: failed: {' '.join(map(str, step[:4]))}", file=sys.stderr)
                return 1
    print(f"check_wheel: {args.wheel.name} installs and works in a fresh environment")
    return 0


if __name__ == "__main__":
    sys.exit(main())
