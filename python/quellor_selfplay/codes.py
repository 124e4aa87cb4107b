"""Move codes, policy slots and the views they are shown in, shared by the adapters and the replay.

A move code names one move exactly, as `GameBatch.step_moves` takes it: from * 64 + to + 4096 * k
with python-chess square numbers (a1 = 0, never mirrored) and k = 0 for no promotion, 1 queen,
2 rook, 3 bishop, 4 knight; 20,480 codes in all. A policy slot (`action_index`, 0..4351) is
seen from the mover's side: Black's squares are mirrored by rank, and a promotion's slot keeps
only its from-square and piece, so that a straight and a capturing promotion to the same piece
share one slot.
"""

from __future__ import annotations

from typing import Any, Optional

import chess
import numpy as np

from quellor_selfplay import _batch

# The game's sizes and names come from the native core, where they are defined once (importing
# it needs no torch); the rest of the package reads them here.
MOVE_CODES = _batch.MOVE_CODES
ACTION_SLOTS = _batch.ACTION_SLOTS
PROMOTION_BASE = _batch.PROMOTION_BASE
OBS_ROWS = _batch.OBS_ROWS
OBS_COLS = _batch.OBS_COLS
OBS_LEN = OBS_ROWS * OBS_COLS
FRAME_CHANNELS = _batch.FRAME_CHANNELS
HIDDEN_CHANNEL = _batch.HIDDEN_CHANNEL
# Packed observations: 8 frames x 13 channel bitboards, then the castling flags.
PACKED_WORDS = _batch.PACKED_WORDS
CASTLING_WORD = PACKED_WORDS - 1
# An observation as codes, SQUARE_CODES bytes a square (GameBatch.gather): the channel each frame
# sets there (FRAME_CHANNELS where it sets none), oldest first, then the square's castling flag.
SQUARE_CODES = _batch.SQUARE_CODES
# A legal-action mask bit-packed, as the data shards keep it.
MASK_BYTES = _batch.MASK_BYTES
# The most games one GameBatch holds.
MAX_GAMES = _batch.MAX_GAMES
RULES: tuple[str, ...] = _batch.RULES
OBSERVATIONS: tuple[str, ...] = _batch.OBSERVATIONS
# How a game ended (GameBatch.ending); stored files keep the index into this tuple.
ENDINGS: tuple[str, ...] = _batch.ENDINGS
KING_CAPTURED, CHECKMATE, STALEMATE, PLY_CAP = ENDINGS
# The castling flags' two columns, after the eight frames; the newest frame stands before them,
# the one before it (the other side's last view, in the "history" layout) before that.
CASTLING_COLUMNS = slice(OBS_COLS - 2, OBS_COLS)
NEWEST_FRAME = slice(CASTLING_COLUMNS.start - FRAME_CHANNELS, CASTLING_COLUMNS.start)
PREVIOUS_FRAME = slice(NEWEST_FRAME.start - FRAME_CHANNELS, NEWEST_FRAME.start)
# Index k of a move code: None (no promotion), queen, rook, bishop, knight.
PROMOTIONS = (None, chess.QUEEN, chess.ROOK, chess.BISHOP, chess.KNIGHT)
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
    """The policy slot that a move code in 0..20479 takes for the side to move (`white`)."""
    return _batch.code_slot(code, white)


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
# Observations and moves in bulk


def unseen_observation(dtype: Any = np.float32) -> np.ndarray:
    """A 64 x 106 observation in which every square of every frame is hidden: what a side holds
    before it is first shown anything."""
    obs = np.zeros((OBS_ROWS, OBS_COLS), dtype=dtype)
    obs[:, HIDDEN_CHANNEL : CASTLING_COLUMNS.start : FRAME_CHANNELS] = 1
    return obs
