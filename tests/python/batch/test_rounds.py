"""The batch module's round bookkeeping (Batch.turn, record, play_turn and settle), which the
arena drives a player's turn at a time, against the same bookkeeping done with numpy on the
batch's public outputs."""

import chess
import numpy as np
import pytest

from quellor_selfplay import GameBatch
from quellor_selfplay.codes import ENDINGS, FRAME_CHANNELS, MASK_BYTES


def schedule_of(slots, white_of, black_of, required):
    total = len(white_of)
    return (np.arange(slots, dtype=np.int64), np.asarray(white_of, np.uint8), np.asarray(black_of, np.uint8),
            required, np.array([slots], np.int64), np.zeros(total, np.int8), np.zeros(total, np.uint8),
            np.zeros(total, np.int32))


def gathered(k):
    """Newest frames and packed masks of k games, as a gather gives them."""
    return np.zeros((k, FRAME_CHANNELS + 1), np.int64), np.zeros((k, MASK_BYTES), np.uint8)


def row_buffers(k):
    return (np.empty(k, np.int64), np.empty(k, np.int32), np.empty(k, np.bool_), np.empty(k, np.int16),
            np.empty(k, np.float32), np.empty(k, np.uint8), np.empty((k, FRAME_CHANNELS), np.int64),
            np.empty(k, np.uint8), np.empty((k, MASK_BYTES), np.uint8))


@pytest.mark.parametrize("slots, entries, required, players, rules, max_plies", [
    (5, 13, 9, 3, "dark", 12),
    (4, 4, 4, 1, "dark", 30),
    (6, 15, 15, 2, "legal", 10),
    (3, 9, 2, 2, "dark", 7),
])
def test_the_rounds_are_the_numpy_bookkeeping_of_the_same_games(slots, entries, required, players, rules, max_plies):
    """Round after round, for every player: the slots of its turn, the rows recorded of them,
    the moves played and the games ended and started are what numpy finds in the batch's
    outputs, until the segment's own games are over."""
    rng = np.random.default_rng(slots * entries)
    batch = GameBatch(slots, rules=rules, max_plies=max_plies, seed=slots)
    core = batch._core
    white_of, black_of = rng.integers(0, players, entries), rng.integers(0, players, entries)
    schedule = schedule_of(slots, white_of, black_of, required)
    job, _, _, _, waiting, results, endings, lengths = schedule
    terminated, truncated = batch.terminated.numpy(), batch.truncated.numpy()
    to_move, plies, last_move = batch.to_move.numpy(), batch.plies.numpy(), batch.last_move.numpy()
    ended_seen = 0
    for _ in range(200):
        for p in range(players):
            playing = (job >= 0) & ~(terminated | truncated)
            found = core.turn(p, schedule)
            if not (playing & (job < required)).any():
                assert found is None
                break
            live = np.frombuffer(found, np.int64)
            movers = np.where(to_move, white_of[np.maximum(job, 0)], black_of[np.maximum(job, 0)])
            assert live.tolist() == np.flatnonzero(playing & (movers == p)).tolist()
            if not live.size:
                continue
            actions = batch.random_actions().numpy()[live]
            log_probs = rng.random(live.size).astype(np.float32)
            rows = row_buffers(live.size)
            turn = batch.gather(live, observations=False)
            core.record(live, actions, log_probs, np.full(live.size, p, np.uint8), turn.newest, turn.mask_bits,
                        schedule, rows)
            expected = (job[live], plies[live], to_move[live], actions, log_probs, np.full(live.size, p),
                        turn.newest[:, :FRAME_CHANNELS], turn.newest[:, FRAME_CHANNELS], turn.mask_bits)
            assert all(np.array_equal(got, want) for got, want in zip(rows, expected))

            before = plies.copy()
            moves = np.empty(live.size, np.int16)
            core.play_turn(live, actions, False, moves)
            assert np.array_equal(moves, last_move[live])
            others = np.setdiff1d(np.arange(slots), live)
            assert np.array_equal(plies[others], before[others]) and np.array_equal(plies[live], before[live] + 1)

            over = live[(terminated | truncated)[live]]
            jobs_over = job[over].copy()
            outcome = (batch.result.numpy()[over].copy(), batch.ending.numpy()[over].copy(), plies[over].copy())
            first = int(waiting[0])
            words = core.settle(live, schedule)
            assert (words is None) == (len(over) == 0)
            ended, started, idle = (np.frombuffer(w, np.int64) for w in words or (b"", b"", b""))
            assert ended.tolist() == jobs_over.tolist()
            assert [results[jobs_over].tolist(), endings[jobs_over].tolist(), lengths[jobs_over].tolist()] == \
                [o.tolist() for o in outcome]
            fresh = min(len(over), entries - first)
            assert started.tolist() == over[:fresh].tolist() and idle.tolist() == over[fresh:].tolist()
            assert job[started].tolist() == list(range(first, first + fresh)) and (job[idle] == -1).all()
            assert (plies[started] == 0).all() and int(waiting[0]) == first + fresh
            ended_seen += len(ended)
        else:
            continue
        break
    else:
        pytest.fail("the segment's games did not end")
    assert ended_seen >= required


def test_round_calls_refuse_what_would_reach_outside_their_buffers():
    batch = GameBatch(3, seed=1)
    core = batch._core
    good = schedule_of(3, [0, 1, 0, 1], [1, 0, 1, 0], 2)

    def changed(index, value):
        return tuple(value if i == index else item for i, item in enumerate(good))

    cases = [
        (lambda: core.turn(0, good[:7]), TypeError, "tuple of 8"),
        (lambda: core.turn(256, good), ValueError, "player 256"),
        (lambda: core.turn(0, changed(0, np.array([0, 1, 4], np.int64))), ValueError, "slot 2 plays entry 4 of 4"),
        (lambda: core.turn(0, changed(0, np.array([0, 1], np.int64))), ValueError, "expected 3 items"),
        (lambda: core.turn(0, changed(2, np.zeros(3, np.uint8))), ValueError, "black_of: expected 4 items"),
        (lambda: core.turn(0, changed(3, 5)), ValueError, "5 required entries of 4"),
        (lambda: core.turn(0, changed(4, np.array([5], np.int64))), ValueError, "next entry 5"),
        (lambda: core.turn(0, changed(5, np.zeros(4, np.int32))), TypeError, "results"),
        (lambda: core.record(np.array([3]), np.zeros(1, np.int64), np.zeros(1, np.float32), np.zeros(1, np.uint8),
                             *gathered(1), good, row_buffers(1)), IndexError, "out of range"),
        (lambda: core.record(np.array([0]), np.zeros(1, np.int64), np.zeros(1, np.float32), np.zeros(1, np.uint8),
                             *gathered(1), good, row_buffers(2)), ValueError, "job: expected 1 items"),
        (lambda: core.record(np.array([0]), np.zeros(1, np.int64), np.zeros(1, np.float32), np.zeros(1, np.uint8),
                             *gathered(1), changed(0, np.array([-1, 1, 2], np.int64)), row_buffers(1)), ValueError,
         "slot 0 plays no game"),
        (lambda: core.play_turn(np.array([0]), np.array([4351]), False, np.empty(1, np.int16)), ValueError,
         "not a legal slot"),
        (lambda: core.play_turn(np.array([0]), np.array([12]), True, np.empty(1, np.int16)), ValueError,
         "not legal"),
        (lambda: core.play_turn(np.array([0, 1]), np.array([1]), False, np.empty(2, np.int16)), ValueError,
         "actions: expected 2 items"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    # A refused turn changes nothing.
    assert batch.plies.tolist() == [0, 0, 0]


def test_a_slot_whose_start_has_no_move_ends_every_game_it_takes_at_once():
    """Settling restarts a slot with the next entry and ends it again while it is over at once:
    a slot starting from a stalemate runs through every entry left, each ended at ply 0, and
    stays idle; the other slots keep their games."""
    stalemate, start = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", chess.STARTING_FEN
    batch = GameBatch(3, rules="legal", seed=1, fens=[start, stalemate, start])
    schedule = schedule_of(3, [0] * 6, [0] * 6, 6)
    job, _, _, _, waiting, results, endings, lengths = schedule
    ended, started, idle = (np.frombuffer(w, np.int64) for w in batch._core.settle(np.arange(3), schedule))
    assert ended.tolist() == [1, 3, 4, 5] and started.tolist() == [1, 1, 1] and idle.tolist() == [1]
    assert job.tolist() == [0, -1, 2] and int(waiting[0]) == 6
    assert lengths[[1, 3, 4, 5]].tolist() == [0] * 4 and results[[1, 3, 4, 5]].tolist() == [0] * 4
    assert endings[[1, 3, 4, 5]].tolist() == [ENDINGS.index("stalemate")] * 4
    assert batch._core.settle(np.arange(3)[[0, 2]], schedule) is None
