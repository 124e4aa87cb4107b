"""Where the module answers a failed attribute read, number conversion or import with its own
error, an interrupt, an exit or MemoryError raised there passes through unchanged; any other
exception still gets the module's answer, and a failed import keeps its error as the cause."""

import importlib.abc
import importlib.util
import sys

import pytest

from quellor import SelfPlayGame

BOARD = "board must be a python-chess Board or FEN string"
ACTION = "action must be a python-chess Move or UCI string"
BAD_ENTRY = "history_tensors entries must be 64x13 tensors or lists"

# Neither says anything about the object being read: they must reach the caller as raised.
PASSED_ON = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]
# What a broken attribute or library ordinarily raises: the module's own answer replaces it.
ORDINARY = [AttributeError, RuntimeError, ImportError, OSError]


def raiser(error):
    def fail(*_args):
        raise error

    return fail


def raising_attribute(name, error):
    """An object whose attribute `name` raises `error` when read."""
    return type("Broken", (), {name: property(raiser(error))})()


def raising_float(error):
    return type("BrokenNumber", (), {"__float__": raiser(error)})()


def raising_sequence(error):
    """Passes the sequence check; listing its items raises `error`."""
    return type("BrokenSequence", (), {"__getitem__": raiser(error), "__len__": lambda self: 832})()


def raising_module_name(error):
    """An object whose type's __module__ raises `error` when read."""
    meta = type("BrokenMeta", (type,), {"__module__": property(raiser(error))})
    return meta("Flag", (), {})()


class FailingImport(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Finds module `name` and raises `error` while executing it, as a broken install does."""

    def __init__(self, name, error):
        self.name, self.error = name, error

    def find_spec(self, fullname, path=None, target=None):
        return importlib.util.spec_from_loader(fullname, self) if fullname == self.name else None

    def exec_module(self, module):
        raise self.error


def failing_import(monkeypatch, name, error):
    monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(sys, "meta_path", [FailingImport(name, error), *sys.meta_path])


# Each entry: (how to make the call fail with a given error, the module's own answer to an ordinary
# one, and whether that answer keeps the error as its cause).
ENTRY_POINTS = {
    "constructor: fen": (lambda g, mp, e: SelfPlayGame(raising_attribute("fen", e)), (ValueError, BOARD), False),
    "constructor: tolist": (
        lambda g, mp, e: SelfPlayGame(history_tensors=[raising_attribute("tolist", e)]), (ValueError, BAD_ENTRY), False),
    "constructor: number in a row": (
        lambda g, mp, e: SelfPlayGame(history_tensors=[[[0.0] * 13] * 63 + [[raising_float(e)] * 13]]),
        (ValueError, BAD_ENTRY), False),
    "constructor: number in a flat plane": (
        lambda g, mp, e: SelfPlayGame(history_tensors=[[0.0] * 831 + [raising_float(e)]]), (ValueError, BAD_ENTRY), False),
    "constructor: items of a plane": (
        lambda g, mp, e: SelfPlayGame(history_tensors=[raising_sequence(e)]), (ValueError, BAD_ENTRY), False),
    "apply: uci": (lambda g, mp, e: g.apply(raising_attribute("uci", e)), (ValueError, ACTION), False),
    "action_index: uci": (lambda g, mp, e: g.action_index(raising_attribute("uci", e)), (ValueError, ACTION), False),
    "terminal_value: bool": (
        lambda g, mp, e: g.terminal_value(raising_module_name(e)),
        (TypeError, "argument 'player_is_white': 'Flag' object cannot be converted to a boolean"), False),
    "legal_actions: import chess": (
        lambda g, mp, e: (failing_import(mp, "chess", e), g.legal_actions()),
        (ValueError, "python-chess is required for legal_actions()"), True),
    "encode: import torch": (
        lambda g, mp, e: (failing_import(mp, "torch", e), g.encode()), (ValueError, "torch is required for encode()"), True),
}


@pytest.mark.parametrize("kind", PASSED_ON + ORDINARY, ids=lambda kind: kind.__name__)
@pytest.mark.parametrize("entry", list(ENTRY_POINTS))
def test_interrupts_pass_and_other_errors_get_the_module_answer(entry, kind, monkeypatch):
    call, (answer, message), chained = ENTRY_POINTS[entry]
    game = SelfPlayGame()
    before = (game.board, game.turn, game.castle_eligible())
    error = kind(f"raised inside {entry}")

    with pytest.raises(BaseException) as caught:
        call(game, monkeypatch, error)

    if kind in PASSED_ON:
        assert caught.value is error
    else:
        assert type(caught.value) is answer
        assert str(caught.value) == message
        assert caught.value.__cause__ is (error if chained else None)
    assert (game.board, game.turn, game.castle_eligible()) == before
