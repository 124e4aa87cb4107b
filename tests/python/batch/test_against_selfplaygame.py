"""GameBatch under the legal rules against SelfPlayGame, ply by ply.

Seeded random games are played side by side in a batch (rules="legal", observation="history")
and in one SelfPlayGame per game. At every ply the batch's legal slots must be the
action_index of SelfPlayGame.legal_actions(), its move list the same moves in the same order,
its observation encode() exactly, and its endings and rewards those quellor-selfplay decides.
After every step its last move must be the one SelfPlayGame played, and its ending and result
those the test derives from SelfPlayGame's position. Half the steps go through step() with
the chosen move's slot, half through step_moves() with its exact code. QUELLOR_BATCH_GAMES sets
the number of games (make test-long plays more).
"""

import os
import random
import sys

import chess
import numpy as np
import pytest
import torch

from support import ROOT, oracle
from quellor import SelfPlayGame
from quellor_selfplay import GameBatch
from quellor_selfplay.codes import ENDINGS
from quellor_selfplay.endings import king_attacked

sys.path.insert(0, str(ROOT / "tests"))
from positions import STARTS  # noqa: E402

# Fewer under AddressSanitizer, where every ply costs several times as much.
UNDER_ASAN = bool(os.environ.get("QUELLOR_ASAN"))
GAMES = int(os.environ.get("QUELLOR_BATCH_GAMES", "40" if UNDER_ASAN else "240"))
BATCH = 40
# make test-long plays other games than make test.
SEED = int(os.environ.get("QUELLOR_BATCH_SEED", "0"))
MAX_PLIES = 150
PROMOTION_K = {None: 0, chess.QUEEN: 1, chess.ROOK: 2, chess.BISHOP: 3, chess.KNIGHT: 4}


def move_code(move):
    return move.from_square * 64 + move.to_square + 4096 * PROMOTION_K[move.promotion]


def ending(game, plies):
    """(terminated, truncated, White's reward, the ending's name or None) as quellor-selfplay
    decides them."""
    if game.is_terminal():
        return True, False, game.terminal_value(True), "king captured"
    if not game.legal_actions():
        mated = king_attacked(game.board, game.turn)
        return True, False, (-1.0 if game.turn else 1.0) if mated else 0.0, "checkmate" if mated else "stalemate"
    capped = plies >= MAX_PLIES
    return False, capped, 0.0, "ply cap" if capped else None


def check_game(batch, i, game, plies):
    uci = [m.uci() for m in game.legal_actions()]
    assert [m.uci() for m in batch.legal_moves(i)] == uci
    slots = {game.action_index(u) for u in uci}
    assert set(torch.nonzero(batch.legal_action_mask[i]).flatten().tolist()) == slots
    assert torch.equal(batch.observation[i], game.encode())
    assert bool(batch.to_move[i]) == game.turn
    assert int(batch.plies[i]) == plies


@pytest.mark.parametrize("chunk", range((GAMES + BATCH - 1) // BATCH))
def test_batch_plays_selfplaygame(chunk):
    rng = random.Random(7000 + 1000 * SEED + chunk)
    n = min(BATCH, GAMES - chunk * BATCH)
    starts = [STARTS[(chunk * BATCH + i) % len(STARTS)] for i in range(n)]
    batch = GameBatch(n, rules="legal", observation="history", dtype="float32", max_plies=MAX_PLIES,
                      fens=starts, threads=2)
    games = [SelfPlayGame(fen) for fen in starts]
    done = [False] * n
    # White's result and the ending's index in ENDINGS, as each finished game ended.
    outcome = [(0, -1)] * n
    assert batch.last_move.tolist() == [-1] * n
    plies = 0
    while not all(done):
        exact = plies % 2 == 1
        entries = np.zeros(n, dtype=np.int64)
        chosen = [None] * n
        for i, game in enumerate(games):
            if done[i]:
                entries[i] = rng.randrange(-5, 30000)  # ignored, whatever it holds
                continue
            check_game(batch, i, game, plies)
            moves = game.legal_actions()
            move = rng.choice(moves)
            if exact:
                entries[i] = move_code(move)
            else:
                entries[i] = game.action_index(move)
                # A slot shared by two moves plays the first of them in list order.
                move = next(m for m in moves if game.action_index(m) == entries[i])
            chosen[i] = move
        (batch.step_moves if exact else batch.step)(entries)
        plies += 1
        for i, game in enumerate(games):
            if done[i]:
                assert batch.rewards[i].tolist() == [0.0, 0.0]
                # Over: it plays nothing, and its ending and result stay.
                assert (int(batch.last_move[i]), int(batch.result[i]), int(batch.ending[i])) == (-1, *outcome[i])
                continue
            assert int(batch.last_move[i]) == move_code(chosen[i])
            game.apply(chosen[i])
            terminated, truncated, white, name = ending(game, plies)
            assert (bool(batch.terminated[i]), bool(batch.truncated[i])) == (terminated, truncated)
            assert batch.rewards[i].tolist() == [white, -white]
            outcome[i] = (int(white), -1 if name is None else ENDINGS.index(name))
            assert (int(batch.result[i]), int(batch.ending[i])) == outcome[i]
            if name is not None:
                oracle.count(f"batch/selfplay games ended: {name}", 1)
            assert torch.equal(batch.observation[i], game.encode())
            oracle.count("batch/selfplay plies", 1)
            if terminated or truncated:
                done[i] = True
                oracle.count("batch/selfplay games", 1)
                if terminated:
                    oracle.count("batch/selfplay games ended by the rules", 1)
                assert not batch.legal_action_mask[i].any()
            if plies % 25 == 0 and not game.is_terminal():
                # A SelfPlayGame rebuilt from the batch holds the same board and planes.
                copy = batch.game(i)
                assert copy.board == game.board and torch.equal(copy.encode(), game.encode())
