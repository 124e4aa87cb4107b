"""The native round loop (the batch module's Segment), which the arena drives a turn at a time,
against the same bookkeeping done with numpy on the batch's public outputs: whose turn it is and
in which games, the rows recorded, the games ended and the slots that take the next ones."""

import chess
import numpy as np
import pytest
import torch

from quellor_selfplay import GameBatch, _batch
from quellor_selfplay.batch import native
from quellor_selfplay.codes import ENDINGS, FRAME_CHANNELS, code_slot
from quellor_selfplay.data import CARRY_FIELDS, GAME_FIELDS, ROW_FIELDS, pack_masks


def segment_of(batch, white_of, black_of, required, units, reads=None, games=None):
    total = len(white_of)
    ids = np.arange(total, dtype=np.int64) * 3 if games is None else np.asarray(games, np.int64)
    return _batch.Segment(native(batch), ids, np.asarray(white_of, np.uint8), np.asarray(black_of, np.uint8), required,
                          units, reads or [0] * len(units), None, None)


def assembled(segment, required, carries=False):
    rows, carried_rows, started = segment.finish()
    shard = {k: np.empty((rows, *shape), dtype) for k, (dtype, shape) in ROW_FIELDS.items()}
    shard.update({k: np.empty(required, dtype) for k, dtype in GAME_FIELDS.items()})
    handed = None
    if carries:
        sizes = [started - required] * 4 + [carried_rows] * 4
        shard.update({k: np.empty(n, dtype) for (k, dtype), n in zip(CARRY_FIELDS.items(), sizes)})
        keys = list(CARRY_FIELDS)
        handed = (tuple(shard[k] for k in keys[:4]), tuple(shard[k] for k in keys[4:]))
    segment.assemble(tuple(shard[k] for k in ROW_FIELDS), tuple(shard[k] for k in GAME_FIELDS), handed)
    return shard


@pytest.mark.parametrize("slots, entries, required, players, rules, max_plies", [
    (5, 13, 9, 3, "dark", 12),
    (4, 4, 4, 1, "dark", 30),
    (6, 15, 15, 2, "legal", 10),
    (3, 9, 2, 2, "dark", 7),
])
def test_the_rounds_are_the_numpy_bookkeeping_of_the_same_games(slots, entries, required, players, rules, max_plies):
    """Turn after turn: the player whose turn it is, its games and what the turn holds of them,
    the games ended and the slots restarted are what numpy finds in the batch's outputs, round
    by round until the segment's own games are over; the shard then holds every row in game
    then ply order as the turns showed them."""
    rng = np.random.default_rng(slots * entries)
    batch = GameBatch(slots, rules=rules, max_plies=max_plies, seed=slots)
    white_of, black_of = rng.integers(0, players, entries), rng.integers(0, players, entries)
    segment = segment_of(batch, white_of, black_of, required, [[p] for p in range(players)],
                         reads=[int(_batch.READ_MASKS | _batch.READ_RANDOM)] * players)
    job = np.arange(slots)
    waiting = slots
    terminated, truncated = batch.terminated.numpy(), batch.truncated.numpy()
    to_move, plies, last_move = batch.to_move.numpy(), batch.plies.numpy(), batch.last_move.numpy()
    assert segment.start(None) == []
    rows = {}  # (entry, ply) -> what the row must hold
    lengths = {}
    p = 0  # whose turn comes next in the round
    for _ in range(2000):
        playing = (job >= 0) & ~(terminated | truncated)
        if not (playing & (job < required)).any():
            assert segment.turn() is None
            break
        movers = np.where(to_move, white_of[np.maximum(job, 0)], black_of[np.maximum(job, 0)])
        # The next player in the round with a game to move in: every going game has a mover.
        for _ in range(players):
            mover, p = p, (p + 1) % players
            live = np.flatnonzero(playing & (movers == mover))
            if live.size:
                break
        unit, games, counts, white, ids, legal, newest, seen, codes, masks, drawn, beliefs = segment.turn()
        games = np.frombuffer(games, np.int64)
        assert (unit, games.tolist(), counts) == (mover, live.tolist(), (len(live),))
        assert np.frombuffer(white, np.bool_).tolist() == to_move[live].tolist()
        assert np.frombuffer(ids, np.int64).tolist() == (3 * job[live]).tolist()
        mask = torch.frombuffer(masks, dtype=torch.bool).view(len(live), -1)
        assert torch.equal(mask, batch.legal_action_mask[live])
        assert np.array_equal(np.frombuffer(newest, np.int64).reshape(len(live), -1), batch.packed_newest(live).numpy())
        found = np.frombuffer(legal, np.int64).reshape(2, -1)
        assert found.tolist() == [list(r) for r in np.nonzero(mask.numpy())]
        assert seen is None and codes is None and beliefs is None
        actions = np.frombuffer(drawn, np.int64).copy()
        assert mask.numpy()[np.arange(len(live)), actions].all()
        log_probs = rng.random(len(live)).astype(np.float32)
        for j, slot in enumerate(live):
            # The move a slot plays: the first in generation order of those that take it.
            move = next(c for c in batch.legal_move_codes(slot) if code_slot(c, bool(to_move[slot])) == actions[j])
            rows[(int(job[slot]), int(plies[slot]))] = (
                int(actions[j]), float(log_probs[j]), bool(to_move[slot]), int(movers[slot]),
                batch.packed_newest([slot]).numpy()[0], pack_masks(batch.legal_action_mask[[slot]])[0], move)
        before = plies.copy()
        ended = segment.play(actions, log_probs)
        others = np.setdiff1d(np.arange(slots), live)
        assert np.array_equal(plies[others], before[others])
        assert all(last_move[s] == rows[(int(job[s]), int(before[s]))][-1] for s in live if plies[s] == before[s] + 1)
        over = [s for s in live if before[s] + 1 != plies[s] or terminated[s] or truncated[s]]
        expect = []
        for slot in over:
            lengths[int(job[slot])] = int(before[slot]) + 1
            if job[slot] < required:
                expect.append(int(before[slot]) + 1)
            job[slot] = waiting if waiting < entries else -1
            waiting += waiting < entries
        assert ended == expect
        assert all(plies[s] == 0 or job[s] == -1 for s in over)
    else:
        pytest.fail("the segment's games did not end")

    shard = assembled(segment, required)
    order = sorted(range(required), key=lambda e: 3 * e)
    assert shard["game_index"].tolist() == [3 * e for e in order]
    assert shard["game_plies"].tolist() == [lengths[e] for e in order]
    assert shard["game_white"].tolist() == [white_of[e] for e in order]
    r = 0
    for e in order:
        for ply in range(lengths[e]):
            action, logp, white, player, newest, bits, move = rows[(e, ply)]
            assert (shard["game"][r], shard["ply"][r], shard["action"][r], shard["player"][r], shard["move"][r]) == \
                (3 * e, ply, action, player, move)
            assert shard["logp"][r] == np.float32(logp) and shard["white"][r] == white
            assert np.array_equal(shard["frame"][r], newest[:FRAME_CHANNELS]) and shard["castling"][r] == newest[-1]
            assert np.array_equal(shard["mask"][r], bits)
            assert shard["value"][r] == (shard["game_result"][order.index(e)] * (1 if white else -1))
            r += 1
    assert r == len(shard["ply"])


def test_segment_calls_refuse_what_would_reach_outside_their_buffers():
    batch = GameBatch(3, seed=1)
    core = native(batch)
    ids, players = np.arange(4, dtype=np.int64), np.array([0, 1, 0, 1], np.uint8)

    def make(**changes):
        args = dict(batch=core, games=ids, white_of=players, black_of=players[::-1].copy(), required=2, units=[[0], [1]],
                    reads=[0, 0], belief_caps=None, belief_seeds=None)
        args.update(changes)
        return _batch.Segment(*args.values())

    started = make()
    started.start(None)
    cases = [
        (lambda: make(black_of=np.zeros(3, np.uint8)), ValueError, "black_of: expected 4 items"),
        (lambda: make(required=5), ValueError, "required must be in 0..4"),
        (lambda: make(games=ids[:2], white_of=players[:2], black_of=players[:2]), ValueError,
         "a segment of 2 games cannot fill 3 lanes"),
        (lambda: make(units=[[0], [256]]), ValueError, "units must be in 0..255"),
        (lambda: make(reads=[0]), ValueError, "reads: expected one for each of 2 units"),
        (lambda: make(belief_caps=[5], belief_seeds=np.zeros(8, np.uint64)), ValueError, "belief_caps"),
        (lambda: make(belief_caps=[5, 5], belief_seeds=np.zeros(3, np.uint64)), ValueError, "belief_seeds"),
        (lambda: make().turn(), RuntimeError, "has not started"),
        (lambda: started.start(None), RuntimeError, "has started already"),
        (lambda: started.play(np.zeros(1, np.int64), np.zeros(1, np.float32)), RuntimeError, "no turn is under way"),
        (lambda: make().start((np.array([2], np.int32),) + (np.zeros(1, np.int16),) * 2 + (np.zeros(1, np.float32),
                                                                                            np.zeros(1, np.uint8))),
         ValueError, "do not fit"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()
    found = started.turn()
    k = len(found[1]) // 8
    with pytest.raises(RuntimeError, match="has had no decision"):
        started.turn()
    with pytest.raises(ValueError, match=f"actions: expected {k} items"):
        started.play(np.zeros(k + 1, np.int64), np.zeros(k, np.float32))
    with pytest.raises(ValueError, match="not a legal slot"):
        started.play(np.full(k, 4351, np.int64), np.zeros(k, np.float32))
    # A refused decision changes no game.
    assert batch.plies.tolist() == [0, 0, 0]


def test_a_slot_whose_start_has_no_move_ends_every_game_it_takes_at_once():
    """Starting restarts a slot with the next entry and ends it again while it is over at once:
    a slot starting from a stalemate runs through every entry left, each ended at ply 0, and
    stays idle; the other slots keep their games."""
    stalemate, start = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", chess.STARTING_FEN
    batch = GameBatch(3, rules="legal", seed=1, fens=[start, stalemate, start])
    segment = segment_of(batch, [0] * 6, [0] * 6, 6, [[0]])
    assert segment.start(None) == [0, 0, 0, 0]
    found = segment.turn()
    assert np.frombuffer(found[1], np.int64).tolist() == [0, 2]
    assert np.frombuffer(found[4], np.int64).tolist() == [0, 6]
    shard = assembled(segment, 6)
    assert shard["game_plies"].tolist() == [0] * 6
    assert shard["game_ending"][[1, 3, 4, 5]].tolist() == [ENDINGS.index("stalemate")] * 4
