"""quellor_selfplay.arena with several players in one segment: every row against a replay of its
game, and each player deciding once a round for all the games that wait for it."""

import numpy as np
import pytest
import torch

from quellor_selfplay import GameBatch
from quellor_selfplay.arena import play_segment
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.codes import CASTLING_WORD, NEWEST_FRAME, code_move
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import unpack_masks
from quellor_selfplay.players import RandomPlayer


class Counting:
    """A player that notes how many games each of its calls decides for."""

    def __init__(self, inner):
        self.inner = inner
        self.uses_random_actions = inner.uses_random_actions
        self.calls = []

    def act(self, observations, masks, generator, random_slots):
        self.calls.append(len(masks))
        return self.inner.act(observations, masks, generator, random_slots)


@pytest.mark.parametrize("slots", [1, 4, 12])
def test_every_row_of_a_mixed_segment_is_its_games_own(slots):
    """Three players in pairings of every kind, slots restarting games mid-round: each row's
    player is the game's mover, its observation and mask those of a one-game replay, its slot
    legal there and its log-probability the player's."""
    schedule = [(g, (0, 1, 2)[g % 3], (1, 2, 0, 0)[g % 4]) for g in range(12)]
    players = [Counting(RandomPlayer()), Counting(GreedyPlayer()), Counting(RandomPlayer())]
    table = GameConfig("dark", "own", 50)
    shard = play_segment(table, schedule, players, slots, seed=3)
    rows = len(shard["ply"])
    assert shard["game_index"].tolist() == list(range(12))
    assert sum(sum(p.calls) for p in players) == rows == int(shard["game_plies"].sum())
    masks = unpack_masks(torch.from_numpy(shard["mask"]))
    row = 0
    for (game, white_player, black_player), plies, result in zip(schedule, shard["game_plies"],
                                                                 shard["game_result"]):
        replay = GameBatch(1, rules="dark", observation="own", dtype="uint8", max_plies=50)
        for ply in range(plies):
            assert (int(shard["game"][row]), int(shard["ply"][row])) == (game, ply)
            mover = white_player if ply % 2 == 0 else black_player
            assert int(shard["player"][row]) == mover
            assert bool(shard["white"][row]) == (ply % 2 == 0) == bool(replay.to_move[0])
            packed = replay.packed_observation()[0]
            assert shard["frame"][row].tolist() == packed[NEWEST_FRAME].tolist()
            assert int(shard["castling"][row]) == int(packed[CASTLING_WORD])
            assert torch.equal(masks[row], replay.legal_action_mask[0])
            slot = int(shard["action"][row])
            assert replay.legal_action_mask[0, slot]
            legal = int(replay.legal_action_mask[0].sum())
            expected = 0.0 if mover == 1 else -np.log(legal)
            assert float(shard["logp"][row]) == pytest.approx(expected, abs=1e-5)
            replay.step_moves(np.array([int(shard["move"][row])]))
            assert code_move(int(shard["move"][row])) is not None
            row += 1
        assert bool(replay.terminated[0] or replay.truncated[0])
        assert int(replay.result[0]) == int(result)
    assert row == rows


def test_a_player_decides_once_a_round_for_all_its_waiting_games():
    """Two players, each White in half the games, every game started at once: after the first
    round each player finds every live game waiting for it, so it is called about once per two
    plies of the longest game, not once per ply as when every step moved both."""
    games = 16
    schedule = [(g, g % 2, 1 - g % 2) for g in range(games)]
    players = [Counting(RandomPlayer()), Counting(RandomPlayer())]
    shard = play_segment(GameConfig("dark", "own", 40), schedule, players, games, seed=8)
    longest = int(shard["game_plies"].max())
    assert longest > 20
    for p in players:
        assert len(p.calls) <= longest // 2 + 2
    # The second player's first call holds every game: White's move in its own games, Black's
    # in the first player's, which moved just before it in the same round.
    assert players[1].calls[0] == games
    assert players[0].calls[:2] == [games // 2, games]
