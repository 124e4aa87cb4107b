"""Calling back into a game while apply() holds it, and apply() from inside shared calls."""

import chess
import pytest
import torch

from support.positions import START_FEN, board_view
from quellor import SelfPlayGame

MUTABLY = "Already mutably borrowed"
BORROWED = "Already borrowed"
AFTER_E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1"

SHARED_CALLS = {
    "turn": lambda g: g.turn,
    "board": lambda g: g.board,
    "castle_eligible": lambda g: g.castle_eligible(),
    "clone": lambda g: g.clone(),
    "current_player": lambda g: g.current_player(),
    "legal_actions": lambda g: g.legal_actions(),
    "is_terminal": lambda g: g.is_terminal(),
    "terminal_value": lambda g: g.terminal_value(True),
    "encode": lambda g: g.encode(),
    "action_index": lambda g: g.action_index("e2e4"),
}


def outcome(call):
    try:
        call()
    except RuntimeError as exc:
        return str(exc)
    return "ok"


class CallsBack:
    """A move whose uci() runs `inner` first, records what happened and returns `text`."""

    def __init__(self, inner, text="e2e4"):
        self.inner = inner
        self.text = text
        self.seen = []

    def uci(self):
        self.seen.append(outcome(self.inner))
        return self.text


@pytest.mark.parametrize("name", sorted(SHARED_CALLS))
def test_shared_calls_are_refused_during_apply(game, name):
    move = CallsBack(lambda: SHARED_CALLS[name](game))
    assert game.apply(move) is None
    assert move.seen == [MUTABLY]
    assert game.board == board_view(AFTER_E4)


def test_nested_apply_is_refused_during_apply(game):
    move = CallsBack(lambda: game.apply("d2d4"))
    game.apply(move)
    assert move.seen == [BORROWED]
    assert game.board == board_view(AFTER_E4)


def test_other_games_are_free_during_apply(game):
    other = SelfPlayGame()
    move = CallsBack(lambda: (other.apply("d2d4"), SelfPlayGame(AFTER_E4).board))
    game.apply(move)
    assert move.seen == ["ok"]
    assert game.board == board_view(AFTER_E4)
    assert other.board == board_view(
        "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq - 0 1"
    )


def test_apply_uses_what_uci_raised_after_a_refused_call(game):
    class Raises:
        def uci(self):
            game.is_terminal()  # refused; the RuntimeError leaves uci()

    with pytest.raises(RuntimeError, match=MUTABLY):
        game.apply(Raises())
    assert game.board == board_view(START_FEN)
    assert game.turn is True
    game.apply("e2e4")
    assert game.board == board_view(AFTER_E4)


def test_exclusive_borrow_is_released_after_a_failed_apply(game):
    for bad, error in (("e2e4x", ValueError), (5, ValueError), ("e3e4", RuntimeError)):
        with pytest.raises(error):
            game.apply(bad)
        assert game.board == board_view(START_FEN)
        assert game.encode().shape == (64, 106)
    game.apply("e2e4")
    assert game.turn is False


@pytest.mark.parametrize(
    "shared",
    [
        lambda g, inner: g.action_index(CallsBack(inner)),
        lambda g, inner: g.action_index(CallsBack(lambda: g.action_index(CallsBack(inner)))),
    ],
    ids=["action_index", "nested-action_index"],
)
def test_apply_is_refused_inside_a_shared_call(game, shared):
    seen = []
    shared(game, lambda: seen.append(outcome(lambda: game.apply("e2e4"))))
    assert seen == [BORROWED]
    assert game.board == board_view(START_FEN)
    game.apply("e2e4")  # every shared borrow was handed back
    assert game.board == board_view(AFTER_E4)


def test_apply_is_refused_inside_encode(monkeypatch, game):
    real = torch.tensor
    seen = []

    def tensor(*args, **kwargs):
        seen.append(outcome(lambda: game.apply("e2e4")))
        seen.append(outcome(lambda: game.board))
        return real(*args, **kwargs)

    monkeypatch.setattr(torch, "tensor", tensor)
    game.encode()
    assert seen == [BORROWED, "ok"]
    monkeypatch.undo()
    game.apply("e2e4")
    assert game.turn is False


def test_apply_is_refused_inside_legal_actions(monkeypatch, game):
    real = chess.Move.from_uci
    seen = []

    def from_uci(text):
        if not seen:
            seen.append(outcome(lambda: game.apply("e2e4")))
            seen.append(outcome(lambda: game.action_index(text)))
        return real(text)

    monkeypatch.setattr(chess.Move, "from_uci", from_uci)
    assert len(game.legal_actions()) == 20
    assert seen == [BORROWED, "ok"]
    monkeypatch.undo()
    game.apply("e2e4")
    assert game.turn is False


def test_shared_borrow_is_released_when_a_callback_raises(game):
    class Raises:
        def uci(self):
            raise ArithmeticError("from uci")

    with pytest.raises(ArithmeticError):
        game.action_index(Raises())
    game.apply("e2e4")
    assert game.turn is False


@pytest.mark.parametrize(
    "inner, outcome_seen",
    [
        # The borrow is taken before the argument is converted...
        (lambda g: g.terminal_value(1), MUTABLY),
        (lambda g: g.action_index(5), MUTABLY),
        (lambda g: g.action_index("zz"), MUTABLY),
        # ...but after the arguments are bound.
        (lambda g: g.action_index(), TypeError),
        (lambda g: g.terminal_value(), TypeError),
        (lambda g: g.apply(), TypeError),
    ],
)
def test_binding_precedes_and_conversion_follows_the_borrow(game, inner, outcome_seen):
    seen = []

    class Move:
        def uci(self):
            try:
                inner(game)
            except (RuntimeError, TypeError) as exc:
                seen.append(str(exc) if isinstance(exc, RuntimeError) else TypeError)
            return "e2e4"

    game.apply(Move())
    assert seen == [outcome_seen]
    assert game.turn is False
