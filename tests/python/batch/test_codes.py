"""Move codes and the policy slots they take, worked out with python-chess, and the slots a
batch's masks hold for its moves."""

import chess
import numpy as np
import pytest

from quellor_selfplay import GameBatch, _batch
from quellor_selfplay.codes import MOVE_CODES, PROMOTION_BASE, code_move, code_slot

# A promotion slot's last index names the piece.
PROMOTED = [chess.QUEEN, chess.ROOK, chess.BISHOP, chess.KNIGHT]


def expected_slot(code, white):
    """The slot of a code from python-chess's own squares: Black reads the board mirrored, and a
    promotion keeps its from-square and piece."""
    move = code_move(code)
    frm, to = move.from_square, move.to_square
    if not white:
        frm, to = chess.square_mirror(frm), chess.square_mirror(to)
    if move.promotion is None:
        return frm * 64 + to
    return PROMOTION_BASE + frm * 4 + PROMOTED.index(move.promotion)


@pytest.mark.parametrize("white", [True, False])
def test_every_move_code_takes_its_slot(white):
    found = [code_slot(code, white) for code in range(MOVE_CODES)]
    assert found == [expected_slot(code, white) for code in range(MOVE_CODES)]


@pytest.mark.parametrize("rules", ["dark", "legal"])
def test_a_batchs_mask_holds_the_slots_of_its_legal_moves(rules):
    # Pawns a step from promoting on either side, and random play from the start.
    fens = ["4k3/1P5P/8/8/8/8/p5p1/4K3 w - - 0 1", "4k3/1P5P/8/8/8/8/p5p1/4K3 b - - 0 1"] + [chess.STARTING_FEN] * 6
    batch = GameBatch(8, rules=rules, seed=3, fens=fens, max_plies=60)
    for _ in range(30):
        for i in range(8):
            white = bool(batch.to_move[i])
            slots = {code_slot(code, white) for code in batch.legal_move_codes(i)}
            assert slots == set(np.flatnonzero(batch.legal_action_mask[i].numpy()).tolist())
        batch.step(batch.random_actions())


@pytest.mark.parametrize("code, white, error, message", [
    (-1, True, ValueError, r"move code -1 is out of range \(0..20479\)"),
    (MOVE_CODES, False, ValueError, r"move code 20480 is out of range \(0..20479\)"),
    (2**70, True, ValueError, "move code 1180591620717411303424 is out of range"),
    (True, True, TypeError, "code must be an int, not bool"),
    ("e2e4", True, TypeError, "code must be an int, not str"),
    (796.0, True, TypeError, "code must be an int, not float"),
])
def test_a_slot_is_refused_for_what_is_not_a_move_code(code, white, error, message):
    with pytest.raises(error, match=message):
        code_slot(code, white)


def test_numpy_integers_are_codes():
    assert code_slot(np.int64(796), np.bool_(True)) == _batch.code_slot(796, 1) == 796
