"""The fog-of-war plane a new game records for its side to move."""

import chess
import pytest

import quellor
from support.positions import (
    HIDDEN,
    START_FEN,
    START_FEN_BLACK,
    TELLING_FENS,
    expected_plane,
    frames,
    newest_frame,
    random_fens,
)

RANDOM_FENS = random_fens(seed=20240607)


def flipped_side(fen):
    """`fen` with the other side to move, or None when that side's opponent is in check."""
    board = chess.Board(fen)
    board.turn = not board.turn
    board.ep_square = None
    if board.is_attacked_by(board.turn, board.king(not board.turn)):
        return None
    return board.fen()


FLIPPED_FENS = [f for f in map(flipped_side, RANDOM_FENS) if f is not None]


def plane_of(fen):
    return newest_frame(quellor.SelfPlayGame(fen))


def seen_rows(plane):
    return {r for r, row in enumerate(plane) if row[HIDDEN] == 0.0}


def ranks(*numbers):
    """Rows of a white observer covering the given ranks (1..8)."""
    return {(n - 1) * 8 + f for n in numbers for f in range(8)}


def test_start_position_white_view():
    plane = plane_of(START_FEN)
    back = [3, 1, 2, 4, 5, 2, 1, 3]  # own R N B Q K B N R
    for row in range(8):
        assert plane[row] == [1.0 if c == back[row] else 0.0 for c in range(13)]
    for row in range(8, 16):
        assert plane[row] == [1.0] + [0.0] * 12
    for row in range(16, 32):
        assert plane[row] == [0.0] * 13
    for row in range(32, 64):
        assert plane[row] == [0.0] * 12 + [1.0]


def test_start_position_black_view_matches_white_view_by_row_flip():
    assert plane_of(START_FEN_BLACK) == plane_of(START_FEN)


def test_black_does_not_see_the_pawn_on_e4():
    plane = plane_of("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1")
    e4_row = chess.E4 ^ 56
    assert plane[e4_row] == [0.0] * 12 + [1.0]
    assert seen_rows(plane) == ranks(1, 2, 3, 4)  # Black's ranks 8..5 as rows 0..31


@pytest.mark.parametrize(
    "fen, seen_squares",
    [
        # Pawn e4 facing e5: e5 (enemy pawn) and both diagonals.
        ("4k3/8/8/4p3/4P3/8/8/K7 w - - 0 1", {"a1", "a2", "b1", "b2", "e4", "e5", "d5", "f5"}),
        # Pawn on e2 with a piece on e3: e3 seen, e4 not (own or enemy blocker).
        ("4k3/8/8/8/8/4N3/4P3/K7 w - - 0 1",
         {"a1", "a2", "b1", "b2", "e2", "e3", "d3", "f3",
          "c2", "c4", "d5", "f5", "g4", "g2", "d1", "f1"}),
        ("4k3/8/8/8/8/4n3/4P3/K7 w - - 0 1", {"a1", "a2", "b1", "b2", "e2", "e3", "d3", "f3"}),
        # Double step sees a blocker standing two squares ahead.
        ("4k3/8/8/8/4n3/8/4P3/K7 w - - 0 1", {"a1", "a2", "b1", "b2", "e2", "e3", "e4", "d3", "f3"}),
        # Rook a1 stopped by an enemy knight on a5, then by an own knight on a5.
        ("7k/8/8/n7/8/8/8/R6K w - - 0 1",
         {"a1", "a2", "a3", "a4", "a5", "b1", "c1", "d1", "e1", "f1", "g1", "h1",
          "h2", "g2"}),
        ("7k/8/8/N7/8/8/8/R6K w - - 0 1",
         {"a1", "a2", "a3", "a4", "a5", "b1", "c1", "d1", "e1", "f1", "g1", "h1",
          "h2", "g2", "b7", "c6", "c4", "b3"}),
    ],
)
def test_seen_squares_follow_the_visibility_rules(fen, seen_squares):
    plane = plane_of(fen)
    assert seen_rows(plane) == {chess.parse_square(s) for s in seen_squares}


def test_enemy_piece_at_end_of_rook_ray_shows_its_channel():
    plane = plane_of("7k/8/8/n7/8/8/8/R6K w - - 0 1")
    assert plane[chess.A5] == [0.0] * 7 + [1.0] + [0.0] * 5  # enemy knight
    assert plane[chess.H8][HIDDEN] == 1.0  # the enemy king is out of sight


def test_black_observer_rows_are_a_vertical_flip():
    # Black rook on a8 with its ray down the a-file to an enemy knight on a5.
    plane = plane_of("r3k3/8/8/N7/8/8/8/4K3 b - - 0 1")
    assert plane[0][3] == 1.0  # a8 own rook, row 0
    assert plane[4][5] == 1.0  # e8 own king, row 4
    assert plane[chess.A5 ^ 56][7] == 1.0  # enemy knight on a5 is row 24
    assert plane[chess.E1 ^ 56][HIDDEN] == 1.0  # e1 is row 60, unseen
    assert plane[chess.D8 ^ 56] == [0.0] * 13  # d8 (row 3) is seen and empty
    assert plane[chess.H8 ^ 56][HIDDEN] == 1.0  # h8 (row 7) lies behind the own king


@pytest.mark.parametrize("fen", TELLING_FENS)
def test_telling_positions_match_python_chess(fen):
    assert plane_of(fen) == expected_plane(fen)


@pytest.mark.parametrize("fen", RANDOM_FENS + FLIPPED_FENS)
def test_random_positions_match_python_chess(fen):
    assert plane_of(fen) == expected_plane(fen)


@pytest.mark.parametrize("fen", TELLING_FENS + RANDOM_FENS)
def test_rows_carry_one_flag_at_most_and_hidden_rows_show_no_piece(fen):
    for row in plane_of(fen):
        assert set(row) <= {0.0, 1.0}
        assert sum(row) <= 1.0


def test_a_new_game_holds_a_single_plane(game):
    first, *rest = frames(game)
    assert all(frame == first for frame in rest)
