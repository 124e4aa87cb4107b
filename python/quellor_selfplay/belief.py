"""The positions one side of a fog-of-war game cannot rule out.

A :class:`Belief` follows one game of a :class:`~quellor_selfplay.GameBatch` played under the
dark rules, for one side, from the game's start (which both sides know). After every ply, its
own or the other side's, the side sees some squares and what stands on them; on its own turn
its move list also tells it whether an en-passant capture is open; it knows its own moves and
whether the game goes on. The belief holds every full position (placement, side to move,
castling rights, en passant, ply) that agrees with all of that, worked out in native code ply by
ply: the side's own move is applied to every member, the other side's unseen move expands every
member by all its moves, and only those that look exactly as the side's view are kept.

It reads nothing of the game the side has not seen: the game's position only to work out the
side's view of it, the last move only when the side made it.

Above ``cap`` positions it keeps a uniform random subset (from a stream seeded by ``seed``) and
is no longer ``exact``. Call :meth:`Belief.update` after every ply of the game; it refuses a
game that moved on more than one ply, or was restarted, since the last update. A game restarted
and played back to the same ply cannot be told apart: follow a new game with a new belief.
"""

from __future__ import annotations

import os
from typing import Any, Union

import numpy as np

from quellor_selfplay import _batch
from quellor_selfplay.batch import GameBatch, _whole, adopt, native
from quellor_selfplay.codes import MAX_GAMES

__all__ = ["Belief", "BeliefTracker", "BYTES_PER_POSITION", "BELIEF_CAP"]

# What one stored position costs: eight bitboards, castling rights and the en-passant pawn.
BYTES_PER_POSITION = _batch.BELIEF_BYTES_PER_POSITION
# Positions a belief keeps unless told otherwise.
BELIEF_CAP: int = _batch.BELIEF_CAP
SIDES = {"white": True, "black": False}


def _seed(value: Any) -> int:
    seed = _whole("seed", value)
    if not 0 <= seed < 2**64:
        raise ValueError(f"seed must be in 0..2**64-1, got {seed}")
    return seed


class Belief:
    """Belief(batch, game, side, *, cap=BELIEF_CAP, seed=0): what `side` ("white" or "black", or
    True for White) of game `game` of `batch` cannot rule out, at the game's start."""

    __slots__ = ("_core", "_batch")

    def __init__(self, batch: GameBatch, game: int, side: Union[str, bool], *, cap: int = BELIEF_CAP,
                 seed: int = 0) -> None:
        if not isinstance(batch, GameBatch):
            raise TypeError(f"batch must be a GameBatch, not {type(batch).__name__}")
        if isinstance(side, (bool, np.bool_)):
            white = bool(side)
        elif isinstance(side, str):
            if side not in SIDES:
                raise ValueError(f"unknown side {side!r} (expected 'white' or 'black')")
            white = SIDES[side]
        else:
            raise TypeError(f"side must be 'white', 'black' or a bool, not {type(side).__name__}")
        cap = _whole("cap", cap)
        if not 1 <= cap < 2**32 - 1:
            raise ValueError(f"cap must be in 1..{2**32 - 2}, got {cap}")
        self._batch = batch
        self._core = _batch.Belief(native(batch), batch._index(game), white, cap, _seed(seed))

    @classmethod
    def _following(cls, core: Any, batch: GameBatch) -> "Belief":
        """The Belief of a native one that a segment keeps for a game of `batch`."""
        belief = cls.__new__(cls)
        belief._core, belief._batch = core, batch
        return belief

    @property
    def game(self) -> int:
        return self._core.game

    @property
    def side(self) -> str:
        return "white" if self._core.white else "black"

    @property
    def ply(self) -> int:
        """The game's ply the belief has taken in."""
        return self._core.ply

    @property
    def size(self) -> int:
        """How many positions the side cannot rule out (of those kept, when not exact)."""
        return self._core.size

    def __len__(self) -> int:
        return self._core.size

    @property
    def exact(self) -> bool:
        """Whether the set is every position the side cannot rule out: False once a cap cut it."""
        return self._core.exact

    @property
    def candidates(self) -> int:
        """Positions looked at by the updates so far, for measuring their speed."""
        return self._core.candidates

    def update(self) -> bool:
        """Takes in the ply the game played since the last update; False when it played none.
        ValueError when it played more than one, or was restarted."""
        return self._core.update()

    def sample(self, k: int, seed: int = 0) -> list[str]:
        """k distinct positions as FEN, uniform without replacement; the same seed gives the same
        positions. ValueError when k exceeds the size."""
        k = _whole("k", k)
        if k < 0:
            raise ValueError(f"k must not be negative, got {k}")
        return self._core.sample(k, _seed(seed))

    def positions(self) -> list[str]:
        """Every position held, as FEN."""
        return self._core.positions()

    def start(self, k: int, seed: int = 0, *, repeat: int = 1, **options: Any) -> GameBatch:
        """A GameBatch (dark rules) of k x `repeat` games: `repeat` in a row from each of the
        positions sample(k, seed) gives, in that order (a search tries each of its moves in a
        copy of every drawn position). `options` are GameBatch's own (observation, dtype, max_plies,
        seed, threads, auto_reset) and mean the same. Unlike GameBatch(fens=...), it takes the
        positions only fog-of-war play reaches, such as a king left en prise."""
        k = _whole("k", k)
        if k <= 0:
            raise ValueError(f"k must be positive, got {k}")
        repeat = _whole("repeat", repeat)
        if repeat <= 0:
            raise ValueError(f"repeat must be positive, got {repeat}")
        if k * repeat > MAX_GAMES:
            raise ValueError(f"k x repeat must be at most {MAX_GAMES} games, got {k * repeat}")
        rules = options.pop("rules", "dark")
        if rules != "dark":
            raise ValueError(f"games started from a belief play under the dark rules, not {rules!r}")
        if "fens" in options:
            raise TypeError("start() takes its positions from the belief, not fens")
        # GameBatch checks and converts the options; its games are then replaced by the belief's.
        template = GameBatch(1, rules="dark", **options)
        seed = _seed(seed)
        observation = str(options.get("observation", "own"))
        dtype_name = str(template.observation.dtype).replace("torch.", "")
        max_plies = options.get("max_plies") or 0
        wanted = options.get("threads")
        if wanted is None:
            wanted = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        threads = min(int(wanted), k * repeat)
        auto_reset = bool(options.get("auto_reset", False))
        games = adopt(k * repeat, "dark", template.observation.dtype, auto_reset,
                      lambda outputs: self._core.start(k, seed, observation, dtype_name, int(max_plies),
                                                       _seed(options.get("seed", 0)), threads, auto_reset, outputs,
                                                       repeat))
        return games

    def occupancy(self) -> np.ndarray:
        """(6, 64) int64: how many of the positions held have a piece of the other side of each
        kind (pawn, knight, bishop, rook, queen, king) on each square (a1 = 0). Divided by
        `size`, the chance of each: where the side should expect the pieces it cannot see."""
        return np.array(self._core.occupancy(), dtype=np.int64)

    def contains(self, fen: str) -> bool:
        """Whether the position of FEN text (halfmove clock and move number aside) is held.
        Positions only fog-of-war play reaches, such as a king left en prise, are read too."""
        if not isinstance(fen, str):
            raise TypeError(f"fen must be a str, not {type(fen).__name__}")
        return self._core.contains(fen)

    def __contains__(self, fen: object) -> bool:
        return isinstance(fen, str) and self.contains(fen)

    def __repr__(self) -> str:
        return (f"Belief(game={self.game}, side={self.side!r}, ply={self.ply}, size={self.size}, "
                f"exact={self.exact})")


class BeliefTracker:
    """BeliefTracker(side, *, rules="dark", max_plies=None, fen=None, cap=BELIEF_CAP, seed=0): the
    Belief of `side` in a game known by its start and its moves, such as an OpenSpiel state's or
    a PettingZoo environment's, which hold no GameBatch a Belief could follow ply by ply.

    `follow(moves)` replays the move codes in a one-game batch of its own and returns the
    belief after them. A call whose moves go on from the last call's replays only the new
    ones; any other list starts again from the game's start.
    """

    __slots__ = ("_side", "_settings", "_cap", "_seed", "_moves", "_games", "_belief")

    def __init__(self, side: Union[str, bool], *, rules: str = "dark", max_plies: Any = None,
                 fen: Any = None, cap: int = BELIEF_CAP, seed: int = 0) -> None:
        if rules != "dark":
            raise ValueError(f"a belief follows a game played under the dark rules, not {rules!r}")
        self._side, self._settings, self._cap, self._seed = side, (max_plies, fen), cap, seed
        self._restart()

    def _restart(self) -> None:
        max_plies, fen = self._settings
        self._games = GameBatch(1, rules="dark", max_plies=max_plies, threads=1, fens=fen)
        self._belief = Belief(self._games, 0, self._side, cap=self._cap, seed=self._seed)
        self._moves: list[int] = []

    @property
    def belief(self) -> Belief:
        return self._belief

    def follow(self, moves: Any) -> Belief:
        """The belief after the game's move codes `moves` (as `GameBatch.last_move` gives
        them); ValueError for a move the game cannot play."""
        moves = [int(code) for code in moves]
        if moves[:len(self._moves)] != self._moves:
            self._restart()
        for code in moves[len(self._moves):]:
            if bool(self._games.terminated[0] or self._games.truncated[0]):
                raise ValueError(f"the game is over after {len(self._moves)} moves: move {code} cannot follow")
            self._games.step_moves(np.array([code], dtype=np.int64))
            self._belief.update()
            self._moves.append(code)
        return self._belief
