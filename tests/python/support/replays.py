"""Shards of dark-rules games checked row by row against a one-game replay of each game."""

import numpy as np
import torch

from quellor_selfplay import GameBatch
from quellor_selfplay.codes import CASTLING_WORD, NEWEST_FRAME
from quellor_selfplay.data import unpack_masks


def check_replayed(shard, max_plies, each_row=None):
    """Every game of `shard` whole and in order: its rows, ply by ply, are those of a one-game
    replay of its moves (the mover's colour, newest frame, castling word and mask, a legal slot),
    and the replay ends as the game table says. `each_row(row, replay)` checks more of a row
    before its move is played. Returns the number of rows checked."""
    masks = unpack_masks(torch.from_numpy(shard["mask"]))
    row = 0
    for game, plies, result in zip(shard["game_index"], shard["game_plies"], shard["game_result"]):
        replay = GameBatch(1, rules="dark", observation="own", dtype="uint8", max_plies=max_plies)
        for ply in range(plies):
            assert (int(shard["game"][row]), int(shard["ply"][row])) == (game, ply)
            assert bool(shard["white"][row]) == bool(replay.to_move[0])
            packed = replay.packed_observation()[0]
            assert shard["frame"][row].tolist() == packed[NEWEST_FRAME].tolist()
            assert int(shard["castling"][row]) == int(packed[CASTLING_WORD])
            assert torch.equal(masks[row], replay.legal_action_mask[0])
            assert replay.legal_action_mask[0, int(shard["action"][row])]
            if each_row is not None:
                each_row(row, replay)
            replay.step_moves(np.array([int(shard["move"][row])]))
            row += 1
        assert bool(replay.terminated[0] or replay.truncated[0])
        assert int(replay.result[0]) == int(result)
    assert row == len(shard["ply"])
    return row
