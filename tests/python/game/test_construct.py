"""Building a game: the board argument, FEN reading, supplied history planes, clone()."""

import array
import fractions

import chess
import numpy
import pytest
import torch

from support.positions import (
    PLANE_LEN,
    START_FEN,
    TELLING_FENS,
    board_view,
    expected_plane,
    filled_plane,
    flatten,
    frames,
    newest_frame,
    numbered_plane,
)
from quellor import SelfPlayGame

BAD_BOARD = "board must be a python-chess Board or FEN string"
BAD_FEN = "Invalid FEN string"
BAD_ENTRY = "history_tensors entries must be 64x13 tensors or lists"
BAD_ROWS = "history_tensors entries must have 64 rows"
BAD_COLS = "history_tensors entries must have 13 columns"
BAD_LEN = "history_tensors entries must have length 832"

KINGS = "4k3/8/8/8/8/8/8/4K3"


def same_game(a, b):
    return (
        a.board == b.board
        and a.turn == b.turn
        and a.castle_eligible() == b.castle_eligible()
        and a.encode().equal(b.encode())
    )


# -- the board argument -------------------------------------------------------


class FenMethod:
    def __init__(self, result):
        self.result = result

    def fen(self):
        return self.result


class FenAttribute:
    def __init__(self, value):
        self.fen = value


class FenProperty:
    @property
    def fen(self):
        raise RuntimeError("not readable")


class Text(str):
    def fen(self):
        return START_FEN  # never consulted: the text itself is the FEN


KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"


@pytest.mark.parametrize(
    "board",
    [
        KIWIPETE,
        Text(KIWIPETE),
        chess.Board(KIWIPETE),
        FenMethod(KIWIPETE),
        FenAttribute(KIWIPETE),
    ],
    ids=["str", "str-subclass", "python-chess", "fen-method", "fen-attribute"],
)
def test_board_forms(board):
    assert same_game(SelfPlayGame(board), SelfPlayGame(KIWIPETE))
    assert SelfPlayGame(board).board == board_view(KIWIPETE)


def test_default_is_the_start_position():
    game = SelfPlayGame()
    assert game.board == board_view(START_FEN)
    assert game.turn is True
    assert game.castle_eligible() == (True, True)
    assert frames(game) == [expected_plane(START_FEN)] * 8


@pytest.mark.parametrize("fen", TELLING_FENS)
def test_python_chess_board_equals_its_fen(fen):
    assert same_game(SelfPlayGame(chess.Board(fen)), SelfPlayGame(fen))


@pytest.mark.parametrize(
    "board",
    [
        b"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        5,
        1.5,
        [START_FEN],
        object(),
        FenAttribute(5),
        FenAttribute(None),
        FenAttribute(b"fen"),
        FenProperty(),
    ],
    ids=["bytes", "int", "float", "list", "object", "fen-int", "fen-none", "fen-bytes", "fen-raises"],
)
def test_unusable_board_objects(board):
    with pytest.raises(ValueError) as info:
        SelfPlayGame(board)
    assert str(info.value) == BAD_BOARD


@pytest.mark.parametrize("result", [5, None, b"fen", [START_FEN]])
def test_fen_method_must_return_text(result):
    with pytest.raises(TypeError):
        SelfPlayGame(FenMethod(result))


def test_fen_method_errors_propagate():
    class Broken:
        def fen(self):
            raise KeyError("inside fen")

    with pytest.raises(KeyError, match="inside fen"):
        SelfPlayGame(Broken())


# -- FEN text ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, same_as",
    [
        (f"{KINGS} w - -", f"{KINGS} w - - 0 1"),
        (f"{KINGS} W - - 0 1", f"{KINGS} w - - 0 1"),
        (f"{KINGS} B - - 0 1", f"{KINGS} b - - 0 1"),
        (f"{KINGS} w - - x y z", f"{KINGS} w - - 0 1"),
        (START_FEN + " ", START_FEN),
        # Two spaces make an empty castling field; "KQkq" becomes the en-passant field.
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w  KQkq - 0 1",
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w - - 0 1"),
        # A run of empty squares that passes the h-file wraps to the a-file of the same rank.
        ("4k3/8/8/8/8/8/8/44K3 w - - 0 1", "4k3/8/8/8/8/8/8/K7 w - - 0 1"),
        ("4k3/8/8/8/8/8/8/48K3 w - - 0 1", f"{KINGS} w - - 0 1"),
        ("4k3/8/8/8/8/8/8/4K35P w - - 0 1", "4k3/8/8/8/8/8/8/4KP2 w - - 0 1"),
        # A later piece replaces an earlier one on the same square.
        ("r3k3R/8/8/8/8/8/8/4K3 b - - 0 1", "R3k3/8/8/8/8/8/8/4K3 b - - 0 1"),
        # Ranks are not counted: too few leave the rest empty, a ninth wraps to rank 8.
        ("4k3/8/4K3 w - -", "4k3/8/4K3/8/8/8/8/8 w - - 0 1"),
        ("4k3/8/8/8/8/8/8/4K3/8/1R6 w - -", "4k3/1R6/8/8/8/8/8/4K3 w - - 0 1"),
        # Castling letters: order free, other characters ignored.
        ("r3k2r/8/8/8/8/8/8/R3K2R w qK - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w Kx - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w K - 0 1"),
        ("r3k2r/8/8/8/8/8/8/R3K2R w AHah - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1"),
        ("r3k2r/8/8/8/8/8/8/R3K2R b K-q-K - 0 1", "r3k2r/8/8/8/8/8/8/R3K2R b Kq - 0 1"),
        # Unreadable en-passant fields are ignored.
        (f"{KINGS} w - zz 0 1", f"{KINGS} w - - 0 1"),
        (f"{KINGS} w - e 0 1", f"{KINGS} w - - 0 1"),
        (f"{KINGS} w - e9 0 1", f"{KINGS} w - - 0 1"),
        # An en-passant file without a capturing pawn beside it is dropped.
        ("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
         "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"),
        ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq e6 0 1", START_FEN),
        # Only the file of the en-passant square counts.
        ("rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e6 0 1",
         "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1"),
    ],
)
def test_fen_reading_rules(text, same_as):
    assert same_game(SelfPlayGame(text), SelfPlayGame(same_as))


@pytest.mark.parametrize(
    "text",
    [
        # Squares that index arithmetic without file checks would confuse.
        "8/8/8/8/8/8/k7/7K w - - 0 1",  # kings h1 and a2 are not adjacent
        "K7/7k/8/8/8/8/8/8 b - - 0 1",  # kings a8 and h7 are not adjacent
        "4k3/8/8/8/8/p7/8/7K b - - 0 1",  # pawn a3 does not attack h1
        "k7/8/7P/8/8/8/8/4K3 w - - 0 1",  # pawn h6 does not attack a8
        "4k3/8/8/8/7P/8/8/4K3 w - a6 0 1",  # h4 is not beside a5
        "4k3/8/8/p7/8/8/8/4K3 b - h3 0 1",  # a5 is not beside h4
        "4k3/8/8/8/8/8/8/1n5K b - - 0 1",  # knight b1 does not attack h1
        # The side to move may stand in check.
        "4k3/8/8/8/8/8/8/r3K3 w - - 0 1",
        "4k3/8/8/8/8/8/3p4/4K3 w - - 0 1",
        "4k3/8/8/8/8/5n2/8/4K3 w - - 0 1",
        "4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
        "r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1",
        "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
        # Pawns on the first or last rank are not refused.
        "P3k3/8/8/8/8/8/8/p3K3 w - - 0 1",
    ],
)
def test_sound_positions_are_accepted(text):
    assert SelfPlayGame(text).board == board_view(text)


@pytest.mark.parametrize(
    "text",
    [
        "",
        " ",
        "not a fen",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR x KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR white KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR wb KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR  w KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR\tw KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w\tKQkq - 0 1",
        " " + START_FEN,
        "rnbqkbnr/pppppppp/9/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/0/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/x7/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/\u00e97/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnbqkbnr/pppppppp/\u26547/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        # No king, one king, two kings of a colour, adjacent kings.
        "8/8/8/8/8/8/8/8 w - - 0 1",
        "8/8/8/8/8/8/8/4K3 w - - 0 1",
        "4k3/8/8/8/8/8/8/K3K3 w - - 0 1",
        "8/8/8/8/8/8/3k4/4K3 w - - 0 1",
        "8/8/8/8/8/8/8/3kK3 b - - 0 1",
        "7k/6K1/8/8/8/8/8/8 w - - 0 1",
        # The side not to move stands in check.
        "4k3/8/8/8/8/8/8/r3K3 b - - 0 1",
        "4k3/8/8/8/8/8/3p4/4K3 b - - 0 1",
        "4k3/8/8/8/8/5n2/8/4K3 b - - 0 1",
        "4k2R/8/8/8/8/8/8/4K3 w - - 0 1",
        # A castling right without its king or rook at home.
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBN1 w KQkq - 0 1",
        "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/1NBQKBNR w KQkq - 0 1",
        "1nbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "rnbqkbn1/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
        "4k3/8/8/8/8/8/8/R2K3R w K - 0 1",
        "r2k3r/8/8/8/8/8/8/4K3 w q - 0 1",
        "4k3/8/8/8/8/8/8/4K2r w K - 0 1",
        "4k2R/8/8/8/8/8/8/4K3 b k - 0 1",
        # An en-passant pawn that is not there, or is of the wrong colour.
        "rnbqkbnr/ppp1pppp/8/8/3pp3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1",
        "4k3/8/8/8/3p4/8/8/4K3 b - e3 0 1",
    ],
)
def test_rejected_fen(text):
    with pytest.raises(ValueError) as info:
        SelfPlayGame(text)
    assert str(info.value) == BAD_FEN


# A double step that cannot have happened, because the square the pawn would have started from
# or passed over is occupied, leaves no en-passant information: the position is read as if the
# field were "-", even where no pawn stands on the en-passant square.
@pytest.mark.parametrize(
    "text",
    [
        "rnbqkbnr/ppp1pppp/8/8/3p4/8/PPPPPPPP/RNBQKBNR b KQkq e3 0 1",
        "rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq c3 0 1",
        "4k3/8/8/8/3p4/8/4P3/4K3 b - e3 0 1",
        "4k3/8/8/8/3p4/4P3/8/4K3 b - e3 0 1",
        "4k3/8/8/8/3pP3/4N3/8/4K3 b - e3 0 1",
        "4k3/3p4/8/4P3/8/8/8/4K3 w - d6 0 1",
        "4k3/3p4/8/3PP3/8/8/8/4K3 w - d6 0 1",
    ],
)
def test_impossible_double_step_drops_en_passant(text):
    fields = text.split(" ")
    without = " ".join(fields[:3] + ["-"] + fields[4:])
    game, plain = SelfPlayGame(text), SelfPlayGame(without)
    assert game.board == plain.board
    assert [m.uci() for m in game.legal_actions()] == [m.uci() for m in plain.legal_actions()]


# -- supplied history planes ---------------------------------------------------

REFERENCE = numbered_plane()
REFERENCE_FLAT = flatten(REFERENCE)


class ToList:
    def __init__(self, result):
        self.result = result

    def tolist(self):
        return self.result


@pytest.mark.parametrize(
    "entry",
    [
        REFERENCE,
        REFERENCE_FLAT,
        tuple(tuple(row) for row in REFERENCE),
        [tuple(row) for row in REFERENCE],
        tuple(REFERENCE_FLAT),
        [[int(v) for v in row] for row in REFERENCE],
        range(PLANE_LEN),
        array.array("f", REFERENCE_FLAT),
        numpy.array(REFERENCE, dtype=numpy.float32),
        numpy.array(REFERENCE, dtype=numpy.float64),
        numpy.array(REFERENCE, dtype=numpy.int64),
        numpy.array(REFERENCE_FLAT, dtype=numpy.float32),
        torch.tensor(REFERENCE),
        torch.tensor(REFERENCE_FLAT),
        torch.tensor(REFERENCE, dtype=torch.float64),
        ToList(REFERENCE),
        ToList(REFERENCE_FLAT),
        ToList(tuple(REFERENCE_FLAT)),
    ],
    ids=[
        "nested-list", "flat-list", "tuple-of-tuples", "list-of-tuples", "flat-tuple",
        "nested-ints", "range", "array", "numpy-64x13-f32", "numpy-64x13-f64",
        "numpy-64x13-int", "numpy-832", "torch-64x13", "torch-832", "torch-64x13-f64",
        "tolist-nested", "tolist-flat", "tolist-flat-tuple",
    ],
)
def test_history_entry_forms(entry):
    assert frames(SelfPlayGame(history_tensors=[entry])) == [REFERENCE] * 8


def planes_valued(*values):
    return [filled_plane(v) for v in values]


def frame_values(game):
    """The single value filling each frame (the frames are uniform here)."""
    result = []
    for frame in frames(game):
        values = {v for row in frame for v in row}
        assert len(values) == 1
        result.append(values.pop())
    return result


@pytest.mark.parametrize(
    "container",
    [
        list,
        tuple,
        lambda planes: (p for p in planes),
        lambda planes: iter(planes),
        lambda planes: numpy.array(planes, dtype=numpy.float32),
        lambda planes: torch.tensor(planes),
        lambda planes: [ToList(p) for p in planes],
    ],
    ids=["list", "tuple", "generator", "iterator", "numpy", "torch", "tolist-items"],
)
def test_history_containers(container):
    game = SelfPlayGame(history_tensors=container(planes_valued(1, 2, 3)))
    assert frame_values(game) == [1, 1, 1, 1, 1, 1, 2, 3]


@pytest.mark.parametrize(
    "count, expected",
    [
        (1, [0] * 8),
        (2, [0] * 7 + [1]),
        (7, [0, 0, 1, 2, 3, 4, 5, 6]),
        (8, [0, 1, 2, 3, 4, 5, 6, 7]),
        (9, [1, 2, 3, 4, 5, 6, 7, 8]),
        (10, [2, 3, 4, 5, 6, 7, 8, 9]),
        (25, list(range(17, 25))),
    ],
)
def test_history_keeps_the_last_eight_and_pads_with_the_oldest(count, expected):
    game = SelfPlayGame(history_tensors=planes_valued(*range(count)))
    assert frame_values(game) == expected


def test_supplied_planes_are_not_checked_against_the_position():
    game = SelfPlayGame(KIWIPETE, [filled_plane(-3.5)])
    assert frame_values(game) == [-3.5] * 8
    assert game.board == board_view(KIWIPETE)


@pytest.mark.parametrize("history", [None, [], (), iter([])])
def test_empty_history_records_the_position(history):
    game = SelfPlayGame(KIWIPETE, history)
    assert frames(game) == [expected_plane(KIWIPETE)] * 8


@pytest.mark.parametrize(
    "value, stored",
    [
        (0.1, float(numpy.float32(0.1))),
        (1 / 3, float(numpy.float32(1 / 3))),
        (True, 1.0),
        (7, 7.0),
        (fractions.Fraction(1, 4), 0.25),
        (numpy.float64(0.2), float(numpy.float32(0.2))),
        (float("inf"), float("inf")),
        (-1e-3, float(numpy.float32(-1e-3))),
    ],
)
def test_values_are_stored_as_float32(value, stored):
    plane = [[value] * 13 for _ in range(64)]
    game = SelfPlayGame(history_tensors=[plane])
    assert frame_values(game) == [stored] * 8


def nested(rows=64, cols=13, value=0.0):
    return [[value] * cols for _ in range(rows)]


def with_row(index, row):
    plane = nested()
    plane[index] = row
    return plane


class NoFloat:
    def __float__(self):
        raise ZeroDivisionError("no float")


class TolistAttribute:
    tolist = [0.0] * PLANE_LEN


class TolistProperty:
    @property
    def tolist(self):
        raise AttributeError("gone")


@pytest.mark.parametrize(
    "entry, message",
    [
        ("x" * PLANE_LEN, BAD_ENTRY),
        ({}, BAD_ENTRY),
        ({i: 0.0 for i in range(PLANE_LEN)}, BAD_ENTRY),
        (None, BAD_ENTRY),
        (5, BAD_ENTRY),
        (with_row(3, [None] * 13), BAD_ENTRY),
        (with_row(3, "abcdefghijklm"), BAD_ENTRY),
        ([0.0] * 831 + ["x"], BAD_ENTRY),
        (with_row(2, [0.0] * 12 + [NoFloat()]), BAD_ENTRY),
        ([0.0] * 831 + [NoFloat()], BAD_ENTRY),
        (TolistAttribute(), BAD_ENTRY),
        (TolistProperty(), BAD_ENTRY),
        (ToList(5), BAD_ENTRY),
        (ToList(None), BAD_ENTRY),
        (ToList("x" * PLANE_LEN), BAD_ENTRY),
        (ToList(with_row(0, [object()] * 13)), BAD_ENTRY),
        (nested(rows=63), BAD_ROWS),
        (nested(rows=65), BAD_ROWS),
        ([], BAD_ROWS),
        (nested(rows=63, cols=12), BAD_ROWS),
        (with_row(9, [0.0] * 12), BAD_COLS),
        (with_row(63, [0.0] * 14), BAD_COLS),
        (with_row(0, []), BAD_COLS),
        ([0.0] * 831, BAD_LEN),
        ([0.0] * 833, BAD_LEN),
        ([0.0], BAD_LEN),
        (numpy.zeros((64, 12)), BAD_COLS),
        (numpy.zeros((63, 13)), BAD_ROWS),
        (numpy.zeros(831), BAD_LEN),
        (torch.zeros(64, 14), BAD_COLS),
        (torch.zeros(833), BAD_LEN),
        (ToList(nested(rows=10)), BAD_ROWS),
        (ToList(with_row(5, [0.0] * 3)), BAD_COLS),
        (ToList([0.0] * 100), BAD_LEN),
    ],
)
def test_history_entry_errors(entry, message):
    with pytest.raises(ValueError) as info:
        SelfPlayGame(history_tensors=[entry])
    assert str(info.value) == message


def test_a_single_plane_is_not_a_list_of_planes():
    with pytest.raises(ValueError) as info:
        SelfPlayGame(history_tensors=REFERENCE)
    assert str(info.value) == BAD_LEN


@pytest.mark.parametrize(
    "entries, message",
    [
        ([REFERENCE, nested(rows=63), "bad"], BAD_ROWS),
        (["bad", nested(rows=63)], BAD_ENTRY),
        ([REFERENCE] * 9 + [[0.0] * 5], BAD_LEN),
        ([with_row(1, [0.0] * 2), [0.0] * 5], BAD_COLS),
    ],
)
def test_first_bad_entry_is_reported(entries, message):
    with pytest.raises(ValueError) as info:
        SelfPlayGame(history_tensors=entries)
    assert str(info.value) == message


def test_reading_stops_at_the_first_bad_entry():
    pulled = []

    def entries():
        for entry in (REFERENCE, [], REFERENCE):
            pulled.append(entry)
            yield entry

    with pytest.raises(ValueError, match=BAD_ROWS):
        SelfPlayGame(history_tensors=entries())
    assert len(pulled) == 2


@pytest.mark.parametrize("history", [5, 1.5, object()])
def test_history_must_be_iterable(history):
    with pytest.raises(TypeError):
        SelfPlayGame(history_tensors=history)


def test_errors_from_iteration_and_tolist_propagate():
    def entries():
        yield REFERENCE
        raise LookupError("from iteration")

    with pytest.raises(LookupError, match="from iteration"):
        SelfPlayGame(history_tensors=entries())

    class Broken:
        def tolist(self):
            raise ZeroDivisionError("from tolist")

    with pytest.raises(ZeroDivisionError, match="from tolist"):
        SelfPlayGame(history_tensors=[REFERENCE, Broken()])


@pytest.mark.parametrize(
    "board, message",
    [(5, BAD_BOARD), ("8/8/8/8/8/8/8/8 w - - 0 1", BAD_FEN), (FenAttribute(None), BAD_BOARD)],
)
def test_board_is_checked_before_history(board, message):
    looked_at = []

    def entries():
        looked_at.append(True)
        yield "bad"

    with pytest.raises(ValueError) as info:
        SelfPlayGame(board, entries())
    assert str(info.value) == message
    assert looked_at == []


def test_board_errors_win_over_uniterable_history():
    with pytest.raises(ValueError, match=BAD_FEN):
        SelfPlayGame("nonsense", 5)


# -- clone ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [(), (KIWIPETE,), (KIWIPETE, planes_valued(1, 2, 3)), ("4k3/8/8/8/8/8/8/4K3 b - - 0 1",)],
)
def test_clone_copies_position_and_history(args):
    original = SelfPlayGame(*args)
    copy = original.clone()
    assert type(copy) is SelfPlayGame
    assert copy is not original
    assert same_game(copy, original)
    expected = (original.board, original.encode().tolist())
    del original
    assert (copy.board, copy.encode().tolist()) == expected


def test_clone_of_a_clone():
    original = SelfPlayGame(KIWIPETE, planes_valued(*range(8)))
    assert frame_values(original.clone().clone()) == list(range(8))

