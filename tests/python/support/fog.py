"""Games altered only where the side to move never looked, for the fog invariants: whatever a
player decides from its own view must come out the same for both games."""

import chess
import numpy as np
from hypothesis import event
from hypothesis import strategies as st

from quellor_selfplay import GameBatch
from quellor_selfplay.codes import HIDDEN_CHANNEL, NEWEST_FRAME, move_code

KINDS = [chess.PAWN, chess.KNIGHT, chess.BISHOP, chess.ROOK, chess.QUEEN]
STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
]


def replay(fen, codes):
    batch = GameBatch(1, rules="dark", fens=fen, threads=1)
    for code in codes:
        batch.step_moves(np.array([code]))
    return batch


def placement(batch):
    board = chess.Board(batch.fen(0))
    return {square: board.piece_at(square) for square in chess.SQUARES}


def unseen_change(start, seed, plies, data):
    """Plays a random dark game of up to `plies` plies from `start`, then replays it from a start
    altered only where the side to move at the end never looked: an enemy piece on a square
    hidden in every frame that side had (and that no move touched) moved to another such square
    or made another kind. Returns (game, altered game), both GameBatch(1), or None when the game
    ended, nothing unseen could change, or the altered game cannot be played."""
    rng = np.random.default_rng(seed)
    batch = GameBatch(1, rules="dark", fens=start, threads=1)
    codes, views, boards = [], [batch.observation[0, :, NEWEST_FRAME].numpy().copy()], [placement(batch)]
    for _ in range(plies):
        moves = batch.legal_moves(0)
        if batch.terminated[0] or not moves:
            break
        codes.append(move_code(moves[rng.integers(len(moves))]))
        batch.step_moves(np.array(codes[-1:]))
        views.append(batch.observation[0, :, NEWEST_FRAME].numpy().copy())
        boards.append(placement(batch))
    if batch.terminated[0]:
        return None

    white = bool(batch.to_move[0])
    flip = 0 if white else 56
    # Squares hidden in every frame the mover had, whose occupant never changed.
    hidden = set(chess.SQUARES)
    for view in views[len(codes) % 2::2]:
        hidden &= {row ^ flip for row in range(64) if view[row, HIDDEN_CHANNEL] == 1}
    untouched = {sq for sq in chess.SQUARES if all(b[sq] == boards[0][sq] for b in boards)}
    free = sorted(hidden & untouched)
    enemy = [sq for sq in free if boards[0][sq] is not None and boards[0][sq].color != white]
    empty = [sq for sq in free if boards[0][sq] is None]
    if not enemy:
        event("nothing unseen to change")
        return None

    board = chess.Board(start)
    square = data.draw(st.sampled_from(enemy))
    piece = board.piece_at(square)
    if empty and data.draw(st.booleans()):
        board.remove_piece_at(square)
        board.set_piece_at(data.draw(st.sampled_from(empty)), piece)
        event("moved an unseen piece")
    elif piece.piece_type != chess.KING:
        kind = data.draw(st.sampled_from([k for k in KINDS if k != piece.piece_type]))
        board.set_piece_at(square, chess.Piece(kind, piece.color))
        event("replaced an unseen piece")
    else:
        return None
    try:
        altered = replay(board.fen(), codes)
    except ValueError:
        # The change makes the start position unreadable (a pawn on its back rank, castling
        # rights without their rook) or blocks a move of the game: no such game exists.
        event("altered game cannot be played")
        return None
    return batch, altered
