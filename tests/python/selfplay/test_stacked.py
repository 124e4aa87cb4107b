"""Networks of one shape deciding together in one pass (a training run's pool): each network's
logits against its own pass, and a segment with stacked players against the same segment with
every player deciding alone."""

import numpy as np
import pytest
import torch

from support.replays import check_replayed
from quellor_selfplay import GameBatch
from quellor_selfplay import arena
from quellor_selfplay.arena import play_segment
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.config import GameConfig
from quellor_selfplay.inference import acting_copy
from quellor_selfplay.ledger import Ledger
from quellor_selfplay.net import StackedSquares, seeded_net
from quellor_selfplay.players import NetPlayer, RandomPlayer


def network(seed, reach=1, channels=8):
    """A small squares network with every weight drawn at random (a fresh one's heads are zero,
    which would hide a network reading another's heads)."""
    net = seeded_net(seed, arch="squares", config={"channels": channels, "blocks": 3, "keys": 4, "reach": reach})
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for p in net.parameters():
            p.copy_(0.3 * torch.randn(p.shape, generator=generator))
    return net.eval()


@pytest.fixture(scope="module")
def turn():
    """Square codes and legal entries of 40 positions of random dark games."""
    batch = GameBatch(40, rules="dark", observation="own", dtype="uint8", seed=2)
    for _ in range(9):
        batch.step(batch.random_actions())
    return batch.gather(np.arange(40), observations=False, codes=True)


@pytest.mark.parametrize("precision", ["bfloat16", "float32"])
@pytest.mark.parametrize("reach", [1, 0])
@pytest.mark.parametrize("counts", [[13, 27, 0], [1, 1, 38], [40, 0, 0], [0, 25, 15]])
def test_each_network_gets_the_logits_of_its_own_pass(turn, precision, reach, counts):
    nets = [acting_copy(network(seed, reach), precision) for seed in (1, 2, 3)]
    with torch.inference_mode():
        got = StackedSquares(nets).legal_logits_of_codes(turn.codes, counts, turn.rows, turn.slots)
        rows = turn.rows.numpy()
        start = 0
        for net, k in zip(nets, counts):
            at = (rows >= start) & (rows < start + k)
            alone = net.legal_logits_of_codes(turn.codes[start: start + k], turn.rows[at] - start, turn.slots[at])
            torch.testing.assert_close(got[torch.from_numpy(at)], alone, rtol=1e-4, atol=1e-4)
            start += k


def test_refusals(turn):
    nets = [network(1), network(2)]
    stacked = StackedSquares(nets)
    with pytest.raises(ValueError, match="split the 40 positions"):
        stacked.legal_logits_of_codes(turn.codes, [20, 19], turn.rows, turn.slots)
    with pytest.raises(ValueError, match="split the 40 positions"):
        stacked.legal_logits_of_codes(turn.codes, [20, 10, 10], turn.rows, turn.slots)
    with pytest.raises(ValueError, match="ascending"):
        stacked.legal_logits_of_codes(turn.codes, [20, 20], turn.rows.flip(0), turn.slots.flip(0))
    with pytest.raises(ValueError, match="same architecture"):
        StackedSquares([network(1), network(2, channels=4)])
    with pytest.raises(ValueError, match="same architecture"):
        StackedSquares([network(1), acting_copy(network(2), "bfloat16")])


def test_a_weight_changed_in_place_is_read_again(turn):
    nets = [network(1), network(2)]
    stacked = StackedSquares(nets)
    with torch.inference_mode():
        before = stacked.legal_logits_of_codes(turn.codes, [20, 20], turn.rows, turn.slots)
    with torch.no_grad():
        nets[1].convs[2].weight.mul_(2)
    with torch.inference_mode():
        after = stacked.legal_logits_of_codes(turn.codes, [20, 20], turn.rows, turn.slots)
    first = turn.rows < 20
    assert torch.equal(before[first], after[first]) and not torch.equal(before[~first], after[~first])


def pool_schedule(games):
    """A learner (player 0) against a random player (1) and three networks (2 to 4), each of
    which never meets the others: the three decide together."""
    return [(g, 0, 1 + g % 4) if g % 2 else (g, 1 + g % 4, 0) for g in range(games)]


def pool_players():
    return [NetPlayer(network(10), precision="bfloat16"), RandomPlayer()] + \
        [NetPlayer(network(seed), precision="bfloat16") for seed in (11, 12, 13)]


def segment(schedule, slots, stacking, monkeypatch):
    monkeypatch.setattr(arena, "STACKING", stacking)
    with Ledger() as ledger:
        shard = play_segment(GameConfig("dark", "own", 60), schedule, pool_players(), slots, seed=7)
    return shard, ledger.counts["forward calls"]


def test_stacked_players_play_the_games_they_would_play_alone(monkeypatch):
    """With every game in a slot from the start, the networks deciding together draw the same
    moves, in the same order, from the same logits (up to rounding) as deciding one after the
    other."""
    schedule = pool_schedule(16)
    stacked, calls = segment(schedule, 16, "apart", monkeypatch)
    alone, calls_alone = segment(schedule, 16, None, monkeypatch)
    assert sorted(stacked) == sorted(alone)
    for key in alone:
        if key == "logp":
            np.testing.assert_allclose(stacked[key], alone[key], rtol=1e-4, atol=1e-5)
        else:
            assert np.array_equal(stacked[key], alone[key]), key
    assert calls < calls_alone


def test_stacked_players_with_games_restarting_mid_round(monkeypatch):
    """Slots that take new games as theirs end: every row is its game's own and the mover's."""
    schedule = pool_schedule(20)
    shard, _ = segment(schedule, 6, "shape", monkeypatch)
    players = {g: (w, b) for g, w, b in schedule}

    def mover(row, replay):
        white, black = players[int(shard["game"][row])]
        assert int(shard["player"][row]) == (white if int(shard["ply"][row]) % 2 == 0 else black)
        assert float(shard["logp"][row]) <= 0

    assert check_replayed(shard, 60, mover) == int(shard["game_plies"].sum())


@pytest.mark.parametrize("schedule, players, apart, shape", [
    # The learner meets every pool member; the members never meet one another.
    ([(0, 0, 2), (1, 3, 0), (2, 0, 4)], ["net", "bot", "net", "net", "net"], [[0], [1], [2, 3, 4]],
     [[0, 2, 3, 4], [1]]),
    # Two networks that meet decide apart, unless all of one shape decide together.
    ([(0, 0, 1), (1, 1, 2)], ["net", "net", "net"], [[0], [1], [2]], [[0, 1, 2]]),
    ([(0, 0, 1), (1, 2, 0)], ["net", "net", "net"], [[0], [1, 2]], [[0, 1, 2]]),
    # A player of another kind between them breaks a run, not a shape; another shape is apart.
    ([(0, 0, 1), (1, 0, 2), (2, 0, 3)], ["net", "net", "bot", "net"], [[0], [1], [2], [3]], [[0, 1, 3], [2]]),
    ([(0, 0, 1), (1, 0, 2)], ["net", "net", "small"], [[0], [1], [2]], [[0, 1], [2]]),
])
@pytest.mark.parametrize("stacking", ["apart", "shape"])
def test_which_players_decide_together(schedule, players, apart, shape, stacking, monkeypatch):
    monkeypatch.setattr(arena, "STACKING", stacking)
    units = apart if stacking == "apart" else shape
    made = {"net": lambda i: NetPlayer(network(i)), "small": lambda i: NetPlayer(network(i, channels=4)),
            "bot": lambda i: GreedyPlayer()}
    objects = [made[kind](i) for i, kind in enumerate(players)]
    found = arena._stacked_units(list(range(len(players))), objects, schedule)
    assert [unit for unit, _ in found] == units
    assert all((decider is objects[unit[0]]) == (len(unit) == 1) for unit, decider in found)
