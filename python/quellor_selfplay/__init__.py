"""Self-play for quellor: play fog-of-war games into training data, and learn from them.

The command line lives in :mod:`quellor_selfplay.cli` (installed as ``quellor-selfplay``); the
pieces it is built from are importable on their own:

- :mod:`quellor_selfplay.arena` plays many games at once in a GameBatch, players moving all
  their games in one call, and records every decision;
- :mod:`quellor_selfplay.players` holds those players: random play and any network;
- :mod:`quellor_selfplay.net` is the tool's policy/value networks and their checkpoint format;
- :mod:`quellor_selfplay.runner` spreads segments of games over local processes or Ray actors;
- :mod:`quellor_selfplay.data` reads and writes the data shards, and gives torch datasets;
- :mod:`quellor_selfplay.play` is the play command: shards written as games finish, resumable;
- :mod:`quellor_selfplay.train` is the self-play trainer (PPO against a pool of earlier
  networks), :mod:`quellor_selfplay.learn` its arithmetic, :mod:`quellor_selfplay.curve` its
  learning-curve picture;
- :mod:`quellor_selfplay.match` plays one policy against another and measures the Elo gap;
- :mod:`quellor_selfplay.episode` plays one game at a time, the way play did before GameBatch;
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
