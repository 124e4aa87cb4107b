"""Pictures of the fog: both sides' views read back from the planes, as text and as SVG."""

import re
import xml.etree.ElementTree as ET

import chess
import pytest

from support.positions import board_view, random_game, visible_squares
from quellor_selfplay.fog import HIDDEN_FILL, fog_view, render_svg, render_text

SVG = "{http://www.w3.org/2000/svg}"
SHADE = HIDDEN_FILL[:7]  # python-chess writes the alpha of #rrggbbaa as fill-opacity
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"


def random_moves(seed, plies, fen=START):
    return [move.uci() for move in random_game(seed, fen, plies)]


def board_after(moves, ply, fen=START):
    board = chess.Board(fen)
    for uci in moves[:ply]:
        board.push_uci(uci)
    return board


def expected_squares(board):
    """What the side to move of `board` sees: None hidden, else the signed piece code."""
    seen = visible_squares(board)
    squares = []
    for square in chess.SQUARES:
        piece = board.piece_at(square)
        if square not in seen:
            squares.append(None)
        elif piece is None:
            squares.append(0)
        else:
            squares.append(piece.piece_type if piece.color == chess.WHITE else -piece.piece_type)
    return squares


CASES = [(START, seed, ply) for seed in (1, 2) for ply in (0, 1, 2, 9, 30)] + [
    (KIWIPETE, 3, ply) for ply in (0, 1, 6)
]


@pytest.mark.parametrize("fen, seed, ply", CASES)
def test_views_are_what_each_side_saw(fen, seed, ply):
    moves = random_moves(seed, 40, fen)
    view = fog_view(moves, ply, game=4, start_fen=fen)
    now = board_after(moves, ply, fen)
    assert view.board == board_view(now.fen())
    assert view.white_to_move == (now.turn == chess.WHITE)
    assert view.mover.white == view.white_to_move and view.mover.ply == ply
    assert view.mover.squares == expected_squares(now)
    if ply == 0:
        assert view.other is None
    else:
        before = board_after(moves, ply - 1, fen)
        assert view.other.white != view.mover.white and view.other.ply == ply - 1
        assert view.other.squares == expected_squares(before)
        assert view.last_move == moves[ply - 1]


@pytest.mark.parametrize("ply", [0, 1, 12])
def test_text_shows_the_three_boards(ply):
    moves = random_moves(5, 20)
    view = fog_view(moves, ply, game=2)
    lines = render_text(view).splitlines()
    assert lines[0].startswith(f"Game 2, ply {ply} of 20: ")
    rows = lines[3:11]
    for i, line in enumerate(rows):
        boards = re.findall(r"[1-8]  ((?:\S ){7}\S)", line)
        assert len(boards) == 3
        true_row = [0 if c == "." else c for c in boards[0].split()]
        expected = [0 if c == 0 else chess.Piece(abs(c), c > 0).symbol() for c in view.board[i]]
        assert true_row == expected
        for board_text, white in ((boards[1], True), (boards[2], False)):
            side = view.side(white)
            shown = board_text.split()
            for file, cell in enumerate(shown):
                code = None if side is None else side.squares[(7 - i) * 8 + file]
                if code is None:
                    assert cell == "#"
                elif code == 0:
                    assert cell == "."
                else:
                    assert cell == chess.Piece(abs(code), code > 0).symbol()


@pytest.mark.parametrize("ply", [0, 7])
def test_svg_shades_exactly_the_hidden_squares(ply):
    moves = random_moves(6, 20)
    view = fog_view(moves, ply)
    root = ET.fromstring(render_svg(view))
    boards = root.findall(f"{SVG}svg")
    assert len(boards) == 3
    for board, side in zip(boards[1:], (view.side(True), view.side(False))):
        shaded = [r for r in board.iter(f"{SVG}rect") if r.get("fill") == SHADE]
        hidden = 64 if side is None else side.squares.count(None)
        assert len(shaded) == hidden
    assert not [r for r in boards[0].iter(f"{SVG}rect") if r.get("fill") == SHADE]
    captions = [t.text for t in root.findall(f"{SVG}text")]
    assert captions[0].startswith(f"Game 0, ply {ply} of 20")
    assert captions[1] == f"True board, ply {ply}"


def test_ply_outside_the_game_is_refused():
    with pytest.raises(ValueError, match=r"ply must lie in 0\.\.3 for game 0"):
        fog_view(["e2e4", "e7e5", "g1f3"], 4)
