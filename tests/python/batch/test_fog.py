"""The own-view observation leaks nothing: what the mover never saw cannot change it.

A game is played at random under the fog-of-war rules. Then its start position is altered only
where the side to move at the end never looked: an enemy piece on a square hidden in every
frame the mover ever had (and that no move of the game touched) is moved to another such
square or replaced by another kind, and the same moves are replayed. The mover's observation
must come out the same, and so must its legal-action mask: under these rules the moves a side
may make depend only on squares it sees.
"""

import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import oracle
from support.fog import STARTS, unseen_change


@settings(max_examples=100 if os.environ.get("QUELLOR_ASAN") else 400, derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(start=st.sampled_from(STARTS), seed=st.integers(0, 2**32), plies=st.integers(2, 40), data=st.data())
def test_unseen_changes_leave_observation_and_mask(start, seed, plies, data):
    games = unseen_change(start, seed, plies, data)
    if games is None:
        return
    batch, altered = games
    white = bool(batch.to_move[0])
    assert altered.fen(0) != batch.fen(0)
    assert bool(altered.to_move[0]) == white and not altered.terminated[0]
    assert np.array_equal(altered.observation[0].numpy(), batch.observation[0].numpy())
    assert np.array_equal(altered.legal_action_mask[0].numpy(), batch.legal_action_mask[0].numpy())
    oracle.count("batch/fog invariant positions tried", 1)
