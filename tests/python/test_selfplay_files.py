"""Files of the self-play tool: network checkpoints and the training file."""

import pickle

import pytest
import torch

from quellor_selfplay import dataset
from quellor_selfplay.episode import RandomPolicy, play_game
from quellor_selfplay.net import (
    CHECKPOINT_KIND,
    CheckpointError,
    PolicyValueNet,
    load_checkpoint,
    save_checkpoint,
    seeded_net,
)


def same_weights(a, b):
    sa, sb = a.state_dict(), b.state_dict()
    return sa.keys() == sb.keys() and all(torch.equal(sa[k], sb[k]) for k in sa)


def test_checkpoint_round_trip(tmp_path):
    net = seeded_net(seed=4, hidden=12)
    save_checkpoint(net, tmp_path / "net.pt")
    loaded = load_checkpoint(tmp_path / "net.pt")
    assert loaded.hidden == 12
    assert same_weights(net, loaded)


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
    ],
    ids=["missing", "garbage", "pickled-code", "code-inside", "list", "other-kind",
         "zero-hidden", "bool-hidden", "state-not-dict", "wrong-shapes", "empty-state"],
)
def test_bad_checkpoints_are_refused(tmp_path, make, message):
    path = tmp_path / "net.pt"
    if make is not None:
        make(path)
    with pytest.raises(CheckpointError, match=message):
        load_checkpoint(path)


@pytest.fixture(scope="module")
def records():
    return [play_game(RandomPolicy(), game, seed=3, max_plies=12) for game in range(3)]


@pytest.mark.parametrize("compress", [True, False])
def test_training_file_loads_as_written(tmp_path, records, compress):
    tensors = dataset.assemble(records)
    path = tmp_path / "data.pt"
    size = dataset.write_training_file(tensors, path, compress)
    assert size == path.stat().st_size
    loaded = torch.load(path, weights_only=True)
    assert loaded.keys() == tensors.keys()
    for key in tensors:
        assert torch.equal(loaded[key], tensors[key]), key
    if not compress:  # the stored layout is the one torch can map into memory
        mapped = torch.load(path, weights_only=True, mmap=True)
        assert torch.equal(mapped["observations"], tensors["observations"])
    assert [p.name for p in tmp_path.iterdir()] == ["data.pt"]


def test_compressed_file_is_smaller(tmp_path, records):
    tensors = dataset.assemble(records)
    stored = dataset.write_training_file(tensors, tmp_path / "stored.pt", compress=False)
    deflated = dataset.write_training_file(tensors, tmp_path / "deflated.pt", compress=True)
    assert deflated * 10 < stored


def test_assembled_rows_follow_the_games(records):
    tensors = dataset.assemble(records)
    rows = sum(r.plies for r in records)
    assert tensors["observations"].shape == (rows, 64, 106)
    assert tensors["game"].tolist() == [r.game for r in records for _ in range(r.plies)]
    assert tensors["ply"].tolist() == [p for r in records for p in range(r.plies)]
    assert tensors["actions"].tolist() == [a for r in records for a in r.actions.tolist()]
    empty = dataset.assemble([])
    assert empty["observations"].shape == (0, 64, 106)
    assert all(len(t) == 0 for t in empty.values())


@pytest.mark.parametrize("compress", [True, False])
def test_a_failed_write_keeps_the_old_file(tmp_path, records, monkeypatch, compress):
    path = tmp_path / "data.pt"
    path.write_bytes(b"earlier run")

    def failing_save(obj, f, *args, **kwargs):
        if hasattr(f, "write"):
            f.write(b"half")
        else:
            with open(f, "wb") as out:
                out.write(b"half")
        raise OSError("disk full")

    monkeypatch.setattr(torch, "save", failing_save)
    with pytest.raises(OSError, match="disk full"):
        dataset.write_training_file(dataset.assemble(records), path, compress)
    assert path.read_bytes() == b"earlier run"
    assert [p.name for p in tmp_path.iterdir()] == ["data.pt"]


def test_load_training_file_checks_columns(tmp_path, records):
    tensors = dataset.assemble(records)
    good = tmp_path / "good.pt"
    dataset.write_training_file(tensors, good, compress=True)
    assert dataset.load_training_file(good)["actions"].shape == tensors["actions"].shape
    short = dict(tensors, values=tensors["values"][:-1])
    torch.save(short, tmp_path / "short.pt")
    with pytest.raises(ValueError, match="columns of different lengths"):
        dataset.load_training_file(tmp_path / "short.pt")
    torch.save({"observations": tensors["observations"]}, tmp_path / "partial.pt")
    with pytest.raises(ValueError, match="not a self-play data file"):
        dataset.load_training_file(tmp_path / "partial.pt")
