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

Inputs are cut into small chunks, and every chunk is timed for each contender right after the
other, so that the paired ratios see the same load on both sides; per-call figures sum each
chunk's median over the rounds.
"""

import random
import time

import chess
import torch

from fog_chess_env import FogChessEnv
from quellor import SelfPlayGame
from timing import paired

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


def chunked(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def legal_actions_floor(rounds, positions=320, chunk=8):
    """(per-call seconds of legal_actions() and of the bare from_uci calls, their paired ratio,
    mean moves a position)."""
    games = random_positions(positions)
    texts = [[move.uci() for move in game.legal_actions()] for game in games]
    from_uci = chess.Move.from_uci
    chunks = chunked(list(zip(games, texts)), chunk)

    def ours(pairs):
        start = time.perf_counter()
        for game, _ in pairs:
            game.legal_actions()
        return time.perf_counter() - start

    def bare(pairs):
        start = time.perf_counter()
        for _, line in pairs:
            list(map(from_uci, line))
        return time.perf_counter() - start

    samples, totals = paired({"ours": ours, "bare": bare}, chunks, rounds)
    moves = sum(map(len, texts)) / len(texts)
    return totals["ours"] / positions, totals["bare"] / positions, samples.ratio("ours", "bare"), moves


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


def encode_floor(rounds, games=24, repeat=2):
    """(per-call seconds of encode() and of the bare torch.tensor call, their paired ratio)."""
    positions = random_positions(games * 10)[9::10]
    chunks = [(game, capture_encode_rows(game)) for game in positions]
    tensor, float32 = torch.tensor, torch.float32

    def ours(pair):
        encode = pair[0].encode
        start = time.perf_counter()
        for _ in range(repeat):
            encode()
        return time.perf_counter() - start

    def bare(pair):
        nested = pair[1]
        start = time.perf_counter()
        for _ in range(repeat):
            tensor(nested, dtype=float32)
        return time.perf_counter() - start

    samples, totals = paired({"ours": ours, "bare": bare}, chunks, rounds)
    calls = len(positions) * repeat
    return totals["ours"] / calls, totals["bare"] / calls, samples.ratio("ours", "bare")


def apply_floor(rounds, games=40, plies=100):
    """Per-call seconds of apply(Move), apply(str), Board.push and Move.uci over the moves of
    seeded random games, and the paired ratios against Board.push and Move.uci."""
    sequences = random_games(games, plies)
    chunks = [(moves, [move.uci() for move in moves]) for moves in sequences]
    calls = sum(map(len, sequences))

    def apply_with(index):
        def measure(chunk):
            actions = chunk[index]
            apply = SelfPlayGame().apply
            start = time.perf_counter()
            for action in actions:
                apply(action)
            return time.perf_counter() - start

        return measure

    def push(chunk):
        push = chess.Board().push
        start = time.perf_counter()
        for move in chunk[0]:
            push(move)
        return time.perf_counter() - start

    def uci(chunk):
        start = time.perf_counter()
        for move in chunk[0]:
            move.uci()
        return time.perf_counter() - start

    samples, totals = paired(
        {"apply(Move)": apply_with(0), "apply(str)": apply_with(1), "Board.push": push, "Move.uci": uci},
        chunks, rounds,
    )
    per_call = {name: total / calls for name, total in totals.items()}
    ratios = {
        "push/apply(Move)": samples.ratio("Board.push", "apply(Move)"),
        "push/apply(str)": samples.ratio("Board.push", "apply(str)"),
        "apply(Move)/uci": samples.ratio("apply(Move)", "Move.uci"),
        "push/uci": samples.ratio("Board.push", "Move.uci"),
    }
    return per_call, ratios


def clone_floor(rounds, blocks=12, number=200):
    """(per-call seconds of clone() of a game holding eight planes and of the python-chess
    environment's copy of the same record, their paired ratio env / ours)."""
    moves = random_games(1, 12)[0]
    game, env = SelfPlayGame(), FogChessEnv()
    for move in moves:
        game.apply(move)
        env.apply(move)

    def timed(clone):
        def measure(_):
            start = time.perf_counter()
            for _ in range(number):
                clone()
            return time.perf_counter() - start

        return measure

    samples, totals = paired({"ours": timed(game.clone), "peer": timed(env.clone)}, range(blocks), rounds)
    calls = blocks * number
    return totals["ours"] / calls, totals["peer"] / calls, samples.ratio("peer", "ours")
