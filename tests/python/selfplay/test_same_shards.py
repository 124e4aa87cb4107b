"""A segment's shard, byte for byte, against the digests of the shards that the segment loop
before the native one made from the same arguments: with networks of one shape deciding together
only where they never meet ("apart"), as that loop had them. Where all of one shape decide
together ("shape", the default), a game between two of them moves once a round rather than
twice, and the games change by design: their digests are pinned too.

The players are those whose every number is the same on any machine: random play, the greedy
and bold bots, a player of the user's own, and small networks whose weights are small integers,
so that every sum in their passes is exact in float32 whatever order a kernel adds in. Any
change to the order of the games, the draws or the rows changes a digest.

QUELLOR_PRINT_DIGESTS=1 prints the digests the current code makes, for a change that reorders
the games on purpose.
"""

import hashlib
import os

import numpy as np
import pytest
import torch

from quellor_selfplay import arena
from quellor_selfplay.arena import play_segment
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.config import GameConfig
from quellor_selfplay.net import build_net
from quellor_selfplay.players import NetPlayer, RandomPlayer


class FirstLegal:
    """A player of the user's own that reads observations and masks: the legal slot whose
    square holds the most ones in the newest frame, the first of equals."""

    uses_random_actions = False

    def act(self, observations, masks, generator, random_slots):
        weight = observations[:, :, 91:104].float().sum(dim=2).repeat(1, 68)[:, : masks.shape[1]]
        scores = torch.where(masks, weight, torch.full_like(weight, -1.0))
        return scores.argmax(dim=1).numpy().astype(np.int64), np.zeros(len(masks), np.float32)


def exact_net(arch, seed, **sizes):
    """A network whose weights are -1/8, 0 or 1/8: its passes are exact in float32, and its
    logits small enough that its draws differ from game to game."""
    net = build_net(arch, sizes)
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for p in net.parameters():
            p.copy_(torch.randint(-1, 2, p.shape, generator=generator).float() / 8)
    return NetPlayer(net)


def square(seed):
    return exact_net("squares", seed, channels=4, blocks=2, keys=4, reach=1)


def digest(shard):
    h = hashlib.sha256()
    for key in sorted(shard):
        array = np.ascontiguousarray(shard[key])
        h.update(f"{key}:{array.dtype.str}:{array.shape}".encode())
        h.update(array.tobytes())
    return h.hexdigest()[:24]


def alternating(games, a, b):
    return [(g, a, b) if g % 2 == 0 else (g, b, a) for g in range(games)]


def league(games):
    """A training run's schedule: the learner (0) against itself, two pool networks (1, 2) that
    never meet and the greedy bot (3)."""
    kinds = [(0, 0), (0, 1), (1, 0), (0, 2), (2, 0), (0, 3), (3, 0)]
    return [(g, *kinds[g % len(kinds)]) for g in range(games)]


def segments(case):
    """The shards of one case, as (name, shard) pairs."""
    if case == "random-greedy":
        yield "", play_segment(GameConfig("dark", "own", None), alternating(24, 0, 1),
                               [RandomPlayer(), GreedyPlayer()], 8, seed=1)
    elif case == "bots-legal-history":
        schedule = [(g, g % 3, (g + 1 + g // 3) % 3) for g in range(18)]
        yield "", play_segment(GameConfig("legal", "history", 60), schedule,
                               [GreedyPlayer(bold=True), GreedyPlayer(), RandomPlayer()], 5, seed=2)
    elif case == "league":
        players = [square(10), square(11), square(12), GreedyPlayer()]
        yield "", play_segment(GameConfig("dark", "own", 80), league(21), players, 6, seed=3)
    elif case == "mlp-user-fen":
        fen = "r3k2r/pppq1ppp/2n2n2/3pp3/3PP3/2N2N2/PPPQ1PPP/R3K2R w KQkq - 0 1"
        players = [exact_net("mlp", 7, hidden=8), FirstLegal(), RandomPlayer()]
        schedule = [(g, g % 3, (g + 2) % 3) for g in range(9)]
        yield "", play_segment(GameConfig("dark", "history", 40, fen), schedule, players, 4, seed=4)
    elif case == "carried":
        players = [square(20), square(21), GreedyPlayer()]
        first = [(g, 0, 1 + g % 2) for g in range(10)]
        early = [(g, 1 + g % 2, 0) for g in range(6)]
        one = play_segment(GameConfig("dark", "own", 70), first, players, 4, seed=5, early=early)
        yield "one", one
        carried = {k: v for k, v in one.items() if k.startswith("carry_")}
        handed = set(carried["carry_game"].tolist())
        rest = [(g, w, b) for g, w, b in early if g not in handed] + [(g, 0, 2) for g in range(6, 11)]
        yield "two", play_segment(GameConfig("dark", "own", 70), rest, players, 6, seed=6, carried=carried)


DIGESTS = {
    "random-greedy": "726de0390837c09be930a6e4",
    "bots-legal-history": "9a5ccc27cbb3d0bc457d14ca",
    "league": "3ffecedc51c917508923073f",
    "mlp-user-fen": "7b215a47473c5fd74749b493",
    "carried:one": "7f6122b6649d4537eeed5e6c",
    "carried:two": "a277e0c9b858f1867f6610c5",
}
# The cases whose networks meet, with all of one shape deciding together.
SHAPE_DIGESTS = {
    "league": "c83ee7d7ec94049d378e84fc",
    "carried:one": "a9ea7080265ec4b6ce2a7a4c",
    "carried:two": "f49c7a4acf72345f6c6d46e3",
}

CASES = ["random-greedy", "bots-legal-history", "league", "mlp-user-fen", "carried"]


@pytest.mark.parametrize("stacking", ["apart", "shape"])
@pytest.mark.parametrize("case", CASES)
def test_the_same_arguments_make_the_same_shard(case, stacking, monkeypatch):
    monkeypatch.setattr(arena, "STACKING", stacking)
    found = {f"{case}:{name}" if name else case: digest(shard) for name, shard in segments(case)}
    if os.environ.get("QUELLOR_PRINT_DIGESTS"):
        print(stacking, found)
    expected = {**DIGESTS, **SHAPE_DIGESTS} if stacking == "shape" else DIGESTS
    assert found == {k: expected[k] for k in found}
