"""Network checkpoints: round trips of both architectures, old files, and refusals."""

import pickle

import pytest
import torch

from quellor_selfplay.net import (
    CHECKPOINT_KIND,
    CheckpointError,
    PolicyValueNet,
    load_checkpoint,
    read_checkpoint,
    save_checkpoint,
    seeded_net,
)


def same_weights(a, b):
    sa, sb = a.state_dict(), b.state_dict()
    return sa.keys() == sb.keys() and all(torch.equal(sa[k], sb[k]) for k in sa)


@pytest.mark.parametrize("arch, config", [("mlp", {"hidden": 12}), ("squares", {"channels": 6, "blocks": 3, "keys": 5}),
                                          ("squares", {"channels": 6, "blocks": 4, "keys": 5, "reach": 1})])
def test_checkpoint_round_trip(tmp_path, arch, config):
    net = seeded_net(seed=4, arch=arch, config=config)
    save_checkpoint(net, tmp_path / "net.pt", observation="own", iteration=7)
    loaded, blob = read_checkpoint(tmp_path / "net.pt")
    assert type(loaded) is type(net) and loaded.config == config
    assert same_weights(net, loaded)
    assert blob["observation"] == "own" and blob["iteration"] == 7 and blob["arch"] == arch
    assert [p.name for p in tmp_path.iterdir()] == ["net.pt"]


def test_an_old_checkpoint_is_an_mlp(tmp_path):
    """Checkpoints written before architectures had names hold only the hidden width."""
    net = seeded_net(seed=4, hidden=12)
    torch.save({"kind": CHECKPOINT_KIND, "hidden": 12, "state_dict": net.state_dict()}, tmp_path / "old.pt")
    loaded = load_checkpoint(tmp_path / "old.pt")
    assert isinstance(loaded, PolicyValueNet) and loaded.hidden == 12
    assert same_weights(net, loaded)


@pytest.mark.parametrize("config", [{}, {"blocks": 3, "reach": 1}])
def test_a_fresh_squares_network_plays_uniformly_and_compiles(config):
    net = seeded_net(seed=1, arch="squares", config=config)
    observations = torch.randint(0, 2, (3, 64, 106), dtype=torch.uint8)
    logits, values = net(observations)
    assert logits.shape == (3, 4352) and values.shape == (3,)
    assert torch.equal(logits, torch.zeros_like(logits))
    # A user can export it as TorchScript and play that instead.
    with pytest.warns(DeprecationWarning):  # TorchScript, deprecated in torch 2.13, still works
        scripted = torch.jit.script(net)
    assert torch.equal(scripted(observations)[1], values)


def test_seeded_net_depends_on_the_seed_only_and_leaves_torch_rng_alone():
    torch.manual_seed(5)
    expected = torch.rand(4)
    torch.manual_seed(5)
    first = seeded_net(seed=1, hidden=8)
    assert torch.equal(torch.rand(4), expected)
    assert same_weights(first, seeded_net(seed=1, hidden=8))
    assert not same_weights(first, seeded_net(seed=2, hidden=8))


class Payload:
    """Unpickling this would run code: a checkpoint must never be read that way."""

    def __reduce__(self):
        return (exec, ("raise SystemExit('code from a checkpoint ran')",))


def write_blob(path, blob):
    torch.save(blob, path)


def good_state(hidden=6):
    return PolicyValueNet(hidden).state_dict()


@pytest.mark.parametrize(
    "make, message",
    [
        (None, "does not exist"),
        (lambda p: p.write_bytes(b"not a checkpoint at all"), "cannot be read"),
        (lambda p: p.write_bytes(pickle.dumps(Payload())), "cannot be read"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 6, "state_dict": good_state(),
                                  "extra": Payload()}), "cannot be read"),
        (lambda p: write_blob(p, [1, 2, 3]), "is not a quellor-policy-value checkpoint"),
        (lambda p: write_blob(p, {"kind": "other", "hidden": 6, "state_dict": good_state()}),
         "is not a quellor-policy-value checkpoint"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 0, "state_dict": {}}),
         "no valid hidden width"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": True, "state_dict": {}}),
         "no valid hidden width"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 6, "state_dict": [1]}),
         "has no state_dict"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 7, "state_dict": good_state()}),
         "does not fit the network"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 6, "state_dict": {}}),
         "does not fit the network"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "arch": "transformer", "state_dict": {}}),
         "unknown architecture 'transformer'"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "arch": "squares", "config": {"channels": 0},
                                  "state_dict": {}}), "has no valid sizes"),
        (lambda p: write_blob(p, {"kind": CHECKPOINT_KIND, "hidden": 6, "state_dict": good_state(),
                                  "observation": "all"}), "names an unknown observation 'all'"),
    ],
    ids=["missing", "garbage", "pickled-code", "code-inside", "list", "other-kind",
         "zero-hidden", "bool-hidden", "state-not-dict", "wrong-shapes", "empty-state", "unknown-arch",
         "zero-channels", "unknown-observation"],
)
def test_bad_checkpoints_are_refused(tmp_path, make, message):
    path = tmp_path / "net.pt"
    if make is not None:
        make(path)
    with pytest.raises(CheckpointError, match=message):
        load_checkpoint(path)


@pytest.mark.parametrize("dtype", [torch.uint8, torch.float32])
def test_legal_logits_are_the_forward_logits(dtype):
    """The player's shortcut through the MLP (non-zero inputs, legal slots only) gives the
    logits of the whole forward pass, for 0/1 planes and for any other values."""
    net = seeded_net(seed=3, hidden=24)
    generator = torch.Generator().manual_seed(0)
    observations = (torch.rand((5, 64, 106), generator=generator) < 0.1).to(dtype)
    if dtype == torch.float32:
        observations = observations * torch.rand((5, 64, 106), generator=generator) * 3
    masks = torch.rand((5, 4352), generator=generator) < 0.01
    rows, slots = masks.nonzero(as_tuple=True)
    full, _ = net(observations)
    assert torch.allclose(net.legal_logits(observations, rows, slots), full[rows, slots], atol=1e-5)
    # A changed weight is seen at once: nothing stale is kept.
    with torch.no_grad():
        net.body[1].weight.mul_(2)
    full, _ = net(observations)
    assert torch.allclose(net.legal_logits(observations, rows, slots), full[rows, slots], atol=1e-5)
