"""Self-play for quellor: play fog-of-war games into training data, and learn from them.

Two floors. The library is what a program imports and builds on:

- :class:`GameBatch` (:mod:`quellor_selfplay.batch`) steps many games at once in native code;
  :class:`~quellor_selfplay.belief.Belief` holds the positions one side of a game cannot rule out;
- :mod:`quellor_selfplay.codes` owns the game's constants and move codes, policy slots and views;
- :mod:`quellor_selfplay.config` holds the typed settings of games, runs, the learner and commands;
- :class:`Player` (:mod:`quellor_selfplay.turn`) is the player interface: ``decide(turn)`` gets
  a :class:`Turn`, the games where it is to move and what its :class:`Reads` declares it reads,
  and returns a :class:`Decision`;
- :mod:`quellor_selfplay.players` holds the players: random play, any network, TorchScript, and
  the names that make them; :mod:`quellor_selfplay.bots` the greedy bot, a yardstick that reads
  only the mover's view;
- :mod:`quellor_selfplay.arena` plays many games at once in a GameBatch, players moving all
  their games in one call, and records every decision;
- :mod:`quellor_selfplay.runner` spreads segments of games over local processes or Ray actors;
- :mod:`quellor_selfplay.data` reads and writes the data shards, and gives torch datasets;
- :mod:`quellor_selfplay.net` is the tool's policy/value networks and their checkpoint format;
- :mod:`quellor_selfplay.trainer` is the self-play trainer (PPO against a pool of earlier
  networks), :mod:`quellor_selfplay.learn` its arithmetic, :mod:`quellor_selfplay.curve` its
  learning-curve picture;
- :mod:`quellor_selfplay.match` plays one player against another and measures the Elo gap;
- :mod:`quellor_selfplay.fog` and :mod:`quellor_selfplay.replay` show what each side saw;
- :mod:`quellor_selfplay.envs` adapts the game to PettingZoo and OpenSpiel.

The command floor, :mod:`quellor_selfplay.commands`, is the ``quellor-selfplay`` command line
(play, train, match, show); nothing in the library imports it.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from quellor_selfplay.batch import GameBatch
    from quellor_selfplay.turn import Decision, Player, Reads, Turn

__all__ = ["DATA_FILE", "SUMMARY_FILE", "GameBatch", "Player", "Turn", "Decision", "Reads"]

DATA_FILE = "selfplay.pt"
SUMMARY_FILE = "summary.json"

# The player interface, loaded with GameBatch's module when first asked for.
_TURN = ("Player", "Turn", "Decision", "Reads")


def __getattr__(name: str) -> Any:
    # These need torch and numpy; a program that reads only the constants above does not pay
    # for them.
    if name == "GameBatch":
        from quellor_selfplay.batch import GameBatch

        return GameBatch
    if name in _TURN:
        from quellor_selfplay import turn

        return getattr(turn, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
