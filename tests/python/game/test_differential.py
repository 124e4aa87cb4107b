"""Seeded random games played through the module and through the pure-Python model of the game
(oracle.py) side by side, compared at every ply: legal actions in order, the board view, turn,
castling flags, termination and values, the whole encode() matrix (every history plane, the
padding and the flags) and action slots. Moves are mostly legal, but games also take moves that
ignore how pieces move, deliberate king captures, moves the board refuses and malformed text,
and carry on after a king has fallen.

Games start from the positions the Stockfish perft comparison visits. While a game has seen
only legal moves its move sets are also checked against python-chess's own legal moves.

QUELLOR_DIFFERENTIAL_GAMES sets the number of games (make test-long raises it).
"""

import functools
import os
import random
import sys

import chess
import pytest

from support import ROOT, oracle
from quellor import SelfPlayGame

sys.path.insert(0, str(ROOT / "tests"))
from positions import PERFT_POSITIONS, PERFT_SEED, random_walks  # noqa: E402

GAMES = int(os.environ.get("QUELLOR_DIFFERENTIAL_GAMES", "400"))
MAX_PLIES = 60
PLIES_AFTER_A_KING_FALLS = 4
MALFORMED = ["", "e2", "e2e", "e2e4x", "e7e8Q", "e7e8k", "i2e4", "e2e9", " e2e4", "e2\u00e9", "\u00e9\u00e9\u00e9"]


def python_chess_moves(fen, moves):
    board = chess.Board(fen)
    for move in moves:
        board.push_uci(move)
    return [m.uci() for m in board.legal_moves]


@functools.lru_cache(maxsize=1)
def perft_positions():
    """(FEN, python-chess Board) of each position of the perft comparison's walks."""
    found = []
    for fen, moves, _ in random_walks(python_chess_moves, PERFT_POSITIONS, PERFT_SEED):
        board = chess.Board(fen)
        for move in moves:
            board.push_uci(move)
        found.append(board)
    return found


def observed(game):
    """Everything the module lets a trainer read, in the model's terms."""
    return {
        "legal_actions": [m.uci() for m in game.legal_actions()],
        "board": game.board,
        "turn": game.turn,
        "current_player": game.current_player(),
        "castle_eligible": game.castle_eligible(),
        "is_terminal": game.is_terminal(),
        "values": (game.terminal_value(True), game.terminal_value(False)),
        "encode": game.encode().tolist(),
    }


def modelled(model):
    return {
        "legal_actions": model.legal_actions(),
        "board": model.board,
        "turn": model.turn,
        "current_player": model.turn,
        "castle_eligible": model.castle_eligible(),
        "is_terminal": model.is_terminal(),
        "values": (model.terminal_value(True), model.terminal_value(False)),
        "encode": model.encode(),
    }


def assert_same(game, model, where):
    ours, theirs = observed(game), modelled(model)
    for key in ours:
        assert ours[key] == theirs[key], f"{key} differs {where}"
    oracle.count("plies compared")
    oracle.count("legal moves compared", len(ours["legal_actions"]))
    return ours


def outcome(call):
    """("ok", result) or (exception type, message)."""
    try:
        return "ok", call()
    except (ValueError, TypeError, RuntimeError) as error:
        return type(error), str(error)


# -- choosing moves -----------------------------------------------------------------------------


def own_squares(model):
    pos = model.pos
    return list(oracle.squares_of(pos.colours[pos.turn]))


def free_move(rng, model):
    """A move of an own piece to any square not holding an own piece, ignoring how it moves."""
    pos = model.pos
    sources = own_squares(model)
    if not sources:
        return None
    source = rng.choice(sources)
    targets = [s for s in range(64) if not pos.colours[pos.turn] & oracle.bit(s)]
    promotion = rng.choice(["", "", "", "", "q", "r", "b", "n"])
    return oracle.square_name(source) + oracle.square_name(rng.choice(targets)) + promotion


def king_capture(rng, model):
    pos = model.pos
    king = pos.king(1 - pos.turn)
    sources = own_squares(model)
    if king is None or not sources:
        return None
    return oracle.square_name(rng.choice(sources)) + oracle.square_name(king)


def refused_move(rng, model):
    """A move the board refuses: from an empty or enemy square, onto an own piece, or a
    castling king move without its rook."""
    pos = model.pos
    occupied, own = pos.occupied, pos.colours[pos.turn]
    choices = []
    empty = [s for s in range(64) if not occupied & oracle.bit(s)]
    enemy = list(oracle.squares_of(pos.colours[1 - pos.turn]))
    if empty:
        choices.append((rng.choice(empty), rng.randrange(64)))
    if enemy:
        choices.append((rng.choice(enemy), rng.randrange(64)))
    if own:
        choices.append((rng.choice(list(oracle.squares_of(own))), rng.choice(list(oracle.squares_of(own)))))
    king = pos.king(pos.turn)
    if king in oracle.CASTLING_SQUARES:
        choices.append((king, rng.choice(sorted(oracle.CASTLING_SQUARES - {king}))))
    source, target = rng.choice(choices)
    return oracle.square_name(source) + oracle.square_name(target)


# Share of plies that leave legal play, per game: a quarter of the games stay lawful (but for
# refused and malformed moves, which change nothing).
WILDNESS = [0.0, 0.03, 0.1, 0.3]


def choose(rng, model, legal, wildness):
    """(kind of move, move text)."""
    r = rng.random()
    if r < 0.08:
        return "refusable", refused_move(rng, model)
    if r < 0.1:
        return "malformed", rng.choice(MALFORMED)
    if (r - 0.1) / 0.9 >= wildness and legal:
        return "legal", rng.choice(legal)
    r = rng.random()
    if r < 0.6:
        return "free", free_move(rng, model)
    if r < 0.8:
        # Texts of six or more bytes are read as their first four.
        suffix = rng.choice(["", "", "", "q", "xy", "=q", " and more"])
        return "any", oracle.square_name(rng.randrange(64)) + oracle.square_name(rng.randrange(64)) + suffix
    return "king capture", king_capture(rng, model)


def as_action(rng, text):
    """The text itself, or a python-chess Move of it when python-chess can read it."""
    if rng.random() < 0.3:
        try:
            return chess.Move.from_uci(text)
        except ValueError:
            pass
    return text


# -- the games ------------------------------------------------------------------------------------


def play_game(seed):
    rng = random.Random(seed)
    positions = perft_positions()
    start = positions[seed % len(positions)]
    # Half the games are built from the python-chess Board, half from its FEN text.
    board_arg = start.copy() if seed % 2 else start.fen()
    game, model = SelfPlayGame(board_arg), oracle.Game(start.fen())
    reference = start.copy()  # python-chess, while the game stays lawful
    wildness = WILDNESS[seed % len(WILDNESS)]
    lawful = True
    plies_since_fall = 0
    oracle.count("games")

    for ply in range(MAX_PLIES):
        where = f"in game {seed} at ply {ply} ({model.pos.turn and 'Black' or 'White'} to move)"
        seen = assert_same(game, model, where)
        legal = seen["legal_actions"]
        if lawful:
            assert sorted(legal) == sorted(m.uci() for m in reference.legal_moves), where
            oracle.count("positions checked against python-chess")

        if model.is_terminal():
            plies_since_fall += 1
            if plies_since_fall > PLIES_AFTER_A_KING_FALLS:
                break

        kind, text = choose(rng, model, legal, wildness)
        if text is None:
            kind, text = "refusable", refused_move(rng, model)
        for probe in (text, rng.choice(MALFORMED), rng.choice(legal) if legal else text):
            assert outcome(lambda: game.action_index(probe)) == outcome(lambda: model.action_index(probe)), where

        if rng.random() < 0.04:
            # Play on in a clone; the game it came from must not move.
            before = seen
            clone, model_clone = game.clone(), model.clone()
            ours = outcome(lambda: clone.apply(text))
            assert ours == outcome(lambda: model_clone.apply(text)), where
            assert observed(game) == before, where
            game, model = clone, model_clone
            result = ours[0]
        else:
            ours = outcome(lambda: game.apply(as_action(rng, text)))
            theirs = outcome(lambda: model.apply(text))
            assert ours == theirs, f"apply({text!r}) {where}"
            result = ours[0]

        oracle.count(f"moves played: {kind}" if result == "ok" else f"moves failing: {kind}")
        if result == "ok":
            if kind == "legal" and lawful:
                reference.push_uci(text)
            else:
                lawful = False
        else:
            assert observed(game) == seen, f"failed {text!r} changed the game {where}"

    if model.is_terminal():
        oracle.count("games ending with a captured king")


@pytest.mark.parametrize("seed", range(GAMES))
def test_game_matches_the_model(seed):
    play_game(seed)
