"""The module and class as Python sees them: names, signatures, binding, borrows, imports."""

import copy
import gc
import json
import pickle
import subprocess
import sys
import textwrap
import weakref

import numpy
import pytest
import torch

import quellor
from support.positions import START_FEN, expected_plane, newest_frame, numbered_plane
from quellor import SelfPlayGame

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"

NO_ARG_METHODS = [
    "castle_eligible",
    "clone",
    "current_player",
    "legal_actions",
    "is_terminal",
    "encode",
]
ONE_ARG_METHODS = {"apply": "action", "action_index": "action", "terminal_value": "player_is_white"}
PROPERTIES = ["turn", "board"]


# -- module and class ---------------------------------------------------------


def test_module_exports_the_class_only():
    assert type(quellor.__all__) is list
    assert quellor.__all__ == ["SelfPlayGame"]
    assert quellor.SelfPlayGame is SelfPlayGame
    assert [n for n in vars(quellor) if not n.startswith("__")] == ["SelfPlayGame"]


def test_class_names():
    assert SelfPlayGame.__name__ == "SelfPlayGame"
    assert SelfPlayGame.__qualname__ == "SelfPlayGame"
    assert SelfPlayGame.__module__ == "builtins"
    assert SelfPlayGame.__bases__ == (object,)


@pytest.mark.parametrize(
    "obj, signature",
    [
        (SelfPlayGame, "(board=None, history_tensors=None)"),
        (SelfPlayGame.castle_eligible, "($self)"),
        (SelfPlayGame.clone, "($self)"),
        (SelfPlayGame.current_player, "($self)"),
        (SelfPlayGame.legal_actions, "($self)"),
        (SelfPlayGame.apply, "($self, action)"),
        (SelfPlayGame.is_terminal, "($self)"),
        (SelfPlayGame.terminal_value, "($self, player_is_white)"),
        (SelfPlayGame.encode, "($self)"),
        (SelfPlayGame.action_index, "($self, action)"),
    ],
)
def test_text_signatures_and_empty_docs(obj, signature):
    assert obj.__text_signature__ == signature
    assert not obj.__doc__


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only_and_undocumented(game, name):
    assert not getattr(SelfPlayGame, name).__doc__
    before = getattr(game, name)
    with pytest.raises(AttributeError):
        setattr(game, name, before)
    with pytest.raises(AttributeError):
        delattr(game, name)
    assert getattr(game, name) == before


def test_member_set():
    public = {n for n in vars(SelfPlayGame) if not n.startswith("_")}
    assert public == set(NO_ARG_METHODS) | set(ONE_ARG_METHODS) | set(PROPERTIES)


def test_instances_have_no_dict(game):
    assert not hasattr(game, "__dict__")
    with pytest.raises(AttributeError):
        game.extra = 1
    with pytest.raises(AttributeError):
        game.castle_eligible = None


def test_no_weak_references(game):
    with pytest.raises(TypeError):
        weakref.ref(game)


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (SelfPlayGame,), {})


def test_instances_are_not_gc_tracked(game):
    assert not gc.is_tracked(game)


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy, pickle.dumps])
def test_no_copy_or_pickle_hooks(game, copier):
    with pytest.raises(TypeError):
        copier(game)


# -- argument binding ---------------------------------------------------------


def new(*args, **kwargs):
    return SelfPlayGame(*args, **kwargs)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda g: new(None, None, None), ["SelfPlayGame.__new__()", "3 given"]),
        (lambda g: new(None, board=None), ["SelfPlayGame.__new__()", "'board'"]),
        (lambda g: new(None, None, history_tensors=None), ["SelfPlayGame.__new__()", "'history_tensors'"]),
        (lambda g: new(fen=START_FEN), ["SelfPlayGame.__new__()", "'fen'"]),
        (lambda g: g.action_index(), ["SelfPlayGame.action_index()", "'action'"]),
        (lambda g: g.action_index("e2e4", "e2e4"), ["SelfPlayGame.action_index()", "2 given"]),
        (lambda g: g.action_index("e2e4", action="e2e4"), ["SelfPlayGame.action_index()", "'action'"]),
        (lambda g: g.action_index(move="e2e4"), ["SelfPlayGame.action_index()", "'move'"]),
        (lambda g: g.terminal_value(), ["SelfPlayGame.terminal_value()", "'player_is_white'"]),
        (lambda g: g.terminal_value(True, True), ["SelfPlayGame.terminal_value()", "2 given"]),
        (lambda g: g.terminal_value(True, player_is_white=True), ["SelfPlayGame.terminal_value()", "'player_is_white'"]),
        (lambda g: g.terminal_value(white=True), ["SelfPlayGame.terminal_value()", "'white'"]),
        (lambda g: g.apply(), ["SelfPlayGame.apply()", "'action'"]),
        (lambda g: g.apply("e2e4", "e2e4"), ["SelfPlayGame.apply()", "2 given"]),
        (lambda g: g.apply("e2e4", action="e2e4"), ["SelfPlayGame.apply()", "'action'"]),
        (lambda g: g.apply(move="e2e4"), ["SelfPlayGame.apply()", "'move'"]),
    ],
    ids=[
        "new-too-many", "new-board-twice", "new-history-twice", "new-unexpected",
        "index-missing", "index-too-many", "index-twice", "index-unexpected",
        "value-missing", "value-too-many", "value-twice", "value-unexpected",
        "apply-missing", "apply-too-many", "apply-twice", "apply-unexpected",
    ],
)
def test_binding_errors(game, call, words):
    before = (game.board, game.encode().tolist())
    with pytest.raises(TypeError) as info:
        call(game)
    for word in words:
        assert word in str(info.value)
    assert (game.board, game.encode().tolist()) == before


def test_keywords_in_any_order():
    planes = [numbered_plane()]
    a = SelfPlayGame(history_tensors=planes, board=KIWIPETE)
    b = SelfPlayGame(KIWIPETE, planes)
    c = SelfPlayGame(board=KIWIPETE, history_tensors=planes)
    assert a.board == b.board == c.board
    assert a.encode().equal(b.encode()) and b.encode().equal(c.encode())


def test_none_arguments_mean_absent():
    for g in (SelfPlayGame(None, None), SelfPlayGame(board=None, history_tensors=None),
              SelfPlayGame(history_tensors=[], board=None)):
        assert g.board == SelfPlayGame().board
        assert newest_frame(g) == expected_plane(START_FEN)


def test_one_argument_methods_take_keywords(game):
    assert game.action_index(action="e2e4") == game.action_index("e2e4") == 796
    assert game.terminal_value(player_is_white=False) == 0.0


@pytest.mark.parametrize("name", NO_ARG_METHODS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_no_argument_methods_refuse_arguments(game, name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(game, name)(*args, **kwargs)


@pytest.mark.parametrize("name", NO_ARG_METHODS + list(ONE_ARG_METHODS))
def test_unbound_call_checks_the_receiver(name):
    args = [] if name in NO_ARG_METHODS else [True if name == "terminal_value" else "e2e4"]
    with pytest.raises(TypeError):
        getattr(SelfPlayGame, name)(5, *args)


@pytest.mark.parametrize("name", PROPERTIES)
def test_property_getter_checks_the_receiver(name):
    with pytest.raises(TypeError):
        getattr(SelfPlayGame, name).__get__(5, int)


# -- terminal_value's bool conversion ----------------------------------------


@pytest.mark.parametrize("flag", [True, False, numpy.True_, numpy.False_, numpy.bool_(1)])
def test_terminal_value_accepts_bools(game, flag):
    value = game.terminal_value(flag)
    assert type(value) is float and value == 0.0


@pytest.mark.parametrize(
    "flag", [0, 1, None, 1.0, 0.0, "True", numpy.int64(1), numpy.float64(1.0), [True]]
)
def test_terminal_value_refuses_non_bools(game, flag):
    with pytest.raises(TypeError, match="player_is_white"):
        game.terminal_value(flag)
    with pytest.raises(TypeError, match="player_is_white"):
        game.terminal_value(player_is_white=flag)


# -- re-entry while a call runs Python code -----------------------------------


def test_fen_callback_may_use_other_games_and_the_module():
    other = SelfPlayGame(KIWIPETE)
    seen = {}

    class Inner:
        def fen(self):
            return "4k3/8/8/8/8/8/8/4K3 b - - 0 1"

    class Source:
        def fen(self):
            seen["board"] = other.board
            seen["index"] = other.action_index("e1g1")
            seen["clone"] = other.clone().board
            seen["inner"] = quellor.SelfPlayGame(Inner()).turn
            return START_FEN

    made = SelfPlayGame(Source())
    assert made.board == SelfPlayGame().board
    assert seen == {
        "board": SelfPlayGame(KIWIPETE).board,
        "index": 4 * 64 + 6,
        "clone": SelfPlayGame(KIWIPETE).board,
        "inner": False,
    }


def test_tolist_callback_may_use_other_games():
    other = SelfPlayGame(KIWIPETE)

    class Plane:
        def tolist(self):
            inner = SelfPlayGame(history_tensors=[numbered_plane()])
            assert newest_frame(inner) == numbered_plane()
            return newest_frame(other)

    made = SelfPlayGame(history_tensors=[Plane()])
    assert newest_frame(made) == expected_plane(KIWIPETE)


def test_uci_callback_inside_action_index_may_query_the_same_game(game):
    seen = []

    class Nested:
        def uci(self):
            seen.append(game.castle_eligible())
            return "g1f3"

    class Move:
        def uci(self):
            seen.append(game.turn)
            seen.append(game.current_player())
            seen.append(game.board == SelfPlayGame().board)
            seen.append(game.is_terminal())
            seen.append(game.terminal_value(True))
            seen.append(game.clone().turn)
            seen.append(tuple(game.encode().shape))
            seen.append(game.action_index(Nested()))
            return "e2e4"

    assert game.action_index(Move()) == 796
    assert seen == [True, True, True, False, 0.0, True, (64, 106), (True, True), 405]


def test_uci_callback_error_propagates_and_game_stays_usable(game):
    class Broken:
        def uci(self):
            game.board
            raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        game.action_index(Broken())
    assert game.action_index("e2e4") == 796
    assert game.board == SelfPlayGame().board


def test_encode_hands_torch_plain_nested_floats(monkeypatch, game):
    real = torch.tensor
    calls = []

    def tensor(*args, **kwargs):
        calls.append((args, kwargs, game.board == SelfPlayGame().board, game.action_index("e2e4")))
        return real(*args, **kwargs)

    monkeypatch.setattr(torch, "tensor", tensor)
    result = game.encode()
    assert result.shape == (64, 106)
    [(args, kwargs, board_ok, index)] = calls
    assert (board_ok, index) == (True, 796)
    assert kwargs == {"dtype": torch.float32}
    [data] = args
    assert type(data) is list and len(data) == 64
    assert all(type(row) is list and len(row) == 106 for row in data)
    assert all(type(v) is float for row in data for v in row)


def test_encode_passes_torch_errors_and_results_through(monkeypatch, game):
    sentinel = object()
    monkeypatch.setattr(torch, "tensor", lambda *a, **k: sentinel)
    assert game.encode() is sentinel

    def broken(*a, **k):
        raise OverflowError("from torch")

    monkeypatch.setattr(torch, "tensor", broken)
    with pytest.raises(OverflowError, match="from torch"):
        game.encode()


# -- outside libraries --------------------------------------------------------

USE_EVERY_OTHER_MEMBER = """
import json, sys
import quellor

def outcome(call):
    try:
        return ["ok", call()]
    except Exception as exc:
        return [type(exc).__name__, str(exc)]

g = quellor.SelfPlayGame()
k = quellor.SelfPlayGame("4k3/8/8/8/8/8/8/4K3 b - - 0 1", [[[0.5] * 13] * 64])
result = {
    "turn": outcome(lambda: k.turn),
    "board": outcome(lambda: g.board[7]),
    "castle_eligible": outcome(lambda: list(g.castle_eligible())),
    "clone": outcome(lambda: g.clone().turn),
    "current_player": outcome(lambda: k.current_player()),
    "is_terminal": outcome(lambda: g.is_terminal()),
    "terminal_value": outcome(lambda: g.terminal_value(True)),
    "action_index": outcome(lambda: k.action_index("e7e5")),
    "legal_actions": outcome(lambda: g.legal_actions()),
    "encode": outcome(lambda: g.encode()),
    "encode_again": outcome(lambda: k.encode()),
    "loaded": sorted(m for m in ("chess", "torch") if sys.modules.get(m) is not None),
}
print(json.dumps(result))
"""

BLOCKERS = {
    "meta-path": """
import sys
class _Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("chess", "torch"):
            raise ImportError("blocked: " + name)
        return None
sys.meta_path.insert(0, _Refuse())
""",
    "none-in-modules": """
import sys
sys.modules["chess"] = None
sys.modules["torch"] = None
""",
}


def run_python(code):
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_import_loads_neither_chess_nor_torch():
    out = run_python(
        """
        import sys
        import quellor
        g = quellor.SelfPlayGame("4k3/8/8/8/8/8/8/4K3 w - - 0 1", [[0.0] * 832])
        g.clone(); g.board; g.turn; g.castle_eligible(); g.is_terminal()
        g.terminal_value(False); g.action_index("e1e2"); g.current_player()
        print(sorted(m for m in ("chess", "torch") if m in sys.modules))
        """
    )
    assert out.strip() == "[]"


@pytest.mark.parametrize("blocker", sorted(BLOCKERS))
def test_members_without_chess_and_torch(blocker):
    result = json.loads(run_python(BLOCKERS[blocker] + USE_EVERY_OTHER_MEMBER))
    assert result == {
        "turn": ["ok", False],
        "board": ["ok", [4, 2, 3, 5, 6, 3, 2, 4]],
        "castle_eligible": ["ok", [True, True]],
        "clone": ["ok", True],
        "current_player": ["ok", False],
        "is_terminal": ["ok", False],
        "terminal_value": ["ok", 0.0],
        "action_index": ["ok", 796],
        "legal_actions": ["ValueError", "python-chess is required for legal_actions()"],
        "encode": ["ValueError", "torch is required for encode()"],
        "encode_again": ["ValueError", "torch is required for encode()"],
        "loaded": [],
    }
