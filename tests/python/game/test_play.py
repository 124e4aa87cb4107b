"""Playing moves with apply(): position, history frames, king captures, clones."""

import json
import subprocess
import sys

import chess
import numpy
import pytest

from support.positions import (
    RICH_FENS,
    START_FEN,
    board_view,
    expected_plane,
    filled_plane,
    frames,
    random_game,
)
from quellor import SelfPlayGame

AFTER_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"


def padded(planes):
    planes = planes[-8:]
    return [planes[0]] * (8 - len(planes)) + planes


def rights(board):
    return (
        board.has_kingside_castling_rights(board.turn),
        board.has_queenside_castling_rights(board.turn),
    )


def state(game):
    return game.board, game.turn, game.castle_eligible(), game.encode().tolist()


def test_e2e4_from_the_start():
    game = SelfPlayGame()
    assert game.apply("e2e4") is None
    assert game.board == board_view(AFTER_E4)
    assert game.turn is False and game.current_player() is False
    assert frames(game) == [expected_plane(START_FEN)] * 7 + [expected_plane(AFTER_E4)]
    flags = game.encode()[:2, 104:].tolist()
    assert flags == [[1.0, 1.0], [1.0, 1.0]]
    assert game.action_index("e7e5") == 796


@pytest.mark.parametrize(
    "action", ["e2e4", chess.Move.from_uci("e2e4"), "e2e4xy", "e2e4 and more"]
)
def test_move_forms_play_alike(action):
    game = SelfPlayGame()
    game.apply(action)
    reference = SelfPlayGame()
    reference.apply("e2e4")
    assert state(game) == state(reference)


@pytest.mark.parametrize(
    "action, error, message",
    [
        ("e2e4x", ValueError, "Invalid UCI move"),
        ("e7e8Q", ValueError, "Invalid UCI move"),
        ("e2", ValueError, "Invalid UCI move"),
        (5, ValueError, "action must be a python-chess Move or UCI string"),
        (None, ValueError, "action must be a python-chess Move or UCI string"),
        ("e3e4", RuntimeError, "Cannot play e3e4: no piece on e3"),
    ],
)
def test_failed_apply_changes_nothing(action, error, message):
    game = SelfPlayGame()
    before = state(game)
    with pytest.raises(error) as info:
        game.apply(action)
    assert str(info.value) == message
    assert state(game) == before


def test_uci_errors_propagate_from_apply():
    class Broken:
        def uci(self):
            raise KeyError("from uci")

    class NotText:
        def uci(self):
            return 42

    game = SelfPlayGame()
    before = state(game)
    with pytest.raises(KeyError):
        game.apply(Broken())
    with pytest.raises(TypeError):
        game.apply(NotText())
    assert state(game) == before


@pytest.mark.parametrize(
    "fen, moves",
    [
        # Castling both ways, each side.
        (RICH_FENS[1], ["e1g1", "e8c8"]),
        (RICH_FENS[1], ["e1c1", "e8g8"]),
        # En passant by White and by Black.
        ("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", ["e5d6"]),
        ("rnbqkbnr/ppp1pppp/8/8/3p4/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", ["e2e4", "d4e3"]),
        # Promotions to every piece, with and without capture.
        ("1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", ["a7b8q"]),
        ("1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", ["a7a8n"]),
        ("1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", ["a7a8r"]),
        ("1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", ["a7b8b"]),
        ("4k3/8/8/8/8/8/p7/1N2K3 b - - 0 1", ["a2b1q"]),
        # A rook leaving home and a capture on a rook's home square.
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", ["h1h8"]),
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", ["a1a8", "e8e7"]),
        ("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", ["e1e2", "h8h2"]),
    ],
)
def test_special_moves_match_python_chess(fen, moves):
    game = SelfPlayGame(fen)
    board = chess.Board(fen)
    planes = [expected_plane(fen)]
    for move in moves:
        game.apply(move)
        board.push_uci(move)
        planes.append(expected_plane(board.fen()))
    assert game.board == board_view(board.fen())
    assert game.turn == (board.turn == chess.WHITE)
    assert game.castle_eligible() == rights(board)
    assert frames(game) == padded(planes)


@pytest.mark.parametrize("start", RICH_FENS)
@pytest.mark.parametrize("seed", [1, 2])
def test_random_games_follow_python_chess(start, seed):
    game = SelfPlayGame(start)
    board = chess.Board(start)
    planes = [expected_plane(start)]
    for move in random_game(seed, start, plies=30):
        assert sorted(m.uci() for m in game.legal_actions()) == sorted(
            m.uci() for m in board.legal_moves
        )
        game.apply(move)
        board.push(move)
        planes.append(expected_plane(board.fen()))
        assert game.board == board_view(board.fen())
        assert game.turn == (board.turn == chess.WHITE)
        assert game.castle_eligible() == rights(board)
        assert game.is_terminal() is False
        assert frames(game) == padded(planes)


def test_ninth_plane_evicts_the_first():
    game = SelfPlayGame(history_tensors=[filled_plane(9.0)])
    board = chess.Board()
    planes = [filled_plane(9.0)]
    for move in ["g1f3", "g8f6", "f3g1", "f6g8"] * 2:
        game.apply(move)
        board.push_uci(move)
        planes.append(expected_plane(board.fen()))
    assert len(planes) == 9
    assert frames(game) == planes[1:]


def test_supplied_planes_age_out_one_per_move():
    supplied = [filled_plane(v) for v in range(8)]
    game = SelfPlayGame(history_tensors=supplied)
    game.apply("e2e4")
    assert frames(game) == supplied[1:] + [expected_plane(AFTER_E4)]


# -- captured kings ---------------------------------------------------------------

# White to move; each line ends with the capture of one or both kings.
CAPTURES = [
    ("4k3/8/8/8/8/8/8/3RK3 b - - 0 1", ["e8d8", "d1d8"], False, True, 1.0),
    ("4k3/8/8/8/8/8/3r4/4K3 w - - 0 1", ["e1e2", "d2e2"], True, False, -1.0),
    ("k7/8/8/8/8/8/3r4/4K2R w - - 0 1", ["e1e2", "d2e2", "h1h8", "e2e3", "h8a8"], True, True, -1.0),
]


@pytest.mark.parametrize("fen, moves, white_gone, black_gone, white_value", CAPTURES)
def test_king_capture_ends_the_game(fen, moves, white_gone, black_gone, white_value):
    game = SelfPlayGame(fen)
    for move in moves[:-1]:
        game.apply(move)
    game.apply(moves[-1])
    codes = [v for row in game.board for v in row]
    assert (6 not in codes, -6 not in codes) == (white_gone, black_gone)
    assert game.is_terminal() is True
    for white, value in [(True, white_value), (numpy.True_, white_value),
                         (False, -white_value), (numpy.False_, -white_value)]:
        result = game.terminal_value(white)
        assert type(result) is float and result == value


def test_game_stays_terminal_and_accepts_moves():
    game = SelfPlayGame("4k3/p7/8/8/8/8/8/3RK3 b - - 0 1")
    for move in ["e8d8", "d1d8"]:
        game.apply(move)
    assert game.is_terminal()
    game.apply("a7a6")  # Black plays on without a king
    assert game.is_terminal()
    assert game.terminal_value(True) == 1.0


def test_not_terminal_before_the_capture():
    game = SelfPlayGame("4k3/8/8/8/8/8/8/3RK3 b - - 0 1")
    game.apply("e8d8")  # into the rook's file: played without a legality test
    assert game.is_terminal() is False
    assert game.terminal_value(True) == 0.0


# -- clones ------------------------------------------------------------------------


def test_clone_and_original_move_independently():
    original = SelfPlayGame(RICH_FENS[1])
    clone = original.clone()
    start = state(original)
    clone.apply("e1g1")
    assert state(original) == start
    original.apply("e2a6")
    assert state(clone) != state(original)
    expected = SelfPlayGame(RICH_FENS[1])
    expected.apply("e1g1")
    assert state(clone) == state(expected)


def test_clone_keeps_the_history_of_played_moves():
    game = SelfPlayGame()
    for move in ["e2e4", "e7e5", "g1f3"]:
        game.apply(move)
    clone = game.clone()
    assert state(clone) == state(game)
    clone.apply("b8c6")
    game.apply("b8c6")
    assert state(clone) == state(game)


# -- without the outside libraries ------------------------------------------------------


def test_apply_needs_neither_chess_nor_torch():
    code = """
import json, sys
sys.modules["chess"] = None
sys.modules["torch"] = None
import quellor
g = quellor.SelfPlayGame()
g.apply("e2e4")
g.apply("e7e5")
print(json.dumps([g.turn, g.board[3], g.board[4], g.action_index("g1f3")]))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [True, [0, 0, 0, 0, -1, 0, 0, 0], [0, 0, 0, 0, 1, 0, 0, 0], 405]


def test_start_position_action_order():
    assert [m.uci() for m in SelfPlayGame().legal_actions()] == [
        "a2a3", "a2a4", "b2b3", "b2b4", "c2c3", "c2c4", "d2d3", "d2d4", "e2e3", "e2e4",
        "f2f3", "f2f4", "g2g3", "g2g4", "h2h3", "h2h4", "b1a3", "b1c3", "g1f3", "g1h3",
    ]


def test_legal_actions_returns_what_from_uci_makes(monkeypatch):
    monkeypatch.setattr(chess.Move, "from_uci", staticmethod(lambda text: ("made", text)))
    actions = SelfPlayGame("7k/8/8/8/8/8/8/K7 w - - 0 1").legal_actions()
    assert sorted(actions) == [("made", "a1a2"), ("made", "a1b1"), ("made", "a1b2")]


def test_legal_actions_passes_from_uci_errors_through(monkeypatch):
    def broken(text):
        raise OSError("from_uci failed on " + text)

    game = SelfPlayGame()
    before = state(game)
    monkeypatch.setattr(chess.Move, "from_uci", staticmethod(broken))
    with pytest.raises(OSError, match="from_uci failed on a2a3"):
        game.legal_actions()
    monkeypatch.delattr(chess.Move, "from_uci")
    with pytest.raises(AttributeError):
        game.legal_actions()
    monkeypatch.undo()
    assert state(game) == before


# apply() lets a move leave its own king attacked. When the other side answers with a double
# step beside one of the mover's pawns, the en-passant capture must not be offered if it does not
# end the check: a knight or a pawn other than the one taken still attacks the king.
@pytest.mark.parametrize(
    "fen, moves",
    [
        ("4k3/3p4/8/4P3/8/5n2/8/R3K3 w - - 0 1", ["a1a2", "d7d5"]),  # knight check stands
        ("4k3/3p4/8/4P3/8/8/3p4/R3K3 w - - 0 1", ["a1a2", "d7d5"]),  # pawn check stands
        ("4k3/5p2/8/4P3/8/8/8/R3K3 w - - 0 1", ["e1d1", "f7f5"]),    # no check: the capture stays
    ],
)
def test_en_passant_beside_an_unanswered_check(fen, moves):
    game = SelfPlayGame(fen)
    for move in moves:
        game.apply(move)
    board = chess.Board(fen)
    for move in moves:
        board.push(chess.Move.from_uci(move))  # push() plays it without asking whether it is legal
    assert sorted(m.uci() for m in game.legal_actions()) == sorted(m.uci() for m in board.legal_moves)
