"""Every member and every failure path, called thousands of times: afterwards there are no more
live Python objects than before (objects the collector tracks, and the interpreter's allocated
blocks, which count untracked objects such as ints, floats and strings too), the arguments
handed in have the reference counts they had, those of True, False and None have not drifted,
and resident memory has not grown beyond noise.

Under AddressSanitizer (QUELLOR_ASAN set) resident memory is not compared: the sanitizer's
quarantine holds freed memory on purpose.
"""

import gc
import sys

import chess
import numpy
import pytest
import torch

from support.leaks import OBJECT_SLACK, RSS_SLACK, UNDER_ASAN, rss
from support.positions import START_FEN, filled_plane, flatten
from quellor import SelfPlayGame

CALLS = 4000
WARM_UP = 400
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
PROMOTING = "4k3/1P6/8/8/8/8/6p1/4K3 w - - 0 1"


def raises(error, message=None):
    """A call wrapper that requires `error` (with `message`, when given) and swallows it."""

    def run(call):
        try:
            call()
        except error as raised:
            if message is not None and str(raised) != message:
                raise AssertionError(f"{error.__name__}: {raised!r}, expected {message!r}") from None
        else:
            raise AssertionError(f"no {error.__name__} raised")

    return run


def returns(call):
    call()


# -- arguments -------------------------------------------------------------------------------------


class FenAttribute:
    fen = START_FEN


class FenRaises:
    def fen(self):
        raise KeyError("no fen")


class FenNotText:
    def fen(self):
        return 5


class UciRaises:
    def uci(self):
        raise KeyError("no uci")


class UciNotText:
    def uci(self):
        return 42


class UciAttribute:
    uci = "g1f3"


class ToListRaises:
    def tolist(self):
        raise OSError("no list")


class FenInterrupted:
    @property
    def fen(self):
        raise KeyboardInterrupt


class ToListOutOfMemory:
    @property
    def tolist(self):
        raise MemoryError


class FloatInterrupted:
    def __float__(self):
        raise KeyboardInterrupt


class UciOutOfMemory:
    @property
    def uci(self):
        raise MemoryError


def failing_iterable():
    yield filled_plane(0.0)
    raise OSError("broken iterable")


# -- the calls -------------------------------------------------------------------------------------
#
# Each case builds (the call, how its outcome is checked, the objects whose reference counts
# must not move). A case gets the game to call on and the monkeypatch fixture.


def construct(*args, **kwargs):
    def case(game, monkeypatch):
        return lambda: SelfPlayGame(*args, **kwargs), returns, list(args) + list(kwargs.values())

    return case


def construct_fails(error, message, *args, **kwargs):
    def case(game, monkeypatch):
        return lambda: SelfPlayGame(*args, **kwargs), raises(error, message), list(args) + list(kwargs.values())

    return case


def member(name, *args, check=returns, **kwargs):
    def case(game, monkeypatch):
        bound = getattr(game, name)
        return lambda: bound(*args, **kwargs), check, list(args) + list(kwargs.values())

    return case


def prop(name):
    def case(game, monkeypatch):
        return lambda: getattr(game, name), returns, []

    return case


def apply_cycle(moves):
    """Applies the moves in turn, round and round: the game goes back to where it was."""

    def case(game, monkeypatch):
        state = {"i": 0}
        actions = [chess.Move.from_uci(m) if i % 2 else m for i, m in enumerate(moves)]

        def call():
            game.apply(actions[state["i"] % len(actions)])
            state["i"] += 1

        return call, returns, actions

    return case


def without(module, name, error_message):
    def case(game, monkeypatch):
        monkeypatch.setitem(sys.modules, module, None)
        return lambda: getattr(game, name)(), raises(ValueError, error_message), []

    return case


def import_interrupted(module, name):
    def case(game, monkeypatch):
        class Interrupt:
            def find_spec(self, fullname, path=None, target=None):
                if fullname == module:
                    raise KeyboardInterrupt
                return None

        monkeypatch.delitem(sys.modules, module)
        monkeypatch.setattr(sys, "meta_path", [Interrupt(), *sys.meta_path])
        return getattr(game, name), raises(KeyboardInterrupt), []

    return case


def from_uci_raises(game, monkeypatch):
    def broken(text):
        raise OSError("from_uci failed")

    monkeypatch.setattr(chess.Move, "from_uci", staticmethod(broken))
    return game.legal_actions, raises(OSError), []


def tensor_raises(game, monkeypatch):
    def broken(*args, **kwargs):
        raise OSError("tensor failed")

    monkeypatch.setattr(torch, "tensor", broken)
    return game.encode, raises(OSError), []


def reentry_during_apply(game, monkeypatch):
    """An action whose uci() asks the game being changed: refused inside, the move is then
    played, and the next call plays it back."""

    class Asks:
        def __init__(self, text):
            self.text = text

        def uci(self):
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                game.is_terminal()
            return self.text

    actions = [Asks("g1f3"), Asks("g8f6"), Asks("f3g1"), Asks("f6g8")]
    state = {"i": 0}

    def call():
        game.apply(actions[state["i"] % 4])
        state["i"] += 1

    return call, returns, actions


def apply_during_listing(game, monkeypatch):
    """from_uci tries to change the game it lists: refused with "Already borrowed"."""
    real = chess.Move.from_uci

    def meddling(text):
        with pytest.raises(RuntimeError, match="Already borrowed"):
            game.apply(text)
        return real(text)

    monkeypatch.setattr(chess.Move, "from_uci", staticmethod(meddling))
    return game.legal_actions, returns, []


def unbound(name):
    def case(game, monkeypatch):
        method = getattr(SelfPlayGame, name)
        return lambda: method(5), raises(TypeError), []

    return case


def set_attribute(name):
    def case(game, monkeypatch):
        def call():
            setattr(game, name, False)

        return call, raises(AttributeError), []

    return case


NESTED = filled_plane(0.5)
TEN_PLANES = [filled_plane(float(i)) for i in range(10)]
FLAT = flatten(filled_plane(1.0))
SHORT_ROWS = NESTED[:63]
BAD_ROW = NESTED[:9] + [[0.0] * 12] + NESTED[10:]

CASES = {
    # Construction.
    "new: start position": construct(),
    "new: FEN text": construct(KIWIPETE),
    "new: python-chess Board": construct(chess.Board(KIWIPETE)),
    "new: fen attribute": construct(FenAttribute()),
    "new: ten nested planes": construct(history_tensors=TEN_PLANES),
    "new: flat plane": construct(None, [FLAT]),
    "new: tuple plane": construct(history_tensors=(tuple(tuple(r) for r in NESTED),)),
    "new: torch plane": construct(history_tensors=[torch.zeros(64, 13)]),
    "new: numpy plane": construct(history_tensors=[numpy.ones(832, dtype=numpy.float32)]),
    "new: generator of planes": lambda game, mp: (lambda: SelfPlayGame(history_tensors=(p for p in TEN_PLANES)), returns, TEN_PLANES),
    "new fails: invalid FEN": construct_fails(ValueError, "Invalid FEN string", "8/8/8/8/8/8/8/8 w - - 0 1"),
    "new fails: FEN syntax": construct_fails(ValueError, "Invalid FEN string", "not a fen"),
    "new fails: integer board": construct_fails(ValueError, "board must be a python-chess Board or FEN string", 5),
    "new fails: bytes board": construct_fails(ValueError, "board must be a python-chess Board or FEN string", START_FEN.encode()),
    "new fails: fen() raises": construct_fails(KeyError, None, FenRaises()),
    "new fails: fen() not text": construct_fails(TypeError, None, FenNotText()),
    "new fails: 63 rows": construct_fails(ValueError, "history_tensors entries must have 64 rows", history_tensors=[SHORT_ROWS]),
    "new fails: short row": construct_fails(ValueError, "history_tensors entries must have 13 columns", history_tensors=[BAD_ROW]),
    "new fails: 831 values": construct_fails(ValueError, "history_tensors entries must have length 832", history_tensors=[FLAT[:-1]]),
    "new fails: text entry": construct_fails(ValueError, "history_tensors entries must be 64x13 tensors or lists", history_tensors=["plane"]),
    "new fails: None in rows": construct_fails(ValueError, "history_tensors entries must be 64x13 tensors or lists", history_tensors=[[[None] * 13] * 64]),
    "new fails: tolist() raises": construct_fails(OSError, None, history_tensors=[ToListRaises()]),
    "new fails: fen read interrupted": construct_fails(KeyboardInterrupt, None, FenInterrupted()),
    "new fails: tolist read out of memory": construct_fails(MemoryError, None, history_tensors=[ToListOutOfMemory()]),
    "new fails: number interrupted": construct_fails(KeyboardInterrupt, None, history_tensors=[[0.0] * 831 + [FloatInterrupted()]]),
    "new fails: not iterable": construct_fails(TypeError, None, history_tensors=5),
    "new fails: iteration raises": lambda game, mp: (lambda: SelfPlayGame(history_tensors=failing_iterable()), raises(OSError), []),
    "new fails: bad board and history": construct_fails(ValueError, "Invalid FEN string", "x", history_tensors=[SHORT_ROWS]),
    "new fails: three arguments": construct_fails(TypeError, None, None, None, None),
    "new fails: unknown keyword": construct_fails(TypeError, None, fen=START_FEN),
    "new fails: argument twice": construct_fails(TypeError, None, None, board=None),
    # Queries.
    "turn": prop("turn"),
    "board": prop("board"),
    "castle_eligible": member("castle_eligible"),
    "clone": member("clone"),
    "current_player": member("current_player"),
    "legal_actions": member("legal_actions"),
    "legal_actions with promotions": lambda game, mp: (SelfPlayGame(PROMOTING).legal_actions, returns, []),
    "is_terminal": member("is_terminal"),
    "terminal_value": member("terminal_value", True),
    "terminal_value by keyword": member("terminal_value", player_is_white=False),
    "terminal_value of a NumPy bool": member("terminal_value", numpy.True_),
    "encode": member("encode"),
    "action_index of text": member("action_index", "e2e4"),
    "action_index of a Move": member("action_index", chess.Move.from_uci("b7b8q")),
    "action_index of a uci attribute": member("action_index", UciAttribute()),
    # Playing.
    "apply: knights out and back": apply_cycle(["g1f3", "g8f6", "f3g1", "f6g8"]),
    "apply: re-entry from uci()": reentry_during_apply,
    # Failures of the methods.
    "apply fails: malformed text": member("apply", "e2e4x", check=raises(ValueError, "Invalid UCI move")),
    "apply fails: empty square": member("apply", "e3e4", check=raises(RuntimeError, "Cannot play e3e4: no piece on e3")),
    "apply fails: own piece on target": member("apply", "a1a2", check=raises(RuntimeError)),
    "apply fails: integer": member("apply", 5, check=raises(ValueError, "action must be a python-chess Move or UCI string")),
    "apply fails: uci() raises": member("apply", UciRaises(), check=raises(KeyError)),
    "apply fails: uci read out of memory": member("apply", UciOutOfMemory(), check=raises(MemoryError)),
    "apply fails: uci() not text": member("apply", UciNotText(), check=raises(TypeError)),
    "apply fails: no argument": member("apply", check=raises(TypeError)),
    "apply fails: unknown keyword": member("apply", move="e2e4", check=raises(TypeError)),
    "apply fails: during listing": apply_during_listing,
    "action_index fails: malformed text": member("action_index", "e7e8Q", check=raises(ValueError, "Invalid UCI move")),
    "action_index fails: bytes": member("action_index", b"e2e4", check=raises(ValueError)),
    "terminal_value fails: integer": member("terminal_value", 1, check=raises(TypeError)),
    "terminal_value fails: no argument": member("terminal_value", check=raises(TypeError)),
    "legal_actions fails: from_uci raises": from_uci_raises,
    "legal_actions fails: no python-chess": without("chess", "legal_actions", "python-chess is required for legal_actions()"),
    "encode fails: tensor raises": tensor_raises,
    "encode fails: no torch": without("torch", "encode", "torch is required for encode()"),
    "legal_actions fails: import interrupted": import_interrupted("chess", "legal_actions"),
    "encode fails: import interrupted": import_interrupted("torch", "encode"),
    "clone fails: an argument": lambda game, mp: (lambda: game.clone(1), raises(TypeError), []),
    "unbound clone": unbound("clone"),
    "unbound legal_actions": unbound("legal_actions"),
    "set turn": set_attribute("turn"),
    "set an unknown attribute": set_attribute("colour"),
}


def measure(watched):
    """Collector-tracked objects, allocated blocks, reference counts of the watched objects and
    of the singletons that results are made of, and resident memory."""
    gc.collect()
    counts = [sys.getrefcount(w) for w in watched]
    singletons = [sys.getrefcount(s) for s in (True, False, None)]
    return len(gc.get_objects()), sys.getallocatedblocks(), counts, singletons, rss()


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leak_nothing(name, monkeypatch):
    game = SelfPlayGame()
    call, check, watched = CASES[name](game, monkeypatch)
    for _ in range(WARM_UP):
        check(call)
    objects, blocks, counts, singletons, memory = measure(watched)
    for _ in range(CALLS):
        check(call)
    objects_after, blocks_after, counts_after, singletons_after, memory_after = measure(watched)

    assert objects_after - objects <= OBJECT_SLACK, f"objects tracked by the collector: {objects} then {objects_after}"
    assert blocks_after - blocks <= OBJECT_SLACK, f"allocated blocks: {blocks} then {blocks_after}"
    assert counts_after == counts, f"reference counts of the arguments: {counts} then {counts_after}"
    # A reference lost or kept per call moves these by thousands; elsewhere the interpreter
    # may hold one or two more for a moment.
    assert all(abs(a - b) <= OBJECT_SLACK for a, b in zip(singletons, singletons_after)), (
        f"reference counts of True, False and None: {singletons} then {singletons_after}")
    if not UNDER_ASAN:
        assert memory_after - memory <= RSS_SLACK, f"resident memory grew by {memory_after - memory} bytes"
