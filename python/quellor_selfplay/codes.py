"""Move codes, policy slots and the views they are shown in, shared by the adapters and the replay.

A move code names one move exactly, as `GameBatch.step_moves` takes it: from * 64 + to + 4096 * k
with python-chess square numbers (a1 = 0, never mirrored) and k = 0 for no promotion, 1 queen,
2 rook, 3 bishop, 4 knight; 20,480 codes in all. A policy slot (`action_index`, 0..4351) is
seen from the mover's side: Black's squares are mirrored by rank, and a promotion's slot keeps
only its from-square and piece, so that a straight and a capturing promotion to the same piece
share one slot.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Optional

import chess
import numpy as np

MOVE_CODES = 5 * 4096
ACTION_SLOTS = 4352
PROMOTION_BASE = 4096
# Index k of a move code: None (no promotion), queen, rook, bishop, knight.
PROMOTIONS = (None, chess.QUEEN, chess.ROOK, chess.BISHOP, chess.KNIGHT)
NEWEST_FRAME = slice(91, 104)
HIDDEN_CHANNEL = 12
PIECE_LETTERS = "PNBRQKpnbrqk"


def move_code(move: chess.Move) -> int:
    """The code of a python-chess Move (a null or drop move has none: ValueError)."""
    if not move or move.drop is not None:
        raise ValueError(f"{move.uci()} is not a board move")
    k = 0 if move.promotion is None else PROMOTIONS.index(move.promotion)
    return move.from_square * 64 + move.to_square + 4096 * k


def code_move(code: int) -> chess.Move:
    """The python-chess Move of a code in 0..20479."""
    if not 0 <= code < MOVE_CODES:
        raise ValueError(f"move code {code} is out of range (0..{MOVE_CODES - 1})")
    return chess.Move((code % 4096) // 64, code % 64, PROMOTIONS[code // 4096])


def code_slot(code: int, white: bool) -> int:
    """The policy slot that a move code takes for the side to move (`white`)."""
    flip = 0 if white else 56
    k, frm, to = code // 4096, (code % 4096) // 64, code % 64
    if k == 0:
        return (frm ^ flip) * 64 + (to ^ flip)
    return PROMOTION_BASE + (frm ^ flip) * 4 + (k - 1)


def slot_moves(moves: Iterable[chess.Move], white: bool) -> dict[int, list[chess.Move]]:
    """The moves behind each slot, in the order given: the first of a list is the one the slot
    plays."""
    by_slot: dict[int, list[chess.Move]] = {}
    for move in moves:
        by_slot.setdefault(code_slot(move_code(move), white), []).append(move)
    return by_slot


def frame_squares(frame: np.ndarray, white: bool) -> list[Optional[str]]:
    """Decodes a 64 x 13 frame seen by `white` into 64 entries by square (a1 = 0): None where
    hidden, "" where seen empty, else the piece letter (upper case White)."""
    frame = np.asarray(frame)
    squares: list[Optional[str]] = [None] * 64
    flip = 0 if white else 56
    pieces = frame[:, :12]
    kinds = pieces.argmax(axis=1)
    occupied = pieces.max(axis=1) > 0
    hidden = frame[:, HIDDEN_CHANNEL] > 0
    for row in range(64):
        if hidden[row]:
            continue
        letter = ""
        if occupied[row]:
            kind, own = int(kinds[row]) % 6, kinds[row] < 6
            letter = PIECE_LETTERS[kind if own == white else kind + 6]
        squares[row ^ flip] = letter
    return squares


def squares_text(squares: list[Optional[str]]) -> str:
    """Eight lines, rank 8 first: `#` hidden, `.` seen empty, piece letters otherwise."""
    return "\n".join(
        "".join("#" if s is None else s or "." for s in squares[rank * 8 : rank * 8 + 8])
        for rank in range(7, -1, -1)
    )


# ---------------------------------------------------------------------------------------------
# The observation's layout and the names of rules, layouts and endings

OBS_ROWS = 64
OBS_COLS = 106
OBS_LEN = OBS_ROWS * OBS_COLS
FRAME_CHANNELS = 13
PREVIOUS_FRAME = slice(NEWEST_FRAME.start - FRAME_CHANNELS, NEWEST_FRAME.start)
# Packed observations: 8 frames x 13 channel bitboards, then the castling flags.
PACKED_WORDS = 105
CASTLING_WORD = PACKED_WORDS - 1
# A bit-packed legal-action mask.
MASK_BYTES = ACTION_SLOTS // 8
RULES = ("dark", "legal")
OBSERVATIONS = ("own", "history")
# How a game ended; stored files keep the index into this tuple.
ENDINGS = ("king captured", "checkmate", "stalemate", "ply cap")
KING_CAPTURED, CHECKMATE, STALEMATE, PLY_CAP = ENDINGS


# The castling flags' two columns, after the eight frames.
CASTLING_COLUMNS = slice(OBS_COLS - 2, OBS_COLS)


def unseen_observation(dtype: Any = np.float32) -> np.ndarray:
    """A 64 x 106 observation in which every square of every frame is hidden: what a side holds
    before it is first shown anything."""
    obs = np.zeros((OBS_ROWS, OBS_COLS), dtype=dtype)
    obs[:, HIDDEN_CHANNEL : CASTLING_COLUMNS.start : FRAME_CHANNELS] = 1
    return obs


def slot_codes(slots: np.ndarray, white: np.ndarray) -> np.ndarray:
    """The move codes of non-promotion slots, for each mover (`white`), vectorised."""
    flip = np.where(white, 0, 56)
    return ((slots // 64) ^ flip) * 64 + ((slots % 64) ^ flip)
