"""Fog-of-war chess for self-play reinforcement learning, as one native class."""

from collections.abc import Iterable, Sequence
from typing import Any, Protocol, Union, final, type_check_only

import chess
import torch

__all__ = ["SelfPlayGame"]

@type_check_only
class _HasFenMethod(Protocol):
    def fen(self) -> str: ...

@type_check_only
class _HasFenText(Protocol):
    @property
    def fen(self) -> str: ...

@type_check_only
class _HasUciMethod(Protocol):
    def uci(self) -> str: ...

@type_check_only
class _HasUciText(Protocol):
    @property
    def uci(self) -> str: ...

@type_check_only
class _HasToList(Protocol):
    def tolist(self) -> Any: ...

_BoardSource = Union[str, _HasFenMethod, _HasFenText]
_Action = Union[str, _HasUciMethod, _HasUciText]
_Plane = Union[Sequence[Sequence[float]], Sequence[float], _HasToList]

@final
class SelfPlayGame:
    """One game of fog-of-war chess: a side loses when its king is captured.

    SelfPlayGame(board=None, history_tensors=None)

    `board` is None for the start position, FEN text, or an object with `fen()` (a python-chess
    Board). `history_tensors` are earlier 64 x 13 observation planes (nested, flat of 832 values,
    or with `tolist()`), oldest first; the last eight are kept. Without them the game records the
    side to move's view of the starting position. ValueError for unusable input.
    """

    def __new__(
        cls,
        board: _BoardSource | None = None,
        history_tensors: Iterable[_Plane] | None = None,
    ) -> SelfPlayGame:
        """A new game from `board` (default: the start position) and optional earlier planes."""
    @property
    def turn(self) -> bool:
        """True when White is to move."""
    @property
    def board(self) -> list[list[int]]:
        """The whole position, fog ignored: 8 rows of 8 signed piece codes, row 0 = rank 8,
        column 0 = file a; 0 empty, 1..6 White pawn, knight, bishop, rook, queen, king, and
        -1..-6 the Black ones. A new list on every read."""
    def castle_eligible(self) -> tuple[bool, bool]:
        """The side to move's castling rights as recorded: (king side, queen side). Whether
        castling is playable now plays no part."""
    def clone(self) -> SelfPlayGame:
        """A deep, independent copy: board and observation history."""
    def current_player(self) -> bool:
        """True when White is to move (the same as `turn`)."""
    def legal_actions(self) -> list[chess.Move]:
        """The legal moves of the side to move as python-chess Moves, in a fixed order.
        ValueError when python-chess cannot be imported, with the import's error as its
        __cause__."""
    def apply(self, action: _Action) -> None:
        """Plays a move given as UCI text or a python-chess Move, without a legality test, and
        records the new side to move's view. ValueError for unreadable move text; RuntimeError
        for a move the board cannot play. A failed call changes nothing."""
    def is_terminal(self) -> bool:
        """True once a king has been captured; nothing else ends the game."""
    def terminal_value(self, player_is_white: bool) -> float:
        """The result from one side's point of view: 1.0 won, -1.0 lost, 0.0 while both kings
        stand. TypeError unless `player_is_white` is a bool."""
    def encode(self) -> torch.Tensor:
        """The learner's 64 x 106 float32 observation: eight 64 x 13 fog-of-war frames, oldest in
        columns 0..12 and newest in 91..103 (each row a square as its observer sees the board),
        then the side to move's castling rights in columns 104 and 105 of row 0 (king side) and
        row 1 (queen side). ValueError when torch cannot be imported, with the import's error
        as its __cause__."""
    def action_index(self, action: _Action) -> int:
        """The policy slot 0..4351 of a move, seen from the side to move (Black's moves are
        mirrored by rank): from * 64 + to, or 4096 + from * 4 + k for a promotion to queen, rook,
        bishop or knight (k = 0..3). The move need not be legal."""
