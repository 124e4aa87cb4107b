"""The batch module's work around a player's forward pass: legal entries (of bool masks and of
the learner's packed bits), packed masks, the draw of a slot and the newest packed frame, each
against a plain numpy or torch reference."""

import chess
import numpy as np
import pytest
import torch

from quellor_selfplay import GameBatch, _batch
from quellor_selfplay.batch import square_codes
from quellor_selfplay.codes import ACTION_SLOTS, CASTLING_WORD, MASK_BYTES, NEWEST_FRAME
from quellor_selfplay.data import pack_masks, unpack_masks
from quellor_selfplay.inference import legal_bit_entries, legal_entries
from quellor_selfplay.players import sample_entries


def random_masks(rows, width, density, seed):
    generator = torch.Generator().manual_seed(seed)
    masks = torch.rand(rows, width, generator=generator) < density
    masks[::3] = False  # some rows without an entry
    return masks


@pytest.mark.parametrize("rows, width, density", [(37, ACTION_SLOTS, 0.01), (5, ACTION_SLOTS, 0.5), (9, 8, 0.5),
                                                  (7, 21, 0.3), (1, ACTION_SLOTS, 0.0), (0, ACTION_SLOTS, 0.1)])
def test_legal_entries_are_the_masks_nonzero_entries(rows, width, density):
    masks = random_masks(rows, width, density, seed=rows * width)
    found = legal_entries(masks)
    expected = masks.nonzero(as_tuple=True)
    assert [t.tolist() for t in found] == [t.tolist() for t in expected]


def test_legal_entries_refuse_what_is_not_a_bool_matrix():
    with pytest.raises(ValueError, match="bool"):
        legal_entries(torch.zeros(2, ACTION_SLOTS, dtype=torch.uint8))
    with pytest.raises(ValueError, match="rows of 5 items"):
        _batch.legal_entries(np.zeros(12, dtype=np.bool_), 5)


@pytest.mark.parametrize("rows, density", [(1, 0.5), (33, 0.01), (64, 0.9)])
def test_packed_masks_are_numpys_little_endian_bits(rows, density):
    masks = random_masks(rows, ACTION_SLOTS, density, seed=rows)
    packed = pack_masks(masks)
    assert np.array_equal(packed, np.packbits(masks.numpy(), axis=1, bitorder="little"))
    assert torch.equal(unpack_masks(torch.from_numpy(packed)), masks)
    with pytest.raises(TypeError, match="bool"):
        pack_masks(masks.to(torch.uint8))


def played_masks(rules, seed):
    """The legal-action masks of a batch's games over forty plies of random play."""
    batch = GameBatch(16, rules=rules, seed=seed, max_plies=200)
    masks = []
    for _ in range(40):
        masks.append(batch.legal_action_mask.clone())
        batch.step(batch.random_actions())
    return torch.cat(masks)


@pytest.mark.parametrize("source", ["random sparse", "random dense", "all set", "dark games", "legal games", "none"])
def test_bit_entries_are_the_entries_of_the_unpacked_masks(source):
    masks = {
        "random sparse": lambda: random_masks(41, ACTION_SLOTS, 0.01, seed=3),
        "random dense": lambda: random_masks(9, ACTION_SLOTS, 0.7, seed=4),
        "all set": lambda: torch.ones(3, ACTION_SLOTS, dtype=torch.bool),
        "dark games": lambda: played_masks("dark", 5),
        "legal games": lambda: played_masks("legal", 6),
        "none": lambda: torch.zeros(0, ACTION_SLOTS, dtype=torch.bool),
    }[source]()
    bits = torch.from_numpy(pack_masks(masks))
    found = legal_bit_entries(bits)
    expected = legal_entries(unpack_masks(bits))
    assert [t.dtype for t in found] == [torch.int64, torch.int64]
    assert [t.tolist() for t in found] == [t.tolist() for t in expected]
    # Read where they lie, as a slice of a larger array.
    wider = torch.cat([torch.zeros(1, MASK_BYTES, dtype=torch.uint8), bits])
    assert [t.tolist() for t in legal_bit_entries(wider[1:])] == [t.tolist() for t in expected]


@pytest.mark.parametrize("call, error, message", [
    (lambda: legal_bit_entries(torch.zeros(2, ACTION_SLOTS, dtype=torch.bool)), ValueError, "bits must be"),
    (lambda: legal_bit_entries(torch.zeros(2, MASK_BYTES + 1, dtype=torch.uint8)), ValueError, "bits must be"),
    (lambda: legal_bit_entries(torch.zeros(MASK_BYTES, dtype=torch.uint8)), ValueError, "bits must be"),
    (lambda: _batch.bit_entries(np.zeros(MASK_BYTES + 8, dtype=np.uint8)), ValueError, "rows of 544 bytes"),
    (lambda: _batch.bit_entries(np.zeros(MASK_BYTES, dtype=np.int16)), TypeError, "unexpected item format"),
    (lambda: _batch.bit_entries(np.zeros(MASK_BYTES, dtype=np.uint8)[::2]), ValueError, "contiguous"),
    (lambda: _batch.bit_entries([0] * MASK_BYTES), TypeError, "bytes-like object is required"),
])
def test_bit_entries_refuse_what_is_not_rows_of_packed_bits(call, error, message):
    with pytest.raises(error, match=message):
        call()


def reference_draw(values, rows, k, uniform):
    """The inverse-CDF draw in float64 numpy, row by row."""
    picked, log_probs = [], []
    for r in range(k):
        entries = np.flatnonzero(rows == r)
        logits = values[entries].astype(np.float64)
        weights = np.exp(logits - logits.max())
        running = np.cumsum(weights)
        at = min(int(np.searchsorted(running, uniform[r] * running[-1], side="right")), len(entries) - 1)
        picked.append(entries[at])
        log_probs.append(logits[at] - logits.max() - np.log(running[-1]))
    return np.array(picked), np.array(log_probs)


@pytest.mark.parametrize("k, scale", [(1, 1.0), (50, 3.0), (200, 30.0)])
def test_the_draw_is_the_inverse_cdf_of_each_rows_softmax(k, scale):
    generator = torch.Generator().manual_seed(k)
    counts = torch.randint(1, 40, (k,), generator=generator)
    rows = torch.repeat_interleave(torch.arange(k), counts)
    cols = torch.randint(0, ACTION_SLOTS, (len(rows),), generator=generator)
    values = torch.randn(len(rows), generator=generator) * scale
    draw = torch.Generator().manual_seed(5)
    chosen, log_probs = sample_entries(values, rows, cols, k, draw)
    uniform = torch.rand(k, generator=torch.Generator().manual_seed(5), dtype=torch.float64).numpy()
    picked, expected = reference_draw(values.numpy(), rows.numpy(), k, uniform)
    assert chosen.tolist() == cols.numpy()[picked].tolist()
    assert np.allclose(log_probs, expected, atol=1e-6)


@pytest.mark.parametrize("values, rows, k, message", [
    ([0.0, 1.0], [1, 0], 2, "row by row"),
    ([0.0, float("nan")], [0, 1], 2, "no finite probabilities"),
    ([0.0, float("inf")], [0, 1], 2, "no finite probabilities"),
    ([0.0], [0], 2, "no legal slot"),
    ([0.0], [2], 2, "row by row"),
])
def test_the_draw_refuses_broken_entries(values, rows, k, message):
    with pytest.raises(ValueError, match=message):
        sample_entries(torch.tensor(values), torch.tensor(rows), torch.zeros(len(rows), dtype=torch.int64), k,
                       torch.Generator().manual_seed(0))


@pytest.mark.parametrize("observation", ["own", "history"])
def test_the_newest_packed_frame_is_packed_observations(observation):
    batch = GameBatch(6, rules="dark", observation=observation, seed=3)
    for _ in range(7):
        batch.step(batch.random_actions())
    whole = batch.packed_observation()
    for games in ([0, 5, 2], [4, 4], list(range(6)), []):
        newest = batch.packed_newest(games)
        assert newest.shape == (len(games), 14)
        assert torch.equal(newest[:, :13], whole[games][:, NEWEST_FRAME])
        assert torch.equal(newest[:, 13], whole[games][:, CASTLING_WORD])
    with pytest.raises(IndexError, match="out of range"):
        batch.packed_newest([6])
    with pytest.raises(IndexError, match="out of range"):
        batch.packed_newest([-1])


@pytest.mark.parametrize("dtype", ["uint8", "float32"])
def test_a_gather_is_the_separate_reads_of_the_same_games(dtype):
    batch = GameBatch(7, rules="dark", observation="history", dtype=dtype, seed=8, max_plies=9)
    for ply in range(12):  # some games end at the cap, whose masks are empty
        for games in ([3, 0, 6], [5, 5], list(range(7)), [6, 5, 4, 3, 2, 1, 0], []):
            turn = batch.gather(games)
            index = torch.tensor(games, dtype=torch.int64)
            masks = batch.legal_action_mask[index]
            assert torch.equal(turn.observations, batch.observation[index])
            assert [t.tolist() for t in (turn.rows, turn.slots)] == [t.tolist() for t in legal_entries(masks)]
            assert np.array_equal(turn.mask_bits, pack_masks(masks))
            assert np.array_equal(turn.newest, batch.packed_newest(games).numpy())
        # Every game in order reads the batch's own observations, without a copy.
        assert batch.gather(range(7)).observations is batch.observation
        batch.step(batch.random_actions())
    for wrong in ([7], [-1]):
        with pytest.raises(IndexError, match="out of range"):
            batch.gather(wrong)


@pytest.mark.parametrize("observation, dtype", [("own", "uint8"), ("history", "float32")])
def test_gathered_square_codes_say_what_the_observations_say(observation, dtype):
    castles = "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"
    batch = GameBatch(9, rules="dark", observation=observation, dtype=dtype, seed=4,
                      fens=[castles] * 3 + [chess.STARTING_FEN] * 6)
    flags = 0
    for _ in range(20):
        games = [8, 1, 4, 0, 2]
        turn = batch.gather(games, codes=True)
        alone = batch.gather(games, observations=False)
        assert alone.observations is None and alone.codes is None
        assert torch.equal(turn.codes, square_codes(batch.observation[games]))
        assert all(np.array_equal(getattr(turn, key), getattr(alone, key)) for key in ("rows", "slots", "mask_bits"))
        flags += int(turn.codes[..., -1].sum())
        batch.step(batch.random_actions())
    assert flags > 0  # castling flags were among the codes compared
