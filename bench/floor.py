"""The floor: each quellor call next to the outside calls it cannot avoid, on the same inputs,
and apply() and clone() next to their python-chess counterparts.

- legal_actions() against bare `list(map(chess.Move.from_uci, texts))` on the same UCI texts,
  over positions of seeded random games;
- encode() against the bare `torch.tensor(rows, dtype=torch.float32)` on the very nested list
  that encode() hands to torch (captured once by wrapping torch.tensor);
- apply() with python-chess Moves and with UCI text against python-chess's `Board.push` of the
  same moves, and against the bare `Move.uci()` calls that apply(Move) must make;
- clone() of a game holding eight planes against the copy of the python-chess environment
  (board and planes).

Every function returns name -> seconds per operation, medians of interleaved rounds.
"""

import random
import time

import chess
import torch

from fog_chess_env import FogChessEnv
from quellor import SelfPlayGame
from timing import interleaved

SEED = 20240611


def random_positions(count, seed=SEED, max_plies=120):
    """`count` games taken from seeded random play, each at a different ply."""
    rng = random.Random(seed)
    positions = []
    game, plies = SelfPlayGame(), 0
    while len(positions) < count:
        actions = game.legal_actions()
        if not actions or plies >= max_plies:
            game, plies = SelfPlayGame(), 0
            continue
        positions.append(game.clone())
        game.apply(rng.choice(actions))
        plies += 1
    return positions


def random_games(count, plies, seed=SEED):
    """`count` move sequences (python-chess Moves) of seeded random games of up to `plies` plies."""
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        board, moves = chess.Board(), []
        for _ in range(plies):
            legal = list(board.legal_moves)
            if not legal:
                break
            move = rng.choice(legal)
            moves.append(move)
            board.push(move)
        games.append(moves)
    return games


def legal_actions_floor(rounds, positions=300, repeat=4):
    games = random_positions(positions)
    texts = [[move.uci() for move in game.legal_actions()] for game in games]
    from_uci = chess.Move.from_uci
    calls = len(games) * repeat

    def ours():
        start = time.perf_counter()
        for _ in range(repeat):
            for game in games:
                game.legal_actions()
        return (time.perf_counter() - start) / calls

    def bare():
        start = time.perf_counter()
        for _ in range(repeat):
            for line in texts:
                list(map(from_uci, line))
        return (time.perf_counter() - start) / calls

    moves = sum(map(len, texts)) / len(texts)
    return interleaved({"legal_actions()": ours, "Move.from_uci x n": bare}, rounds), moves


def capture_encode_rows(game):
    """The nested list that game.encode() hands to torch.tensor."""
    real = torch.tensor
    captured = []

    def capture(rows, **kwargs):
        captured.append(rows)
        return real(rows, **kwargs)

    torch.tensor = capture
    try:
        game.encode()
    finally:
        torch.tensor = real
    return captured[0]


def encode_floor(rounds, games=12, repeat=3):
    positions = [game for game in random_positions(games * 10)[9::10]]
    rows = [capture_encode_rows(game) for game in positions]
    tensor, float32 = torch.tensor, torch.float32
    calls = len(positions) * repeat

    def ours():
        start = time.perf_counter()
        for _ in range(repeat):
            for game in positions:
                game.encode()
        return (time.perf_counter() - start) / calls

    def bare():
        start = time.perf_counter()
        for _ in range(repeat):
            for nested in rows:
                tensor(nested, dtype=float32)
        return (time.perf_counter() - start) / calls

    return interleaved({"encode()": ours, "torch.tensor": bare}, rounds)


def apply_floor(rounds, games=40, plies=100):
    sequences = random_games(games, plies)
    texts = [[move.uci() for move in moves] for moves in sequences]
    calls = sum(map(len, sequences))

    def apply_with(seqs):
        def measure():
            fresh = [SelfPlayGame() for _ in seqs]
            start = time.perf_counter()
            for game, moves in zip(fresh, seqs):
                apply = game.apply
                for move in moves:
                    apply(move)
            return (time.perf_counter() - start) / calls

        return measure

    def push():
        fresh = [chess.Board() for _ in sequences]
        start = time.perf_counter()
        for board, moves in zip(fresh, sequences):
            push = board.push
            for move in moves:
                push(move)
        return (time.perf_counter() - start) / calls

    def uci():
        start = time.perf_counter()
        for moves in sequences:
            for move in moves:
                move.uci()
        return (time.perf_counter() - start) / calls

    return interleaved(
        {"apply(Move)": apply_with(sequences), "apply(str)": apply_with(texts), "Board.push": push, "Move.uci": uci},
        rounds,
    )


def clone_floor(rounds, number=2000):
    moves = random_games(1, 12)[0]
    game, env = SelfPlayGame(), FogChessEnv()
    for move in moves:
        game.apply(move)
        env.apply(move)

    def ours():
        clone = game.clone
        start = time.perf_counter()
        for _ in range(number):
            clone()
        return (time.perf_counter() - start) / number

    def peer():
        clone = env.clone
        start = time.perf_counter()
        for _ in range(number):
            clone()
        return (time.perf_counter() - start) / number

    return interleaved({"clone()": ours, "python-chess env clone": peer}, rounds)
