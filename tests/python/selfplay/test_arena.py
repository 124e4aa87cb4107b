"""quellor_selfplay.arena with several players in one segment: every row against a replay of its
game, and each player deciding once a round for all the games that wait for it."""

import numpy as np
import pytest

from support.replays import check_replayed
from quellor_selfplay.arena import CARRY_KEYS, play_segment
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.config import GameConfig
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


def check_rows(shard, schedule, max_plies, bot=1):
    """Every row of `shard` against a one-game replay of its game (support.replays), and the
    mover's player and its log-probability (0 for the bot, uniform for random play)."""
    players = {g: (w, b) for g, w, b in schedule}
    assert shard["game_index"].tolist() == sorted(players)

    def mover_and_logp(row, replay):
        white_player, black_player = players[int(shard["game"][row])]
        mover = white_player if int(shard["ply"][row]) % 2 == 0 else black_player
        assert int(shard["player"][row]) == mover
        expected = 0.0 if mover == bot else -np.log(int(replay.legal_action_mask[0].sum()))
        assert float(shard["logp"][row]) == pytest.approx(expected, abs=1e-5)

    check_replayed(shard, max_plies, mover_and_logp)


@pytest.mark.parametrize("slots", [1, 4, 12])
def test_every_row_of_a_mixed_segment_is_its_games_own(slots):
    """Three players in pairings of every kind, slots restarting games mid-round: each row's
    player is the game's mover, its observation and mask those of a one-game replay, its slot
    legal there and its log-probability the player's."""
    schedule = [(g, (0, 1, 2)[g % 3], (1, 2, 0, 0)[g % 4]) for g in range(12)]
    players = [Counting(RandomPlayer()), Counting(GreedyPlayer()), Counting(RandomPlayer())]
    shard = play_segment(GameConfig("dark", "own", 50), schedule, players, slots, seed=3)
    assert sum(sum(p.calls) for p in players) == len(shard["ply"]) == int(shard["game_plies"].sum())
    check_rows(shard, schedule, 50)


@pytest.mark.parametrize("slots", [3, 8])
def test_games_started_early_are_handed_on_whole(slots):
    """A segment that may start the next one's games fills the slots its last games leave: the
    games it started are handed on as they stand and played on by the next segment, whose
    shard holds them whole, their early rows as the first segment played them."""
    table = GameConfig("dark", "own", 60)
    players = [RandomPlayer(), GreedyPlayer()]
    first = [(g, 0, 1) if g % 2 else (g, 1, 0) for g in range(10)]
    second = [(g, 0, 0) for g in range(12)]  # numbered apart, as the trainer's iterations are
    shard = play_segment(table, first, players, slots, seed=4, early=second)
    check_rows(shard, first, 60)
    handed = {key: shard[key] for key in CARRY_KEYS}
    started = handed["carry_game"].tolist()
    assert started and started == list(range(len(started)))
    assert int(handed["carry_plies"].sum()) == len(handed["carry_move"]) > 0
    # Without early games the shard is the same, and hands nothing on.
    alone = play_segment(table, first, players, slots, seed=4)
    assert not any(key in alone for key in CARRY_KEYS)
    assert all(np.array_equal(alone[key], shard[key]) for key in alone)

    own = [entry for entry in second if entry[0] not in started]
    after = play_segment(table, own, players, slots, seed=5, carried=handed)
    check_rows(after, second, 60)
    rows = {(int(g), int(p)): r for r, (g, p) in enumerate(zip(after["game"], after["ply"]))}
    at = 0
    for game, plies in zip(started, handed["carry_plies"]):
        for ply in range(int(plies)):
            r = rows[(game, ply)]
            assert int(after["move"][r]) == int(handed["carry_move"][at])
            assert int(after["action"][r]) == int(handed["carry_action"][at])
            assert float(after["logp"][r]) == float(handed["carry_logp"][at])
            at += 1


def test_carried_games_must_be_whole_and_apart():
    table = GameConfig("dark", "own", 40)
    first = [(g, 0, 1) if g % 2 else (g, 1, 0) for g in range(10)]
    shard = play_segment(table, first, [RandomPlayer(), GreedyPlayer()], 3, seed=4,
                         early=[(g, 0, 0) for g in range(10, 14)])
    handed = {key: shard[key] for key in CARRY_KEYS}
    assert len(handed["carry_move"]) > 0
    with pytest.raises(ValueError, match="also among"):
        play_segment(table, [(int(handed["carry_game"][0]), 0, 0)], [RandomPlayer()], 8, seed=1, carried=handed)
    broken = dict(handed, carry_plies=handed["carry_plies"] + 1)
    with pytest.raises(ValueError, match="do not match"):
        play_segment(table, [(20, 0, 0)], [RandomPlayer()], 8, seed=1, carried=broken)
    with pytest.raises(ValueError, match="lack carry_move"):
        play_segment(table, [(20, 0, 0)], [RandomPlayer()], 8, seed=1,
                     carried={k: v for k, v in handed.items() if k != "carry_move"})
    with pytest.raises(ValueError, match="early games must be distinct"):
        play_segment(table, [(20, 0, 0)], [RandomPlayer()], 8, seed=1, early=[(3, 0, 0), (3, 0, 0)])
    with pytest.raises(ValueError, match="outside the 1 given"):
        play_segment(table, [(20, 0, 0)], [RandomPlayer()], 8, seed=1, carried=dict(handed, carry_white=handed[
            "carry_white"] + 3))
    wrong = dict(handed, carry_move=np.full_like(handed["carry_move"], 4095))
    with pytest.raises(ValueError, match="not legal"):
        play_segment(table, [(20, 0, 0)], [RandomPlayer()], 8, seed=1, carried=wrong)


@pytest.mark.parametrize("slots", [1, 2, 7])
def test_carried_games_beyond_the_slots_wait_for_one(slots):
    """More carried games than slots: each is played again move for move as a slot takes it, a
    game that had ended when it was handed on ends again as it did, and the shard holds every
    carried game whole, its earlier rows as they were played, with its own games after them."""
    table = GameConfig("dark", "own", 30)
    players = [RandomPlayer(), GreedyPlayer()]
    played = play_segment(table, [(g, g % 2, 1 - g % 2) for g in range(6)], players, 6, seed=8)
    # Handed on: the six games, whole (each had ended), as carried games of the next segment.
    handed = {"carry_game": played["game_index"], "carry_white": played["game_white"].astype(np.int64),
              "carry_black": played["game_black"].astype(np.int64), "carry_plies": played["game_plies"],
              "carry_move": played["move"], "carry_action": played["action"], "carry_logp": played["logp"],
              "carry_player": played["player"]}
    after = play_segment(table, [(g, 0, 1) for g in range(6, 9)], players, slots, seed=9, carried=handed)
    assert after["game_index"].tolist() == list(range(9))
    assert after["game_plies"][:6].tolist() == played["game_plies"].tolist()
    assert after["game_result"][:6].tolist() == played["game_result"].tolist()
    assert after["game_ending"][:6].tolist() == played["game_ending"].tolist()
    whole = int(played["game_plies"].sum())
    for key in ("move", "action", "logp", "player", "frame", "mask", "value", "ply"):
        assert np.array_equal(after[key][:whole], played[key]), key
    check_rows(after, [(g, g % 2, 1 - g % 2) for g in range(6)] + [(g, 0, 1) for g in range(6, 9)], 30)


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
