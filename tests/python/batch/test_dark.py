"""GameBatch under the fog-of-war rules against OpenSpiel's dark_chess, ply by ply.

Seeded random games are played side by side in a batch (rules="dark") and in OpenSpiel, from
the standard start and from positions rich in castling, en passant and promotions. At every
ply both must offer the same set of moves (compared as UCI text: the action numberings
differ) and hold the same placement, side to move and castling rights; when OpenSpiel ends a
game by capturing a king, the batch must end it on the same ply with the same winner, and say
so in its ending ("king captured") and result; after every ply its last move must be the one
played. A game that OpenSpiel ends by one of its draws (which these rules do not have) is
compared no further.
The batch's own-view observation is checked at every ply too, against planes computed from
python-chess for the positions OpenSpiel went through.
QUELLOR_DARK_GAMES sets the number of games (make test-long plays more).
"""

import os
import random
import sys

import chess
import numpy as np
import pytest

from support import ROOT, oracle
from support.positions import expected_plane
from quellor_selfplay import GameBatch
from quellor_selfplay.batch import ENDINGS

pyspiel = pytest.importorskip("pyspiel")

sys.path.insert(0, str(ROOT / "tests"))
from positions import STARTS  # noqa: E402

# Fewer under AddressSanitizer, where every ply costs several times as much.
UNDER_ASAN = bool(os.environ.get("QUELLOR_ASAN"))
GAMES = int(os.environ.get("QUELLOR_DARK_GAMES", "80" if UNDER_ASAN else "400"))
BATCH = 40
# make test-long plays other games than make test.
SEED = int(os.environ.get("QUELLOR_BATCH_SEED", "0"))
PROMOTION_K = {"": 0, "q": 1, "r": 2, "b": 3, "n": 4}
WHITE = 1  # OpenSpiel's chess numbers Black as player 0


def square(text):
    return (ord(text[0]) - ord("a")) + 8 * (int(text[1]) - 1)


def move_code(uci):
    return square(uci[:2]) * 64 + square(uci[2:4]) + 4096 * PROMOTION_K[uci[4:]]


def position(fen):
    """Placement, side to move and castling rights of a FEN."""
    return tuple(fen.split()[:3])


class Reference:
    """One dark_chess game and the UCI text of its legal actions."""

    CHESS = pyspiel.load_game("chess")
    DARK = {}

    def __init__(self, fen):
        if fen not in self.DARK:
            self.DARK[fen] = pyspiel.load_game("dark_chess", {"fen": fen})
        self.state = self.DARK[fen].new_initial_state()

    def moves(self):
        board = self.CHESS.new_initial_state(str(self.state)).board()
        return {pyspiel.chess.action_to_move(a, board).to_lan(): a for a in self.state.legal_actions()}


def own_observation(planes, fen):
    """The own-view observation after len(planes) - 1 plies: the mover's last eight planes
    (the oldest of them repeated while fewer exist), then its castling flags."""
    p = len(planes) - 1
    frames = [planes[max(p - 2 * back, p % 2)] for back in range(7, -1, -1)]
    obs = np.zeros((64, 106), dtype=np.uint8)
    obs[:, :104] = np.concatenate(frames, axis=1)
    board = chess.Board(fen)
    obs[0, 104:] = board.has_kingside_castling_rights(board.turn)
    obs[1, 104:] = board.has_queenside_castling_rights(board.turn)
    return obs


def draw_kind(state, seen):
    """Which of OpenSpiel's draws ended a game, from its last position."""
    fen = str(state)
    if int(fen.split()[4]) >= 100:
        return "fifty-move rule"
    if chess.Board(fen).is_insufficient_material():
        return "insufficient material"
    if seen.count(position(fen)) >= 3:
        return "repetition"
    return "no move"


@pytest.mark.parametrize("chunk", range((GAMES + BATCH - 1) // BATCH))
def test_batch_plays_dark_chess(chunk):
    rng = random.Random(9100 + 1000 * SEED + chunk)
    n = min(BATCH, GAMES - chunk * BATCH)
    starts = [STARTS[(chunk * BATCH + i) % len(STARTS)] for i in range(n)]
    batch = GameBatch(n, rules="dark", fens=starts, seed=chunk + 1000 * SEED, threads=2)
    refs = [Reference(fen) for fen in starts]
    compared = [True] * n
    planes = [[np.array(expected_plane(fen), dtype=np.uint8)] for fen in starts]
    seen = [[position(fen)] for fen in starts]
    while any(compared) and not bool(batch.terminated.all()):
        codes = np.zeros(n, dtype=np.int64)
        chosen = {}
        for i, ref in enumerate(refs):
            if not compared[i]:
                if not batch.terminated[i]:
                    codes[i] = move_code(rng.choice(batch.legal_moves(i)).uci())
                continue
            assert position(batch.fen(i)) == position(str(ref.state))
            assert np.array_equal(batch.observation[i].numpy(), own_observation(planes[i], str(ref.state)))
            moves = ref.moves()
            assert {m.uci() for m in batch.legal_moves(i)} == set(moves)
            oracle.count("batch/dark_chess plies", 1)
            oracle.count("batch/dark_chess moves compared", len(moves))
            uci = rng.choice(sorted(moves))
            chosen[i] = moves[uci]
            codes[i] = move_code(uci)
        batch.step_moves(codes)
        for i, action in chosen.items():
            ref = refs[i]
            ref.state.apply_action(action)
            seen[i].append(position(str(ref.state)))
            assert int(batch.last_move[i]) == codes[i]
            if not ref.state.is_terminal():
                assert not batch.terminated[i]
                assert (int(batch.ending[i]), int(batch.result[i])) == (-1, 0)
                planes[i].append(np.array(expected_plane(str(ref.state)), dtype=np.uint8))
                continue
            white = ref.state.returns()[WHITE]
            if white == 0.0:
                # One of OpenSpiel's draws; count which, for the record.
                compared[i] = False
                kind = draw_kind(ref.state, seen[i])
                oracle.count(f"batch/dark_chess games left at an OpenSpiel draw: {kind}", 1)
                if kind == "no move":
                    assert bool(batch.terminated[i]) and batch.rewards[i].tolist() == [0.0, 0.0]
                    assert (int(batch.ending[i]), int(batch.result[i])) == (ENDINGS.index("stalemate"), 0)
                continue
            assert bool(batch.terminated[i])
            assert batch.rewards[i].tolist() == [white, -white]
            assert (int(batch.ending[i]), int(batch.result[i])) == (ENDINGS.index("king captured"), int(white))
            compared[i] = False
            oracle.count("batch/dark_chess games ended by a king capture", 1)
        # Games the batch ends must have ended in OpenSpiel too.
        for i in np.flatnonzero(batch.terminated.numpy()):
            assert refs[i].state.is_terminal()
