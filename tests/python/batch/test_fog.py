"""The own-view observation leaks nothing: what the mover never saw cannot change it.

A game is played at random under the fog-of-war rules. Then its start position is altered only
where the side to move at the end never looked: an enemy piece on a square hidden in every
frame the mover ever had (and that no move of the game touched) is moved to another such
square or replaced by another kind, and the same moves are replayed. The mover's observation
must come out the same, and so must its legal-action mask: under these rules the moves a side
may make depend only on squares it sees.
"""

import os

import chess
import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from support import oracle
from quellor_selfplay import GameBatch

NEWEST = slice(91, 104)
KINDS = [chess.PAWN, chess.KNIGHT, chess.BISHOP, chess.ROOK, chess.QUEEN]
STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
]


def replay(fen, codes, rules):
    batch = GameBatch(1, rules=rules, fens=fen, threads=1)
    for code in codes:
        batch.step_moves(np.array([code]))
    return batch


def placement(batch):
    board = chess.Board(batch.fen(0))
    return {sq: board.piece_at(sq) for sq in chess.SQUARES}


@settings(max_examples=100 if os.environ.get("QUELLOR_ASAN") else 400, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(start=st.sampled_from(STARTS), seed=st.integers(0, 2**32), plies=st.integers(2, 40), data=st.data())
def test_unseen_changes_leave_observation_and_mask(start, seed, plies, data):
    rng = np.random.default_rng(seed)
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    codes, newest, boards = [], [batch.observation[0, :, NEWEST].clone()], [placement(batch)]
    for _ in range(plies):
        moves = batch.legal_moves(0)
        if batch.terminated[0] or not moves:
            break
        move = moves[rng.integers(len(moves))]
        codes.append(move.from_square * 64 + move.to_square + 4096 * (0 if move.promotion is None else 6 - move.promotion))
        batch.step_moves(np.array([codes[-1]]))
        newest.append(batch.observation[0, :, NEWEST].clone())
        boards.append(placement(batch))
    if batch.terminated[0]:
        return

    p = len(codes)
    white = bool(batch.to_move[0])
    flip = 0 if white else 56
    # Squares hidden in every frame the mover had, whose occupant never changed.
    hidden = set(chess.SQUARES)
    for q in range(p % 2, p + 1, 2):
        hidden &= {row ^ flip for row in range(64) if newest[q][row, 12] == 1}
    untouched = {sq for sq in chess.SQUARES if all(b[sq] == boards[0][sq] for b in boards)}
    free = sorted(hidden & untouched)
    enemy = [sq for sq in free if boards[0][sq] is not None and boards[0][sq].color != white]
    empty = [sq for sq in free if boards[0][sq] is None]
    if not enemy:
        event("nothing unseen to change")
        return

    board = chess.Board(start)
    square = data.draw(st.sampled_from(enemy))
    piece = board.piece_at(square)
    if empty and data.draw(st.booleans()):
        target = data.draw(st.sampled_from(empty))
        board.remove_piece_at(square)
        board.set_piece_at(target, piece)
        event("moved an unseen piece")
    elif piece.piece_type != chess.KING:
        kind = data.draw(st.sampled_from([k for k in KINDS if k != piece.piece_type]))
        board.set_piece_at(square, chess.Piece(kind, piece.color))
        event("replaced an unseen piece")
    else:
        return
    try:
        altered = replay(board.fen(), codes, "dark")
    except ValueError:
        # The change makes the start position unreadable (a pawn on its back rank, castling
        # rights without their rook) or blocks a move of the game: no such game exists.
        event("altered game cannot be played")
        return

    assert altered.fen(0) != batch.fen(0)
    assert bool(altered.to_move[0]) == white and not altered.terminated[0]
    assert np.array_equal(altered.observation[0].numpy(), batch.observation[0].numpy())
    assert np.array_equal(altered.legal_action_mask[0].numpy(), batch.legal_action_mask[0].numpy())
    oracle.count("batch/fog invariant positions tried", 1)
