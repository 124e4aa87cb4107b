"""Read-only questions: turn, termination, castling rights, board view, action slots, encode()."""

import math

import chess
import numpy
import pytest
import torch

from support.positions import (
    START_FEN,
    TELLING_FENS,
    action_slot,
    board_view,
    expected_plane,
    filled_plane,
    frames,
    numbered_plane,
    random_fens,
)
from quellor import SelfPlayGame

INVALID_MOVE = "Invalid UCI move"
BAD_ACTION = "action must be a python-chess Move or UCI string"
BLACK_TO_MOVE = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"
QUERY_FENS = TELLING_FENS + random_fens(seed=77, plies_per_game=40, take_every=10)


# -- turn and termination ------------------------------------------------------


@pytest.mark.parametrize("fen", QUERY_FENS)
def test_turn_and_current_player_agree_with_the_fen(fen):
    game = SelfPlayGame(fen)
    white = chess.Board(fen).turn == chess.WHITE
    assert game.turn is white
    assert game.current_player() is white


@pytest.mark.parametrize(
    "fen",
    QUERY_FENS
    + [
        "R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1",  # checkmate
        "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",  # stalemate
        "8/8/8/8/8/8/8/k1K5 w - - 0 1",  # bare kings
    ],
)
def test_positions_with_both_kings_are_not_over(fen):
    game = SelfPlayGame(fen)
    assert game.is_terminal() is False
    for side in (True, False):
        value = game.terminal_value(side)
        assert type(value) is float and value == 0.0


# -- castling rights -------------------------------------------------------------

CASTLE_BOARD = "r3k2r/8/8/8/8/8/8/R3K2R"


@pytest.mark.parametrize(
    "side, field, expected",
    [
        ("w", "KQkq", (True, True)),
        ("b", "KQkq", (True, True)),
        ("w", "Kq", (True, False)),
        ("b", "Kq", (False, True)),
        ("w", "Qk", (False, True)),
        ("b", "Qk", (True, False)),
        ("w", "kq", (False, False)),
        ("b", "KQ", (False, False)),
        ("w", "-", (False, False)),
        ("b", "-", (False, False)),
        ("w", "qkQ", (False, True)),
        ("b", "xk", (True, False)),
    ],
)
def test_castle_eligible_reports_the_side_to_move_rights(side, field, expected):
    game = SelfPlayGame(f"{CASTLE_BOARD} {side} {field} - 0 1")
    assert game.castle_eligible() == expected
    assert all(type(flag) is bool for flag in game.castle_eligible())


@pytest.mark.parametrize(
    "fen, expected",
    [
        # In check, squares between blocked, or attacked: the recorded rights still stand.
        ("r3k2r/8/8/8/8/8/8/R3K1rR w KQkq - 0 1", (True, True)),
        ("r3k2r/8/8/8/4r3/8/8/R3K2R w KQkq - 0 1", (True, True)),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", (True, True)),
        ("r3k2r/8/8/8/8/8/8/R2QK1NR w KQ - 0 1", (True, True)),
    ],
)
def test_castle_eligible_ignores_whether_castling_is_playable(fen, expected):
    assert SelfPlayGame(fen).castle_eligible() == expected


# -- board view ----------------------------------------------------------------


def test_start_board_view():
    assert SelfPlayGame().board == [
        [-4, -2, -3, -5, -6, -3, -2, -4],
        [-1] * 8,
        [0] * 8,
        [0] * 8,
        [0] * 8,
        [0] * 8,
        [1] * 8,
        [4, 2, 3, 5, 6, 3, 2, 4],
    ]


def test_board_view_is_not_flipped_for_black():
    view = SelfPlayGame(BLACK_TO_MOVE).board
    assert view[4][4] == 1 and view[6][4] == 0
    assert view[0][4] == -6 and view[7][4] == 6


@pytest.mark.parametrize("fen", QUERY_FENS)
def test_board_view_matches_python_chess(fen):
    view = SelfPlayGame(fen).board
    assert view == board_view(fen)
    assert all(type(v) is int for row in view for v in row)


def test_board_view_shows_hidden_pieces():
    game = SelfPlayGame(BLACK_TO_MOVE)
    assert frames(game)[-1][chess.E4 ^ 56][12] == 1.0
    assert game.board[4][4] == 1


def test_board_view_is_a_fresh_list(game):
    view = game.board
    view[0][0] = 99
    view[7].append(0)
    assert game.board is not game.board
    assert game.board == board_view(START_FEN)


# -- action_index -------------------------------------------------------------


@pytest.mark.parametrize(
    "fen, move, index",
    [
        (START_FEN, "e2e4", 796),
        (START_FEN, "g1f3", 405),
        (START_FEN, "e7e8q", 4304),
        (START_FEN, "e7d8n", 4307),
        (START_FEN, "e7f8r", 4305),
        (START_FEN, "e7e8b", 4306),
        (START_FEN, "b1c3", 82),
        (START_FEN, "a1h8", 63),
        (START_FEN, "a1a1", 0),
        (START_FEN, "h8h8", 4095),
        (START_FEN, "h8g8q", 4096 + 63 * 4),
        (START_FEN, "a1b1n", 4099),
        (BLACK_TO_MOVE, "e7e5", 796),
        (BLACK_TO_MOVE, "e2e1q", 4304),
        (BLACK_TO_MOVE, "g8f6", 405),
        (BLACK_TO_MOVE, "b1c3", 3690),
        (BLACK_TO_MOVE, "a8h1", 63),
        (BLACK_TO_MOVE, "h1h1", 4095),
        # Six bytes or more: everything from the fifth on is ignored.
        (START_FEN, "e2e4xy", 796),
        (START_FEN, "e7e8=q", 52 * 64 + 60),
        (START_FEN, "e7e8qq", 52 * 64 + 60),
        (START_FEN, "e2e4 extra text", 796),
        (START_FEN, "e2e4\u00e9", 796),
    ],
)
def test_action_index_table(fen, move, index):
    assert SelfPlayGame(fen).action_index(move) == index


@pytest.mark.parametrize("fen", QUERY_FENS)
def test_action_index_of_legal_moves_matches_the_slot_rule(fen):
    game = SelfPlayGame(fen)
    board = chess.Board(fen)
    white = board.turn == chess.WHITE
    moves = list(board.legal_moves)
    for move in moves:
        expected = action_slot(move.uci(), white)
        assert game.action_index(move) == expected
        assert game.action_index(move.uci()) == expected
        assert 0 <= expected < 4352


def test_action_index_covers_every_slot_once_per_side():
    squares = [chess.square_name(s) for s in chess.SQUARES]
    for fen in (START_FEN, BLACK_TO_MOVE):
        game = SelfPlayGame(fen)
        plain = {game.action_index(f + t) for f in squares for t in squares}
        promos = {game.action_index(f + squares[0] + p) for f in squares for p in "qrbn"}
        assert plain == set(range(4096))
        assert promos == set(range(4096, 4352))


class UciAttribute:
    def __init__(self, value):
        self.uci = value


class UciMethod:
    def __init__(self, result):
        self.result = result

    def uci(self):
        return self.result


class UciProperty:
    @property
    def uci(self):
        raise KeyError("not readable")


class Text(str):
    def uci(self):
        return "a2a3"  # never consulted: the text itself is the move


@pytest.mark.parametrize(
    "action, index",
    [
        (chess.Move.from_uci("e2e4"), 796),
        (chess.Move.from_uci("e7e8q"), 4304),
        (chess.Move(chess.E7, chess.D8, promotion=chess.KNIGHT), 4307),
        (UciAttribute("g1f3"), 405),
        (UciMethod("g1f3"), 405),
        (Text("e2e4"), 796),
    ],
)
def test_action_forms(game, action, index):
    assert game.action_index(action) == index


@pytest.mark.parametrize(
    "text",
    [
        "",
        "e",
        "e2",
        "e2e",
        "i2e4",
        "e2e9",
        "e0e4",
        "E2E4",
        " e2e4",
        "e2 e4",
        "e2e4x",
        "e7e8Q",
        "e7e8k",
        "e7e8p",
        "e7e8x",
        "e7e8 ",
        "e7e8\x00",
        "0000",
        "\u00e92e4",
        "e\u00e9e4",
        "e2\u00e94",
        "e2e\u00e9",
    ],
)
def test_invalid_move_text(game, text):
    with pytest.raises(ValueError) as info:
        game.action_index(text)
    assert str(info.value) == INVALID_MOVE


@pytest.mark.parametrize(
    "action", [chess.Move.null(), chess.Move(chess.E7, chess.E8, promotion=chess.KING), UciMethod("e7e8K")]
)
def test_invalid_moves_from_move_objects(game, action):
    with pytest.raises(ValueError) as info:
        game.action_index(action)
    assert str(info.value) == INVALID_MOVE


@pytest.mark.parametrize(
    "action", [5, None, 1.5, b"e2e4", ["e2e4"], UciAttribute(5), UciAttribute(None), UciProperty()]
)
def test_unusable_action_objects(game, action):
    with pytest.raises(ValueError) as info:
        game.action_index(action)
    assert str(info.value) == BAD_ACTION


@pytest.mark.parametrize("result", [5, None, b"e2e4", chess.Move.from_uci("e2e4")])
def test_uci_method_must_return_text(game, result):
    with pytest.raises(TypeError):
        game.action_index(UciMethod(result))


def test_unencodable_text_raises_the_interpreter_error(game):
    with pytest.raises(UnicodeEncodeError):
        game.action_index("e2e4\ud800")


# -- encode --------------------------------------------------------------------


def flag_columns(tensor):
    return tensor[:, 104:106].tolist()


@pytest.mark.parametrize("fen", TELLING_FENS)
def test_encode_of_a_new_game(fen):
    tensor = SelfPlayGame(fen).encode()
    assert isinstance(tensor, torch.Tensor)
    assert tensor.dtype == torch.float32
    assert tuple(tensor.shape) == (64, 106)
    rows = tensor.tolist()
    plane = expected_plane(fen)
    for r in range(64):
        assert rows[r][:104] == plane[r] * 8
    board = chess.Board(fen)
    king = float(board.has_kingside_castling_rights(board.turn))
    queen = float(board.has_queenside_castling_rights(board.turn))
    assert flag_columns(tensor) == [[king, king], [queen, queen]] + [[0.0, 0.0]] * 62


@pytest.mark.parametrize(
    "side, field, row0, row1",
    [
        ("w", "KQkq", 1.0, 1.0),
        ("w", "Q", 0.0, 1.0),
        ("w", "K", 1.0, 0.0),
        ("w", "kq", 0.0, 0.0),
        ("b", "KQkq", 1.0, 1.0),
        ("b", "Kq", 0.0, 1.0),
        ("b", "Qk", 1.0, 0.0),
        ("b", "KQ", 0.0, 0.0),
    ],
)
def test_encode_castling_flags(side, field, row0, row1):
    game = SelfPlayGame(f"{CASTLE_BOARD} {side} {field} - 0 1")
    assert flag_columns(game.encode()) == [[row0, row0], [row1, row1]] + [[0.0, 0.0]] * 62


def test_encode_flags_come_from_the_board_with_supplied_planes():
    game = SelfPlayGame(f"{CASTLE_BOARD} b Qk - 0 1", [filled_plane(7.0)] * 3)
    tensor = game.encode()
    assert flag_columns(tensor) == [[1.0, 1.0], [0.0, 0.0]] + [[0.0, 0.0]] * 62
    assert tensor[:, :104].eq(7.0).all()


@pytest.mark.parametrize(
    "count, frame_offsets",
    [
        (1, [0] * 8),
        (3, [0, 0, 0, 0, 0, 0, 1000, 2000]),
        (8, [0, 1000, 2000, 3000, 4000, 5000, 6000, 7000]),
        (12, [4000, 5000, 6000, 7000, 8000, 9000, 10000, 11000]),
    ],
)
def test_encode_stacks_supplied_planes_oldest_first(count, frame_offsets):
    planes = [numbered_plane(1000.0 * i) for i in range(count)]
    game = SelfPlayGame(history_tensors=planes)
    assert frames(game) == [numbered_plane(o) for o in frame_offsets]


def test_encode_keeps_special_float_values():
    specials = [-0.0, math.nan, math.inf, -math.inf, 0.1, -7.25, 1e-30, 3.0e38]
    plane = [[specials[(r + c) % len(specials)] for c in range(13)] for r in range(64)]
    tensor = SelfPlayGame(history_tensors=[plane]).encode()
    expected = torch.tensor(plane, dtype=torch.float32).repeat(1, 8)
    got = tensor[:, :104]
    assert torch.equal(got.isnan(), expected.isnan())
    assert torch.equal(torch.signbit(got), torch.signbit(expected))
    assert torch.equal(torch.nan_to_num(got), torch.nan_to_num(expected))
    assert got[0, 0].item() == 0.0 and math.copysign(1.0, got[0, 0].item()) == -1.0
    assert got[0, 4].item() == float(numpy.float32(0.1))


def test_encode_changes_nothing(game):
    first = game.encode()
    second = game.encode()
    assert first is not second
    assert torch.equal(first, second)
    first.fill_(5.0)
    assert torch.equal(game.encode(), second)
