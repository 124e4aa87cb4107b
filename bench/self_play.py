"""Seeded random self-play, step by step, in quellor and in the environments a user would pick
instead. One step: list the legal actions, pick one at random, (optionally) build the learner's
input, apply the action, and check whether the game is over. A game that ends, has no legal
action, or reaches MAX_PLIES plies is replaced by a new one inside the timed loop.

Each loop function returns the seconds its `steps` steps took; every call with the same seed
plays exactly the same games, so repeated rounds time the same work.
"""

import random
import time

MAX_PLIES = 200


def step_loop(new_game, steps, seed, encode):
    """Seconds that `steps` steps take in games made by `new_game()`, which offer
    legal_actions(), encode(), apply() and is_terminal()."""
    choice = random.Random(seed).choice
    game, plies, done = new_game(), 0, 0
    start = time.perf_counter()
    while done < steps:
        if plies >= MAX_PLIES or game.is_terminal():
            game, plies = new_game(), 0
        actions = game.legal_actions()
        if not actions:
            game, plies = new_game(), 0
            continue
        if encode:
            game.encode()
        game.apply(choice(actions))
        plies += 1
        done += 1
    return time.perf_counter() - start


def quellor_loop(steps, seed, encode):
    from quellor import SelfPlayGame

    return step_loop(SelfPlayGame, steps, seed, encode)


def quellor_loop_texts(steps, seed):
    """The UCI texts of the legal actions listed at each step of quellor_loop(steps, seed, ...),
    which plays the same games with or without encode()."""
    from quellor import SelfPlayGame

    choice = random.Random(seed).choice
    game, plies, texts = SelfPlayGame(), 0, []
    while len(texts) < steps:
        if plies >= MAX_PLIES or game.is_terminal():
            game, plies = SelfPlayGame(), 0
        actions = game.legal_actions()
        if not actions:
            game, plies = SelfPlayGame(), 0
            continue
        texts.append([action.uci() for action in actions])
        game.apply(choice(actions))
        plies += 1
    return texts


def from_uci_floor(texts, rows=None):
    """Seconds that the bare Move.from_uci calls of the recorded steps take, nothing else; with
    `rows` (an observation's nested list), also one torch.tensor call on it a step."""
    import chess
    import torch

    from_uci = chess.Move.from_uci
    tensor, float32 = torch.tensor, torch.float32
    start = time.perf_counter()
    if rows is None:
        for line in texts:
            list(map(from_uci, line))
    else:
        for line in texts:
            list(map(from_uci, line))
            tensor(rows, dtype=float32)
    return time.perf_counter() - start


def python_chess_loop(steps, seed, encode):
    from fog_chess_env import FogChessEnv

    return step_loop(FogChessEnv, steps, seed, encode)


def open_spiel_loop(steps, seed, encode):
    """OpenSpiel's dark_chess. Its observation is its own flat tensor; "with encode" turns it
    into a float32 torch tensor, as a learner needs it."""
    import pyspiel
    import torch

    game = pyspiel.load_game("dark_chess")
    choice = random.Random(seed).choice
    state, plies, done = game.new_initial_state(), 0, 0
    start = time.perf_counter()
    while done < steps:
        if plies >= MAX_PLIES or state.is_terminal():
            state, plies = game.new_initial_state(), 0
            continue
        actions = state.legal_actions()
        if encode:
            torch.tensor(state.observation_tensor(), dtype=torch.float32)
        state.apply_action(choice(actions))
        plies += 1
        done += 1
    return time.perf_counter() - start


def pettingzoo_loop(steps, seed, encode):
    """PettingZoo's chess (full information). Its env.last() always builds the 8 x 8 x 111
    observation, since the action mask comes with it; "with encode" adds the torch tensor (of a
    contiguous copy: the observation is a view with negative strides, which torch refuses)."""
    import numpy as np
    import torch
    from pettingzoo.classic import chess_v6

    env = chess_v6.env()
    env.reset(seed=seed)
    choice = random.Random(seed).choice
    plies, done = 0, 0
    start = time.perf_counter()
    while done < steps:
        observation, _, terminated, truncated, _ = env.last()
        if terminated or truncated or plies >= MAX_PLIES:
            env.reset(seed=seed)
            plies = 0
            continue
        if encode:
            torch.tensor(np.ascontiguousarray(observation["observation"]), dtype=torch.float32)
        env.step(int(choice(np.flatnonzero(observation["action_mask"]))))
        plies += 1
        done += 1
    return time.perf_counter() - start


LOOPS = {
    "quellor": quellor_loop,
    "python-chess env": python_chess_loop,
    "open_spiel dark_chess": open_spiel_loop,
    "pettingzoo chess_v6": pettingzoo_loop,
}


def availability():
    """name -> None when the environment can run here, else the reason it cannot."""
    reasons = {}
    for name, loop in LOOPS.items():
        try:
            loop(2, 0, True)
            reasons[name] = None
        except Exception as error:  # an import or set-up failure: reported, not fatal
            reasons[name] = f"{type(error).__name__}: {error}".splitlines()[0][:100]
    return reasons
