"""The greedy bot's reckoning written with numpy arrays, every move of every game at once: the
oracle the batch module's reckoning (bots.score_moves) must equal to the last bit, gain, loss
and bonus. An independent formulation of the same rules (Kogge-Stone fills over whole arrays
where the module walks each ray), so that a slip in either shows as a difference."""

from typing import Union

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay.bots import Scores
from quellor_selfplay.codes import FRAME_CHANNELS, HIDDEN_CHANNEL, NEWEST_FRAME, PROMOTION_BASE

Bitboards = npt.NDArray[np.uint64]
Ints = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]

# A frame's piece channels: ours 0..5, the enemy's the same kinds at 6..11.
PAWN, KNIGHT, BISHOP, ROOK, QUEEN, KING = range(6)
KINDS = 6
# Index k of a promotion slot (PROMOTION_BASE + from * 4 + k) names the piece.
PROMOTED = np.array([QUEEN, ROOK, BISHOP, KNIGHT], dtype=np.int64)
VALUES = np.array([1.0, 3.0, 3.0, 5.0, 9.0, 0.0])
# What a defended piece of kind v (rows) loses to an attacker of kind a (columns): the
# exchange, never below nothing. A king cannot take a defended piece and survive.
_ATTACKER = np.array([1.0, 3.0, 3.0, 5.0, 9.0, np.inf])
EXCHANGE = np.maximum(VALUES[:KING, None] - _ATTACKER[None, :], 0.0)

KING_LOSS = 1e4

DEVELOP = 0.3     # a knight or bishop leaving our back rank
CENTRE = 0.05     # a knight, bishop or queen per step towards the centre
PAWN_PUSH = 0.1   # any pawn move ...
PAWN_RANK = 0.02  # ... and this per rank it stands on afterwards
CASTLE = 0.4
KING_WALK = -0.4  # a king move other than castling while we have OPENING_PIECES or more
OPENING_PIECES = 4  # knights, bishops, rooks and queens
CHECK = 0.5       # a seen enemy king that our pieces attack after the move
REVEAL = 0.02     # each hidden square our pieces reach after the move
BONUS_LIMIT = 0.45

_ONE = np.uint64(1)
_ZERO = np.uint64(0)
FILE_A = np.uint64(0x0101010101010101)
FILE_H = np.uint64(0x8080808080808080)
NOT_A = ~FILE_A
NOT_H = ~FILE_H
NOT_AB = ~(FILE_A | (FILE_A << np.uint64(1)))
NOT_GH = ~(FILE_H | (FILE_H >> np.uint64(1)))
# Rows of the king and the rooks when castling, the same for both colours in the mover's view.
E1, G1, C1, H1, F1, A1, D1 = 4, 6, 2, 7, 5, 0, 3
# Centrality of each row: 0 on the rim, 3 on the four middle squares.
_FILE, _RANK = np.arange(64) % 8, np.arange(64) // 8
CENTRALITY = np.minimum(np.minimum(_FILE, 7 - _FILE), np.minimum(_RANK, 7 - _RANK)).astype(np.float64)
# The eight ray directions as (row shift, mask of rows a step may land on): a step that
# crosses the a- or h-file edge would wrap to the other side of the board.
DIAGONALS = ((9, NOT_A), (7, NOT_H), (-7, NOT_A), (-9, NOT_H))
LINES = ((8, ~_ZERO), (-8, ~_ZERO), (1, NOT_A), (-1, NOT_H))


def _shift(bits: Bitboards, by: int) -> Bitboards:
    return bits << np.uint64(by) if by > 0 else bits >> np.uint64(-by)


def _popcount(bits: Bitboards) -> Ints:
    return np.bitwise_count(bits).astype(np.int64)


def _slide(sliders: Bitboards, empty: Bitboards, by: int, lands: np.uint64) -> Bitboards:
    """The squares that `sliders` reach in one direction, up to and including the first square
    not in `empty` (Kogge-Stone fill: three doubling steps cover a whole ray)."""
    free = empty & lands
    sliders = sliders | (free & _shift(sliders, by))
    free = free & _shift(free, by)
    sliders = sliders | (free & _shift(sliders, 2 * by))
    free = free & _shift(free, 2 * by)
    sliders = sliders | (free & _shift(sliders, 4 * by))
    return _shift(sliders, by) & lands


def attacks(pieces: Bitboards, empty: Bitboards, forward: bool) -> Bitboards:
    """The squares each kind of piece in `pieces` (..., 6) attacks: (..., 6) bitboards.

    `empty` (...) holds the squares a ray passes through; `forward` says whether the pawns
    capture towards higher rows (ours) or lower ones (the enemy's).
    """
    pawns, knights, kings = pieces[..., PAWN], pieces[..., KNIGHT], pieces[..., KING]
    if forward:
        pawn = (_shift(pawns, 7) & NOT_H) | (_shift(pawns, 9) & NOT_A)
    else:
        pawn = (_shift(pawns, -9) & NOT_H) | (_shift(pawns, -7) & NOT_A)
    one = (_shift(knights, 1) & NOT_A) | (_shift(knights, -1) & NOT_H)
    two = (_shift(knights, 2) & NOT_AB) | (_shift(knights, -2) & NOT_GH)
    knight = _shift(one, 16) | _shift(one, -16) | _shift(two, 8) | _shift(two, -8)
    side = (_shift(kings, 1) & NOT_A) | (_shift(kings, -1) & NOT_H)
    row = kings | side
    king = side | _shift(row, 8) | _shift(row, -8)
    # Queens ride with the bishops and the rooks: one fill per direction serves both.
    through = empty[..., None]
    diagonal = np.zeros(pieces.shape[:-1] + (2,), dtype=np.uint64)
    straight = np.zeros_like(diagonal)
    bishops_queens = pieces[..., [BISHOP, QUEEN]]
    rooks_queens = pieces[..., [ROOK, QUEEN]]
    for by, lands in DIAGONALS:
        diagonal |= _slide(bishops_queens, through, by, lands)
    for by, lands in LINES:
        straight |= _slide(rooks_queens, through, by, lands)
    queen = diagonal[..., 1] | straight[..., 1]
    return np.stack([pawn, knight, diagonal[..., 0], straight[..., 0], queen, king], axis=-1)


def view_bitboards(observations: Union[torch.Tensor, npt.NDArray[np.generic]]
                   ) -> tuple[Bitboards, Bitboards, Bitboards]:
    """(ours (k, 6), the enemy's (k, 6), hidden (k,)) bitboards of the newest frame of k
    observations (k, 64, 106), uint8 or float."""
    frame = observations[:, :, NEWEST_FRAME]
    seen = (frame.numpy() if isinstance(frame, torch.Tensor) else np.asarray(frame)) != 0
    k = len(seen)
    packed = np.packbits(seen.transpose(0, 2, 1), axis=2, bitorder="little")
    boards = np.ascontiguousarray(packed).view("<u8").reshape(k, FRAME_CHANNELS).astype(np.uint64)
    return boards[:, :KINDS], boards[:, KINDS:2 * KINDS], boards[:, HIDDEN_CHANNEL]


def legal_slots(masks):
    legal = masks.numpy() if isinstance(masks, torch.Tensor) else np.asarray(masks)
    rows, slots = np.nonzero(legal)
    return rows.astype(np.int64), slots.astype(np.int64)


def _bit(bits: Bitboards, square: Ints) -> npt.NDArray[np.bool_]:
    found: npt.NDArray[np.bool_] = ((bits >> square.astype(np.uint64)) & _ONE) != 0
    return found


def _union(boards: Bitboards) -> Bitboards:
    """The squares of any of the bitboards along the last axis."""
    # numpy's reduce along a short last axis costs several times these few whole-array ors.
    union = boards[..., 0].copy()
    for i in range(1, boards.shape[-1]):
        union |= boards[..., i]
    return union


def score_moves(observations: Union[torch.Tensor, npt.NDArray[np.generic]],
                masks: Union[torch.Tensor, npt.NDArray[np.bool_]], bold: bool = False) -> Scores:
    """Scores each legal slot of `masks` (k, 4352) from the views in `observations`; `bold`
    charges only the moved piece's risk (and the king's), not every piece's."""
    rows, slots = legal_slots(masks)
    own_k, enemy_k, hidden_k = view_bitboards(observations)
    own, enemy, hidden = own_k[rows], enemy_k[rows], hidden_k[rows]
    m = len(rows)
    every = np.arange(m)
    ours, theirs = _union(own), _union(enemy)

    # The move each slot plays. A promotion slot names no target square: the game plays the
    # first legal one by square, capturing left before stepping straight before capturing right.
    promoting = slots >= PROMOTION_BASE
    frm = np.where(promoting, (slots - PROMOTION_BASE) // 4, slots // 64)
    to = slots % 64
    promoted = np.where(promoting, PROMOTED[(slots - PROMOTION_BASE) % 4], -1)
    left = promoting & (frm % 8 > 0) & _bit(theirs, np.minimum(frm + 7, 63))
    straight = promoting & ~left & ~_bit(ours | theirs, np.minimum(frm + 8, 63))
    to = np.where(promoting, np.where(left, frm + 7, np.where(straight, frm + 8, frm + 9)), to)

    mover = np.argmax(_bit(own, frm[:, None]), axis=1)
    hit = _bit(enemy, to[:, None])
    took = hit.any(axis=1)
    victim = np.argmax(hit, axis=1)
    # A pawn stepping diagonally onto an empty square takes en passant the pawn behind it.
    diagonal = ((to - frm) == 7) | ((to - frm) == 9)
    passant = (mover == PAWN) & diagonal & ~took
    lands = np.where(promoting, promoted, mover)

    to_bit, from_bit = _ONE << to.astype(np.uint64), _ONE << frm.astype(np.uint64)
    own[every, mover] &= ~from_bit
    own[every, lands] |= to_bit
    castles = (mover == KING) & (frm == E1)
    king_side, queen_side = castles & (to == G1), castles & (to == C1)
    rook_hop = (np.where(king_side, (_ONE << np.uint64(H1)) | (_ONE << np.uint64(F1)), _ZERO)
                | np.where(queen_side, (_ONE << np.uint64(A1)) | (_ONE << np.uint64(D1)), _ZERO))
    own[:, ROOK] ^= rook_hop
    enemy &= ~(to_bit | np.where(passant, to_bit >> np.uint64(8), _ZERO))[:, None]

    occupied = _union(own) | _union(enemy)
    threats = attacks(enemy, ~occupied, forward=False)
    cover = _union(attacks(own, ~(occupied | hidden), forward=True))
    threat = _union(threats)

    gain = np.where(took, VALUES[victim], 0.0) + passant * VALUES[PAWN]
    gain += np.where(promoting, VALUES[np.maximum(promoted, 0)] - VALUES[PAWN], 0.0)

    victims = own[:, :KING] & (to_bit[:, None] if bold else ~_ZERO)
    bare = (victims & (threat & ~cover)[:, None]) != 0
    exchanged = (victims[:, :, None] & cover[:, None, None] & threats[:, None, :]) != 0
    loss = np.maximum(np.where(bare, VALUES[:KING], 0.0).max(axis=1),
                      np.where(exchanged, EXCHANGE, 0.0).max(axis=(1, 2)))
    loss = np.where((own[:, KING] & threat) != 0, KING_LOSS, loss)

    pieces_before = _popcount(_union(own_k[:, KNIGHT:KING]))[rows]
    minor = (mover == KNIGHT) | (mover == BISHOP)
    bonus = np.where(minor & (frm < 8), DEVELOP, 0.0)
    bonus += np.where(minor | (mover == QUEEN), CENTRE * (CENTRALITY[to] - CENTRALITY[frm]), 0.0)
    bonus += np.where((mover == PAWN) & ~promoting, PAWN_PUSH + PAWN_RANK * (to // 8), 0.0)
    castling = king_side | queen_side
    bonus += np.where(castling, CASTLE, 0.0)
    bonus += np.where((mover == KING) & ~castling & (pieces_before >= OPENING_PIECES), KING_WALK, 0.0)
    bonus += np.where((enemy[:, KING] & cover) != 0, CHECK, 0.0)
    sight = cover | (own[:, PAWN] << np.uint64(8))
    bonus += REVEAL * _popcount(sight & hidden)
    bonus = np.clip(bonus, -BONUS_LIMIT, BONUS_LIMIT)

    king_capture = took & (victim == KING)
    return Scores(rows, slots, gain, loss, bonus, king_capture)
