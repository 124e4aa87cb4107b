"""The faster ways the trainer plays and learns give what the plain ones give: the acting
network's shortcuts and bfloat16 copy, the learner's loss over the legal slots, the unpacking
of observations and the sampling, each against the plain computation as its oracle."""

import copy
from pathlib import Path

import numpy as np
import pytest
import torch

from quellor_selfplay.arena import play_segment
from quellor_selfplay.batch import square_codes, unpack_observation
from quellor_selfplay.codes import CASTLING_COLUMNS, OBS_COLS, OBS_ROWS, PACKED_WORDS
from quellor_selfplay.config import GameConfig, PPOConfig
from quellor_selfplay.data import pack_masks, unpack_masks
from quellor_selfplay.inference import AGREEMENT, TV_TOLERANCE, acting_copy, difference
from quellor_selfplay.learn import gather, ppo_loss, ppo_loss_legal, update
from quellor_selfplay.net import load_checkpoint, seeded_net
from quellor_selfplay.players import NetPlayer, PlayerConfig, legal_entries, masked_log_softmax, sample_entries
from quellor_selfplay.runner import Threads

TRAINED = Path(__file__).resolve().parents[3] / "docs" / "learning-run" / "final.pt"


@pytest.fixture(scope="module")
def trained():
    return load_checkpoint(TRAINED).eval()


@pytest.fixture(scope="module")
def games(trained):
    """The learner's rows of seeded games the trained network played against itself and against
    a fresh network."""
    table = GameConfig("dark", "own", 200)
    shards = [play_segment(table, [(g, 0, 0) for g in range(12)], [NetPlayer(trained)], 12, seed=21),
              play_segment(table, [(g, 0, 1) for g in range(12)], [NetPlayer(trained), NetPlayer(seeded_net(
                  1, arch="squares", config={"reach": 1}))], 12, seed=22)]
    return gather(shards)


@pytest.fixture(scope="module")
def positions(games):
    """Observations, masks, actions and log-probabilities of the first 600 of them."""
    batch = games
    picked = torch.arange(min(len(batch), 600))
    return (batch.observations(picked, "own", torch.uint8), unpack_masks(batch.masks[picked]),
            batch.actions[picked], batch.old_log_probs[picked])


def test_the_bfloat16_acting_copy_chooses_as_float32_eager_does(trained, positions):
    observations, masks, _, _ = positions
    rows, slots = legal_entries(masks)
    with torch.no_grad():
        reference = trained(observations)[0][rows, slots]
    fast = acting_copy(trained, "bfloat16")
    # The copy is the player's own: its convolutions only are bfloat16, the network is untouched.
    assert {p.dtype for p in fast.convs.parameters()} == {torch.bfloat16}
    assert {p.dtype for p in trained.parameters()} == {torch.float32}
    codes = square_codes(observations)
    # The copy as the player runs it in the arena reads square codes.
    for forward, inputs, exact in ((trained.legal_logits, observations, True), (fast.legal_logits, observations, False),
                                   (fast.legal_logits_of_codes, codes, False)):
        with torch.inference_mode():
            found = difference(reference, forward(inputs, rows, slots), rows, len(masks))
        assert found.tv <= TV_TOLERANCE and found.agreement >= AGREEMENT, found
        if exact:
            assert found.logp < 1e-4
        else:
            # Rounding does reach the policy: a copy that gave float32's figures would be no copy.
            assert found.logp > 1e-4


def test_a_bfloat16_player_samples_the_float32_players_moves(trained, positions):
    observations, masks, _, _ = positions
    plain, fast = NetPlayer(trained), NetPlayer(trained, precision="bfloat16")
    a, logp_a = plain.act(observations, masks, torch.Generator().manual_seed(3), None)
    b, logp_b = fast.act(observations, masks, torch.Generator().manual_seed(3), None)
    # The same uniform draws through two policies within 0.02 of each other in total variation.
    assert np.mean(a != b) <= 0.02
    same = a == b
    assert np.abs(logp_a[same] - logp_b[same]).max() < 0.1
    # The player's log-probabilities are those of the float32 network at the slots it drew.
    full = masked_log_softmax(plain.logits(observations), masks)
    assert np.allclose(logp_a, full[torch.arange(len(a)), torch.from_numpy(a)].numpy(), atol=1e-5)


@pytest.mark.parametrize("config", [{"channels": 8, "blocks": 2, "keys": 4, "reach": 1},
                                    {"channels": 8, "blocks": 1, "keys": 4}])
def test_the_learners_legal_slot_loss_is_the_whole_loss(positions, config):
    observations, masks, actions, old = positions
    generator = torch.Generator().manual_seed(4)
    net = seeded_net(5, arch="squares", config=config)
    with torch.no_grad():  # heads that do not start at zero, so that every slot's logit differs
        for p in net.parameters():
            p.add_(torch.randn(p.shape, generator=generator) * 0.3)
    adv, returns = torch.randn(len(masks), generator=generator), torch.randn(len(masks), generator=generator)
    results = []
    # The generic loss takes bool masks, the legal slots' loss the bits the shards keep.
    for loss_of, legal in ((ppo_loss, masks), (ppo_loss_legal, torch.from_numpy(pack_masks(masks)))):
        net.zero_grad()
        loss, stats = loss_of(net, observations.float(), legal, actions, old, adv, returns, PPOConfig())
        loss.backward()
        results.append((stats, [p.grad.clone() for p in net.parameters()]))
    (whole, whole_grads), (legal, legal_grads) = results
    assert legal == pytest.approx(whole, rel=1e-4, abs=1e-5)
    for a, b in zip(whole_grads, legal_grads):
        assert torch.allclose(a, b, rtol=1e-3, atol=1e-5)


def test_a_learner_row_whose_action_is_not_legal_is_refused(positions):
    observations, masks, actions, old = positions
    net = seeded_net(5, arch="squares", config={"channels": 8, "blocks": 1, "keys": 4})
    wrong = actions.clone()
    wrong[3] = int(torch.nonzero(~masks[3])[0])
    with pytest.raises(ValueError, match="not among its legal slots"):
        ppo_loss_legal(net, observations[:8], torch.from_numpy(pack_masks(masks[:8])), wrong[:8], old[:8],
                       torch.zeros(8), torch.zeros(8), PPOConfig())


def planes_by_shifts(packed):
    """The observation of packed words, one bit at a time: word w's bit r is row r, column w."""
    out = np.zeros((len(packed), OBS_ROWS, OBS_COLS), dtype=np.float32)
    for i, words in enumerate(packed.tolist()):
        for w, word in enumerate(words[: PACKED_WORDS - 1]):
            for r in range(OBS_ROWS):
                out[i, r, w] = (word >> r) & 1
        flags = words[PACKED_WORDS - 1]
        out[i, 0, CASTLING_COLUMNS] = flags & 1
        out[i, 1, CASTLING_COLUMNS] = (flags >> 1) & 1
    return torch.from_numpy(out)


@pytest.mark.parametrize("dtype", [torch.float32, torch.uint8])
def test_unpacking_spreads_every_bit_to_its_row_and_column(dtype):
    generator = torch.Generator().manual_seed(6)
    packed = torch.randint(-2**63, 2**63 - 1, (5, PACKED_WORDS), generator=generator, dtype=torch.int64)
    packed[:, -1] = torch.tensor([0, 1, 2, 3, 3])
    expected = planes_by_shifts(packed).to(dtype)
    assert torch.equal(unpack_observation(packed, dtype), expected)
    assert torch.equal(unpack_observation(packed[2], dtype), expected[2])
    assert torch.equal(unpack_observation(packed.view(5, 1, PACKED_WORDS), dtype), expected.view(5, 1, 64, 106))
    assert unpack_observation(packed[:0], dtype).shape == (0, OBS_ROWS, OBS_COLS)


def test_sampling_draws_each_legal_slot_at_its_probability():
    generator = torch.Generator().manual_seed(7)
    # Rows of eight slots, as legal_entries reads masks eight slots at a time.
    logits = torch.tensor([[2.0, 0.5, -1.0, 0.0, 1.0, 0.0, 0.0, 0.0], [0.0, 3.0, 3.0, -30.0, 0.0, 0.0, 0.0, -2.0]])
    masks = torch.tensor([[True, True, False, True, False, False, False, False],
                          [False, True, True, True, False, False, False, True]])
    probabilities = masked_log_softmax(logits, masks).exp().numpy()
    rows, slots = legal_entries(masks.repeat(5000, 1))
    chosen, log_probs = sample_entries(logits.repeat(5000, 1)[rows, slots], rows, slots, 10000, generator)
    chosen = chosen.reshape(5000, 2)
    for row in range(2):
        counts = np.bincount(chosen[:, row], minlength=8) / 5000
        spread = 4 * np.sqrt(probabilities[row] * (1 - probabilities[row]) / 5000) + 1e-9
        assert (np.abs(counts - probabilities[row]) <= spread).all(), (row, counts)
        assert not masks[row, torch.from_numpy(np.unique(chosen[:, row]))].logical_not().any()
    expected = masked_log_softmax(logits, masks).repeat(5000, 1)[torch.arange(10000), torch.from_numpy(chosen.ravel())]
    assert np.allclose(log_probs, expected.numpy(), atol=1e-6)
    with pytest.raises(ValueError, match="no legal slot"):
        sample_entries(torch.zeros(1), torch.tensor([1]), torch.tensor([0]), 2, generator)


def test_the_learners_update_repeats_exactly_on_several_threads(games):
    """The update's gradients are gathered so that no sum depends on how torch's threads meet:
    the same data gives the same weights every time (more threads than cores, so that they
    interleave as much as they ever will)."""
    start = seeded_net(8, arch="squares", config={"reach": 1})
    learned = []
    with Threads(4):
        for _ in range(6):
            net = copy.deepcopy(start)
            update(net, torch.optim.Adam(net.parameters(), lr=1e-3), games, "own", PPOConfig(minibatch=256, epochs=1),
                   torch.Generator().manual_seed(0), shaping=0.02)
            learned.append([p.detach().clone() for p in net.parameters()])
    assert not all(torch.equal(a, b) for a, b in zip(learned[0], start.parameters()))
    for other in learned[1:]:
        assert all(torch.equal(a, b) for a, b in zip(learned[0], other))


@pytest.mark.parametrize("which", ["trained", "trained bfloat16", "fresh without reach"])
def test_square_codes_give_the_observations_logits(trained, positions, which):
    observations, masks, _, _ = positions
    net = {"trained": trained, "trained bfloat16": acting_copy(trained, "bfloat16"),
           "fresh without reach": seeded_net(4, arch="squares", config={"channels": 8, "blocks": 2})}[which]
    if which.startswith("fresh"):
        with torch.no_grad():  # heads away from their zero start, so that the logits differ
            for p in net.parameters():
                p.add_(0.1 * torch.randn(p.shape, generator=torch.Generator().manual_seed(p.numel())))
    rows, slots = legal_entries(masks)
    codes = square_codes(observations)
    with torch.inference_mode():
        plain = net.legal_logits(observations, rows, slots)
        coded = net.legal_logits_of_codes(codes, rows, slots)
    if which.endswith("bfloat16"):
        # The stem's sums round differently, and a convolution's bfloat16 input may then round
        # the other way: the policy moves far less than the tolerance.
        found = difference(plain, coded, rows, len(masks))
        assert found.tv <= TV_TOLERANCE / 10 and found.agreement >= AGREEMENT, found
    else:
        assert torch.allclose(plain, coded, rtol=0, atol=1e-4)
    # The table of the stem's columns follows the weights as they change in place.
    first = rows < 9
    with torch.no_grad():
        net.stem.weight.mul_(0.5)
        halved = net.legal_logits(observations[:9], rows[first], slots[first])
        assert not torch.allclose(halved, plain[first], rtol=0, atol=1e-3)
        assert torch.allclose(halved, net.legal_logits_of_codes(codes[:9], rows[first], slots[first]), rtol=0, atol=1e-3)
        net.stem.weight.mul_(2.0)


@pytest.mark.parametrize("layout", ["own", "history"])
def test_the_arena_plays_the_same_games_from_square_codes_as_from_observations(trained, layout):
    """Networks that read square codes against each other and a bot, in real games: every row
    is what the same networks made of the observations, the log-probabilities up to rounding."""
    other = seeded_net(6, arch="squares", config={"channels": 8, "blocks": 2, "reach": 1})
    with torch.no_grad():
        for p in other.parameters():
            p.add_(0.1 * torch.randn(p.shape, generator=torch.Generator().manual_seed(p.numel())))
    games = [(g, [0, 1, 2][g % 3], [1, 2, 0][g % 3]) for g in range(18)]

    def play(codes):
        players = [NetPlayer(trained), NetPlayer(other), PlayerConfig.greedy().build()]
        for player in players[:2]:
            assert player.reads_codes
            player.reads_codes = codes
        return play_segment(GameConfig("dark", layout, 80), games, players, 9, seed=13)

    coded, plain = play(True), play(False)
    assert coded.keys() == plain.keys()
    for key in coded:
        if key == "logp":
            assert np.allclose(coded[key], plain[key], rtol=0, atol=1e-4)
        else:
            assert np.array_equal(coded[key], plain[key]), key
    assert len(coded["logp"]) > 300 and (coded["logp"] != 0).any()


@pytest.mark.parametrize("keys, positions", [(16, 7), (3, 1), (1, 20)])
def test_the_acting_head_is_the_learners_head_without_autograd(keys, positions):
    """The acting path's head (two linears at the entries' squares, the logits summed up in the
    batch module) against the learner's differentiable head, on heads made non-zero and on
    entries of every kind: moves from and to every square, and all four promotions."""
    net = seeded_net(5, arch="squares", config={"channels": 12, "blocks": 1, "keys": keys})
    generator = torch.Generator().manual_seed(keys)
    with torch.no_grad():
        for head in (net.source, net.target, net.query, net.key, net.promotion):
            head.weight.normal_(generator=generator)
            head.bias.normal_(generator=generator)
    squares = torch.randn(positions, 64, 12, generator=generator)
    rows = torch.sort(torch.randint(0, positions, (300,), generator=generator)).values
    slots = torch.cat([torch.randint(0, 4096, (200,), generator=generator),
                       torch.randint(4096, 4352, (100,), generator=generator)])[torch.randperm(300, generator=generator)]
    with torch.no_grad():
        fast = net.entry_logits(squares, rows, slots)
        plain = net.legal_head(squares, rows, slots)
    assert torch.allclose(fast, plain, rtol=1e-5, atol=1e-5)
    # With autograd on, the learner's head itself, whose gradient the learner needs.
    assert net.entry_logits(squares.requires_grad_(), rows, slots).requires_grad
    for rows_, slots_ in ((rows + positions, slots), (rows, slots + 4352), (rows - positions, slots)):
        with torch.no_grad(), pytest.raises(ValueError, match="not one of"):
            net.entry_logits(squares, rows_, slots_)


@pytest.mark.parametrize("config, precision", [({"reach": 1, "blocks": 3}, "bfloat16"), ({"reach": 0}, "float32"),
                                               ({"reach": 1, "blocks": 2}, "float32")])
def test_the_acting_body_is_the_learners_body_bit_for_bit(config, precision):
    net = acting_copy(seeded_net(3, arch="squares", config=config), precision)
    h = torch.relu(torch.randn(5, net.channels, 8, 8, generator=torch.Generator().manual_seed(2)))
    with torch.no_grad():
        assert torch.equal(net._acting_blocks(h.clone()), net.blocks_of(h.clone()))
