"""Seeded random self-play through the module, checked against python-chess at every ply."""

import random

import chess
import pytest

from support.positions import RICH_FENS, board_view, expected_plane, newest_frame
from quellor import SelfPlayGame

# Positions rich in promotions, en passant, castling and checks, beside the usual ones.
STARTS = RICH_FENS + [
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "8/PPP4k/8/8/8/8/4Kppp/8 w - - 0 1",
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
]
GAMES = 120
MAX_PLIES = 80


@pytest.mark.parametrize("seed", range(GAMES))
def test_random_game_matches_python_chess(seed):
    rng = random.Random(seed)
    start = STARTS[seed % len(STARTS)]
    game, board = SelfPlayGame(start), chess.Board(start)
    for _ in range(MAX_PLIES):
        actions = game.legal_actions()
        texts = [move.uci() for move in actions]
        assert len(texts) == len(set(texts)), "a move is listed twice"
        assert set(texts) == {move.uci() for move in board.legal_moves}, board.fen()
        if not actions:
            break
        move = rng.choice(actions)
        game.apply(move)
        board.push(move)
        assert game.board == board_view(board.fen())
        assert game.turn == (board.turn == chess.WHITE)
        assert newest_frame(game) == expected_plane(board.fen()), board.fen()
        assert not game.is_terminal()
