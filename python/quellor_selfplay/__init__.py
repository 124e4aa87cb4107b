"""Self-play data for quellor: play fog-of-war games and write a training set a learner loads.

The command line lives in :mod:`quellor_selfplay.cli` (installed as ``quellor-selfplay``); the
pieces it is built from are importable on their own:

- :mod:`quellor_selfplay.episode` plays one game with a policy and records every decision;
- :mod:`quellor_selfplay.net` is the small policy/value network and its checkpoint format;
- :mod:`quellor_selfplay.runner` spreads games over local processes or a Ray cluster;
- :mod:`quellor_selfplay.dataset` gathers the games into the training file and the summary;
- :mod:`quellor_selfplay.fog` shows what each side saw, as text or SVG;
- :class:`GameBatch` (:mod:`quellor_selfplay.batch`) steps many games at once in native code.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quellor_selfplay.batch import GameBatch

__all__ = ["DATA_FILE", "SUMMARY_FILE", "GameBatch"]

DATA_FILE = "selfplay.pt"
SUMMARY_FILE = "summary.json"


def __getattr__(name: str) -> Any:
    # GameBatch needs torch and numpy; load them only when it is asked for.
    if name == "GameBatch":
        from quellor_selfplay.batch import GameBatch

        return GameBatch
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
