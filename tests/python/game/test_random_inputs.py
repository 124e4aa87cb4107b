"""Whatever a trainer's code hands the module: random text, bytes, numbers, nested sequences and
objects with fen, uci and tolist attributes of every shape, thrown at the constructor, apply(),
action_index() and terminal_value(). Each call must end as the pure-Python model of the game
(oracle.py) says: the same result, or the same documented exception (ValueError with its fixed
message, TypeError, RuntimeError for a refused move, or the exception the caller's own object
raised), and a failed call leaves the game as it was.

QUELLOR_HYPOTHESIS_PROFILE=fuzz runs many more examples with fresh random seeds (make fuzz);
the default is a fixed, bounded set.
"""

import math
import os
import struct

import chess
import numpy
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from support import oracle
from quellor import SelfPlayGame

settings.register_profile(
    "default",
    max_examples=250,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "fuzz",
    max_examples=5000,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("QUELLOR_HYPOTHESIS_PROFILE", "default"))

STARTS = [
    oracle.START_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/2pPp3/8/8/8/R3K2R w KQkq c6 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "4k3/8/8/8/8/8/8/3RK3 b - - 0 1",
]


class CallerError(Exception):
    """Raised by the caller's own objects; must come back out unchanged."""


# -- values of every kind ---------------------------------------------------------------------

texts = st.one_of(
    st.text(max_size=12),
    st.text(alphabet="abcdefghi0123456789qrbnkQ=- \u00e9", max_size=8),
    st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF) | st.sampled_from("e24"), max_size=5),
)
numbers = st.one_of(
    st.integers(),
    st.integers(min_value=-(10**400), max_value=10**400),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.just(numpy.float32(0.5)),
    st.just(numpy.int64(3)),
    st.just(numpy.True_),
)
scalars = st.one_of(texts, numbers, st.binary(max_size=12), st.none())
nested = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner) | st.dictionaries(texts, inner, max_size=2), max_leaves=12)


def made(result):
    """A value, or a callable that returns it or raises the caller's error."""
    return st.one_of(
        result,
        result.map(lambda value: lambda: value),
        st.just(lambda: (_ for _ in ()).throw(CallerError("from the caller"))),
    )


def carrier(name, value):
    """An object whose attribute `name` is `value` (a plain value or a method)."""

    class Carrier:
        def __repr__(self):
            return f"<{name}={value!r}>"

    carrier_object = Carrier()
    if callable(value):
        setattr(Carrier, name, lambda self: value())
    else:
        setattr(Carrier, name, value)
    return carrier_object


def attribute_raises(name):
    """An object whose attribute `name` cannot be read: the module must treat it as missing."""

    class Raises:
        def __getattr__(self, attribute):
            if attribute == name:
                raise CallerError(f"no {attribute}")
            raise AttributeError(attribute)

    return Raises()


# -- FEN text ------------------------------------------------------------------------------------

fen_fields = st.tuples(
    st.text(alphabet="PNBRQKpnbrqk12345678/09x", max_size=40),
    st.sampled_from(["w", "b", "W", "B", "", "x", "wb"]),
    st.text(alphabet="KQkq-x", max_size=5),
    st.sampled_from(["-", "e3", "d6", "c6", "a3", "h6", "x", "e"]),
).map(" ".join)


@st.composite
def mutated_fens(draw):
    """A good FEN with a few characters changed, dropped or doubled."""
    text = list(draw(st.sampled_from(STARTS)))
    for _ in range(draw(st.integers(0, 3))):
        i = draw(st.integers(0, len(text) - 1))
        op = draw(st.sampled_from(["replace", "drop", "double"]))
        if op == "replace":
            text[i] = draw(st.sampled_from("PNBRQKpnbrqk12345678/ wbKQkq-e3x"))
        elif op == "drop":
            del text[i]
        else:
            text.insert(i, text[i])
    return "".join(text)


fens = st.one_of(st.sampled_from(STARTS), fen_fields, mutated_fens())
boards = st.one_of(
    fens,
    nested,
    st.builds(chess.Board, st.sampled_from(STARTS)),
    made(fens | numbers | st.none()).map(lambda v: carrier("fen", v)),
    st.just(attribute_raises("fen")),
)

# -- history planes -------------------------------------------------------------------------------

cells = st.one_of(st.floats(width=32, allow_nan=False), st.sampled_from([0.0, 1.0, 0, 1, True, numpy.float32(1.0)]))


@st.composite
def planes(draw):
    """A plane in one of the accepted forms, sometimes bent out of shape."""
    rows, columns = 64, 13
    bend = draw(st.sampled_from(["none", "none", "rows", "columns", "cell", "length"]))
    if bend == "rows":
        rows = draw(st.sampled_from([0, 1, 63, 65]))
    value = draw(cells)
    grid = [[value] * columns for _ in range(rows)]
    if bend == "columns" and grid:
        grid[draw(st.integers(0, rows - 1))] = [value] * draw(st.sampled_from([0, 12, 14]))
    if bend == "cell" and grid:
        grid[draw(st.integers(0, rows - 1))][0] = draw(scalars)
    form = draw(st.sampled_from(["nested", "tuples", "flat", "tolist", "tensor", "numpy"]))
    if form == "tuples":
        return tuple(tuple(row) for row in grid)
    if form == "flat" or bend == "length":
        flat = [v for row in grid for v in row]
        if bend == "length":
            flat = (flat + [value])[: draw(st.sampled_from([0, 831, 833]))]
        return flat
    if form == "tolist":
        return carrier("tolist", draw(made(st.just(grid) | nested)))
    if form in ("tensor", "numpy") and bend in ("none", "rows", "length"):
        array = numpy.full((rows, columns), float(value), dtype=numpy.float32)
        if form == "tensor":
            import torch

            return torch.from_numpy(array)
        return array
    return grid


histories = st.one_of(
    st.none(),
    st.lists(planes(), max_size=10),
    st.lists(planes() | scalars, max_size=3),
    scalars,
    st.just([carrier("tolist", 5)]),
)

# -- actions ------------------------------------------------------------------------------------

# Moves that some of STARTS can play: pushes, castling, en passant, promotions, king captures.
PLAYABLE = ["e2e4", "g1f3", "e1g1", "e1c1", "e8g8", "e8c8", "d5c6", "d5e6", "b7a8q", "b7c8n", "c7c8r",
            "f2e1q", "g2h1b", "d7d8", "d1d8", "e8d8", "e2a6", "f3f7", "h1h8"]
uci_texts = st.one_of(
    st.sampled_from(PLAYABLE),
    texts,
    st.builds(
        lambda a, b, c, d, tail: a + b + c + d + tail,
        st.sampled_from("abcdefghi"),
        st.sampled_from("123456789"),
        st.sampled_from("abcdefghi"),
        st.sampled_from("123456789"),
        st.sampled_from(["", "", "q", "r", "b", "n", "k", "Q", "xy", "\u00e9"]),
    ),
)
actions = st.one_of(
    uci_texts,
    nested,
    st.builds(chess.Move.from_uci, st.sampled_from(["e2e4", "g1f3", "b7b8q", "e1g1", "a1a2", "h7h8n"])),
    made(uci_texts | numbers | st.none()).map(lambda v: carrier("uci", v)),
    st.just(attribute_raises("uci")),
)
player_flags = st.one_of(st.booleans(), st.just(numpy.True_), st.just(numpy.False_), nested, st.builds(object))


# -- comparing outcomes ---------------------------------------------------------------------------

DOCUMENTED = (ValueError, TypeError, RuntimeError, CallerError)


def outcome(call):
    """("ok", value) or (exception type, message); anything undocumented fails the test."""
    try:
        return "ok", call()
    except DOCUMENTED as error:
        return type(error), str(error)


def same_outcome(ours, theirs):
    event("ok" if ours[0] == "ok" else f"{ours[0].__name__}: {ours[1][:40]}")
    if ours[0] != theirs[0]:
        return False
    if ours[0] is ValueError or ours[0] is RuntimeError:
        return ours[1] == theirs[1]
    return True


def float_bits(rows):
    """Rows of floats as their bit patterns, so that NaN equals NaN."""
    return [[struct.pack("f", v) for v in row] for row in rows]


def state(game):
    return (
        game.board,
        game.turn,
        game.castle_eligible(),
        game.is_terminal(),
        [m if isinstance(m, str) else m.uci() for m in game.legal_actions()],
        float_bits(game.encode().tolist()),
    )


def model_state(model):
    return (model.board, model.turn, model.castle_eligible(), model.is_terminal(), model.legal_actions(),
            float_bits(model.encode()))


def game_after(start, moves):
    game, model = SelfPlayGame(start), oracle.Game(start)
    for move in moves:
        if outcome(lambda: model.apply(move))[0] == "ok":
            game.apply(move)
    return game, model


# -- properties -----------------------------------------------------------------------------------


def construct(board, history):
    ours = outcome(lambda: SelfPlayGame(board, history))
    theirs = outcome(lambda: oracle.Game(board, history))
    assert same_outcome(ours, theirs), (ours, theirs)
    if ours[0] == "ok":
        assert state(ours[1]) == model_state(theirs[1])


@given(board=boards | st.none(), history=st.none() | histories)
def test_construction_from_any_board_matches_the_model(board, history):
    construct(board, history)


@given(board=st.none() | st.sampled_from(STARTS), history=histories)
def test_construction_from_any_history_matches_the_model(board, history):
    construct(board, history)


@given(start=st.sampled_from(STARTS), moves=st.lists(uci_texts, max_size=4), action=actions)
def test_apply_matches_the_model_and_fails_cleanly(start, moves, action):
    game, model = game_after(start, moves)
    before = state(game)
    ours = outcome(lambda: game.apply(action))
    theirs = outcome(lambda: model.apply(action))
    assert same_outcome(ours, theirs), (ours, theirs)
    if ours[0] == "ok":
        assert state(game) == model_state(model)
    else:
        assert state(game) == before


@given(start=st.sampled_from(STARTS), moves=st.lists(uci_texts, max_size=4), action=actions)
def test_action_index_matches_the_model(start, moves, action):
    game, model = game_after(start, moves)
    before = state(game)
    ours = outcome(lambda: game.action_index(action))
    theirs = outcome(lambda: model.action_index(action))
    assert same_outcome(ours, theirs), (ours, theirs)
    if ours[0] == "ok":
        assert type(ours[1]) is int and ours[1] == theirs[1] and 0 <= ours[1] < 4352
    assert state(game) == before


@given(start=st.sampled_from(STARTS), moves=st.lists(uci_texts, max_size=6), flag=player_flags)
def test_terminal_value_matches_the_model(start, moves, flag):
    game, model = game_after(start, moves)
    ours = outcome(lambda: game.terminal_value(flag))
    theirs = outcome(lambda: model.terminal_value(flag))
    assert same_outcome(ours, theirs), (ours, theirs)
    if ours[0] == "ok":
        assert type(ours[1]) is float and ours[1] in (-1.0, 0.0, 1.0) and not math.isnan(ours[1])
