"""A million game steps through GameBatch, and every other call thousands of times, leave
live objects and resident memory where they were. Under AddressSanitizer resident memory is not
compared (its quarantine holds freed memory on purpose)."""

import gc
import sys

import numpy as np
import pytest

from quellor_selfplay import GameBatch
from support.leaks import OBJECT_SLACK, RSS_SLACK, UNDER_ASAN, rss

GAMES = 50
# A million game steps; a fifth of that under AddressSanitizer, which does not compare memory.
GAME_STEPS = 200_000 if UNDER_ASAN else 1_000_000


def churn(batch, rounds):
    bad = np.zeros(GAMES, dtype=np.int64)
    for r in range(rounds):
        batch.step(batch.random_actions())
        if r % 50 == 0:
            batch.fen(r % GAMES)
            batch.legal_moves(r % GAMES)
            batch.packed_observation()
            try:
                batch.game(r % GAMES)
            except ValueError:  # a position SelfPlayGame does not read (a king taken, say)
                pass
            batch.reset(games=np.arange(GAMES) % 7 == r % 7)
            with pytest.raises(ValueError):
                batch.step(bad - 1)
        if r % 500 == 0:
            GameBatch(8, dtype="float32", max_plies=5).play_random(10)


@pytest.mark.parametrize("rules", ["dark", "legal"])
def test_a_million_steps_leave_memory_flat(rules):
    batch = GameBatch(GAMES, rules=rules, max_plies=80, auto_reset=True, seed=1)
    churn(batch, 2000)
    gc.collect()
    objects, blocks, before = len(gc.get_objects()), sys.getallocatedblocks(), rss()
    churn(batch, GAME_STEPS // GAMES)
    gc.collect()
    assert len(gc.get_objects()) - objects < OBJECT_SLACK
    assert sys.getallocatedblocks() - blocks < OBJECT_SLACK
    if not UNDER_ASAN:
        assert rss() - before < RSS_SLACK
