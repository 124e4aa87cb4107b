"""Damaged and hostile files: every reader names the file and what is wrong through DataError
(never a traceback from numpy, zlib or torch), --resume recovers where the data allows, and no
file runs code unless the user asked for it."""

import json
import shutil

import numpy as np
import pytest

from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import MANIFEST, DataError, SelfPlayData, game_record, game_table, read_manifest
from support.runs import load_run, same_data

SHARD = "shards/shard-00001.npz"


def run(args, capsys):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    status = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def play_args(out, *extra):
    return ["play", "--games", 5, "--max-plies", 16, "--seed", 3, "--shard-size", 2, "--batch", 2,
            "--workers", 1, "--out", out, "--no-progress", *extra]


@pytest.fixture(scope="module")
def played(tmp_path_factory):
    out = tmp_path_factory.mktemp("played")
    assert main([str(a) for a in play_args(out)]) == 0
    return out


@pytest.fixture
def copy(played, tmp_path):
    shutil.copytree(played, tmp_path / "run")
    return tmp_path / "run"


def flip(path, at=0.5, bit=3):
    raw = bytearray(path.read_bytes())
    raw[int(len(raw) * at)] ^= 1 << bit
    path.write_bytes(bytes(raw))


def edit_manifest(run_dir, change):
    manifest = json.loads((run_dir / MANIFEST).read_text())
    change(manifest)
    (run_dir / MANIFEST).write_text(json.dumps(manifest))


def object_shard(run_dir):
    """A shard holding an object array, listed with its true size and digest: only the reader's
    refusal of pickles stands between it and the reader."""
    path = run_dir / SHARD
    with np.load(path) as archive:
        arrays = {k: archive[k] for k in archive.files}
    arrays["game_result"] = np.array([{"x": 1}] * len(arrays["game_result"]), dtype=object)
    with open(path, "wb") as f:
        np.savez(f, **arrays)
    from quellor_selfplay.fileio import file_digest

    edit_manifest(run_dir, lambda m: m["shards"][1].update(bytes=path.stat().st_size, sha256=file_digest(path)))


# What was done to the run, the message the readers give, and whether --resume can play the
# damaged shard again (the manifest still describes it) or must refuse the run.
DAMAGE = {
    "bit-flip": (lambda d: flip(d / SHARD), f"{SHARD} is damaged: its SHA-256", "replays"),
    "bit-flip-in-header": (lambda d: flip(d / SHARD, at=0.001), f"{SHARD} is damaged", "replays"),
    "truncated": (lambda d: (d / SHARD).write_bytes((d / SHARD).read_bytes()[:300]), f"{SHARD} is damaged",
                  "replays"),
    "empty": (lambda d: (d / SHARD).write_bytes(b""), f"{SHARD} is damaged", "replays"),
    "missing": (lambda d: (d / SHARD).unlink(), f"{SHARD} does not exist", "replays"),
    "object-array": (object_shard, f"{SHARD} cannot be read: ValueError: Object arrays", "fails"),
    "listed-twice": (lambda d: edit_manifest(d, lambda m: m["shards"].append(dict(m["shards"][1], index=7))),
                     f"lists shard '{SHARD}' (index 7) twice", "refused"),
    "index-twice": (lambda d: edit_manifest(d, lambda m: m["shards"][2].update(index=1)),
                    "(index 1) twice", "refused"),
    "outside": (lambda d: edit_manifest(d, lambda m: m["shards"][0].update(file="../../x.npz")),
                "names a shard outside the run: '../../x.npz'", "refused"),
    "bad-digest": (lambda d: edit_manifest(d, lambda m: m["shards"][1].update(sha256=12)),
                   f"the entry of shard '{SHARD}' has no valid sha256", "refused"),
    "bad-count": (lambda d: edit_manifest(d, lambda m: m["shards"][1].update(games="2")),
                  f"the entry of shard '{SHARD}' has no valid games", "refused"),
    "no-run": (lambda d: edit_manifest(d, lambda m: m.update(run=None)), "has no valid run settings", "refused"),
    "manifest-truncated": (lambda d: (d / MANIFEST).write_bytes((d / MANIFEST).read_bytes()[:200]),
                           f"{MANIFEST} is not valid JSON", "refused"),
    "manifest-digest-flipped": (lambda d: edit_manifest(d, lambda m: m["shards"][1].update(
        sha256=m["shards"][1]["sha256"].translate(str.maketrans("0123456789abcdef", "123456789abcdef0")))),
        f"{SHARD} is damaged: its SHA-256", "replays"),
}
READERS = {
    "SelfPlayData": lambda d: SelfPlayData(d),
    "game_table": game_table,
    "show": lambda d: game_record(d, 2),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("damage", DAMAGE)
def test_every_reader_names_the_damage(copy, damage, reader):
    DAMAGE[damage][0](copy)
    with pytest.raises(DataError) as caught:
        READERS[reader](copy)
    assert DAMAGE[damage][1] in str(caught.value)


@pytest.mark.parametrize("damage", DAMAGE)
def test_resume_replays_a_damaged_shard_or_names_the_damage(played, copy, capsys, damage):
    make, message, outcome = DAMAGE[damage]
    make(copy)
    status, _, err = run(play_args(copy, "--resume"), capsys)
    if outcome == "replays":
        assert status == 0, err
        assert same_data(load_run(copy)[0], load_run(played)[0])
        assert read_manifest(copy)["shards"] == read_manifest(played)["shards"]
    else:
        assert status == (1 if outcome == "fails" else 2) and message in err, err


def test_old_manifests_without_digests_still_read_and_resume(played, copy, capsys):
    """Runs written before shards carried a digest: read as before, and --resume plays again a
    shard whose size is wrong (the only check their manifest allows)."""
    edit_manifest(copy, lambda m: [entry.pop("sha256") for entry in m["shards"]])
    assert same_data(load_run(copy)[0], load_run(played)[0])
    assert len(SelfPlayData(copy)) == len(SelfPlayData(played))
    (copy / SHARD).write_bytes((copy / SHARD).read_bytes()[:300])
    status, _, err = run(play_args(copy, "--resume"), capsys)
    assert status == 0, err
    assert same_data(load_run(copy)[0], load_run(played)[0])


def test_a_shard_reaches_the_disk_before_its_name_and_listing(tmp_path, monkeypatch, played):
    """fsync of the file, then the rename, then fsync of its directory: a machine crash leaves
    either the old name or the whole new file, never a listed name with lost bytes."""
    import os

    from quellor_selfplay.data import read_shard, write_shard

    events = []
    real_fsync, real_replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}"))),
                                                 real_fsync(fd)))
    monkeypatch.setattr(os, "replace", lambda a, b: (events.append(("replace", str(b))), real_replace(a, b)))
    target = tmp_path / "shards" / "shard.npz"
    write_shard(read_shard(played / SHARD), target)
    assert events == [("fsync", str(target.with_name(".shard.npz.partial"))), ("replace", str(target)),
                      ("fsync", str(target.parent))]


# ---------------------------------------------------------------------------------------------
# Checkpoints and the files of a training run

import torch  # noqa: E402

from quellor_selfplay.net import CheckpointError, content_digest, read_checkpoint  # noqa: E402
from support.runs import rows_of  # noqa: E402

LATEST = "checkpoints/latest.pt"


def train_args(out, *extra):
    return ["train", "--out", out, "--iterations", 2, "--games", 4, "--batch", 4, "--max-plies", 20,
            "--eval-every", 1, "--eval-games", 2, "--final-games", 2, "--channels", 4, "--blocks", 0,
            "--minibatch", 32, "--pool-every", 1, "--pool-size", 2, "--keep-data", 3, "--seed", 3,
            "--workers", 1, "--no-progress", *extra]


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    out = tmp_path_factory.mktemp("trained")
    assert main([str(a) for a in train_args(out)]) == 0
    return out


@pytest.fixture
def train_copy(trained, tmp_path):
    shutil.copytree(trained, tmp_path / "run")
    return tmp_path / "run"


def largest_tensor_offset(path):
    """Where the bytes of the checkpoint's largest tensor begin and how many there are."""
    import zipfile

    with zipfile.ZipFile(path) as archive:
        info = max((i for i in archive.infolist() if "/data/" in i.filename), key=lambda i: i.file_size)
    raw = path.read_bytes()
    at = info.header_offset
    name_length, extra_length = int.from_bytes(raw[at + 26: at + 28], "little"), int.from_bytes(raw[at + 28: at + 30],
                                                                                                  "little")
    return at + 30 + name_length + extra_length, info.file_size


def flip_weights(path):
    start, size = largest_tensor_offset(path)
    raw = bytearray(path.read_bytes())
    raw[start + size // 2] ^= 0x10
    path.write_bytes(bytes(raw))


def rewrite(path, change, digest=True):
    """The checkpoint changed by `change`, its digest taken again (as another program that
    wrote a whole but different file would) unless `digest` is False."""
    blob = torch.load(path, weights_only=True)
    change(blob)
    if digest and "sha256" in blob:
        blob["sha256"] = content_digest(blob)
    torch.save(blob, path)


# What was done to latest.pt, and what every reader says of it.
CHECKPOINT_DAMAGE = {
    "bit-flip-in-weights": (flip_weights, "is damaged: its contents do not match its SHA-256"),
    "other-digest": (lambda p: rewrite(p, lambda b: b.update(sha256="0" * 64), digest=False),
                     "is damaged: its contents do not match its SHA-256"),
    "digest-key-damaged": (lambda p: rewrite(p, lambda b: b.update(sha257=b.pop("sha256"))),
                           "is damaged: it has no SHA-256 and holds unknown keys 'sha257'"),
    "empty": (lambda p: p.write_bytes(b""), "cannot be read: the file is empty"),
    "half-written": (lambda p: p.write_bytes(p.read_bytes()[: p.stat().st_size // 2]),
                     "cannot be read: it is damaged or cut short"),
    "not-a-checkpoint": (lambda p: torch.save({"weights": torch.zeros(3)}, p), "is not a quellor-policy-value"),
    # The zip64 end locator's count of disks, which zipfile's own check raises for.
    "bit-flip-in-disk-count": (lambda p: p.write_bytes(p.read_bytes()[:-25] + bytes([p.read_bytes()[-25] ^ 0x10])
                                                       + p.read_bytes()[-24:]),
                               "cannot be read: it is damaged or cut short"),
}
CHECKPOINT_READERS = {
    "read_checkpoint": lambda run_dir, capsys: read_checkpoint(run_dir / LATEST),
    "match": lambda run_dir, capsys: run(["match", run_dir / LATEST, "random", "--games", 2, "--no-progress"],
                                         capsys),
    "train --resume": lambda run_dir, capsys: run(train_args(run_dir, "--resume"), capsys),
}


@pytest.mark.parametrize("reader", CHECKPOINT_READERS)
@pytest.mark.parametrize("damage", CHECKPOINT_DAMAGE)
def test_a_damaged_checkpoint_is_named(train_copy, capsys, damage, reader):
    make, message = CHECKPOINT_DAMAGE[damage]
    make(train_copy / LATEST)
    if reader == "read_checkpoint":
        with pytest.raises(CheckpointError) as caught:
            read_checkpoint(train_copy / LATEST)
        assert isinstance(caught.value, DataError)
        text = str(caught.value)
    else:
        status, _, text = CHECKPOINT_READERS[reader](train_copy, capsys)
        assert status == 2
    assert f"{train_copy / LATEST} {message}" in text, text


def without_rows(blob):
    """The checkpoint as the trainer wrote it before checkpoints kept the metrics rows."""
    blob["train"].pop("metrics")
    blob["train"].pop("matches")


# What was done to the run; for the run as it is and for one whose checkpoint predates the rows
# it keeps, what train --resume gives: "rebuilt" (exit 0, the CSV files whole again) or the
# message of a refusal.
RUN_DAMAGE = {
    "metrics-cut-to-100-bytes": (lambda d: (d / "metrics.csv").write_bytes((d / "metrics.csv").read_bytes()[:100]),
                                 "rebuilt", "metrics.csv holds the rows of iterations none, not 0..2"),
    "metrics-rows-lost": (lambda d: (d / "metrics.csv").write_text("\n".join(
        (d / "metrics.csv").read_text().splitlines()[:2]) + "\n"), "rebuilt",
        "metrics.csv holds the rows of iterations 0, not 0..2"),
    "metrics-bad-row": (lambda d: (d / "metrics.csv").write_text((d / "metrics.csv").read_text().replace("\n1,", "\nx,")),
                        "rebuilt", "metrics.csv, line 3: iteration 'x' is not a number"),
    "matches-bad-row": (lambda d: (d / "matches.csv").write_text((d / "matches.csv").read_text() + "1,2,3\n"),
                        "rebuilt", "matches.csv, line 8: fewer fields than the header names"),
    "matches-gone": (lambda d: (d / "matches.csv").unlink(), "rebuilt",
                     "matches.csv lacks the match of iteration 0 against random"),
    "stray-data-folder": (lambda d: (d / "data" / "iter-old").mkdir(), "rebuilt", "rebuilt"),
    "no-iteration": (lambda d: rewrite(d / LATEST, lambda b: b["train"].pop("iteration")),
                     "its trainer state has no 'iteration'", "its trainer state has no 'iteration'"),
    "bad-pool": (lambda d: rewrite(d / LATEST, lambda b: b["train"].update(pool=[{"state_dict": {}}])),
                 "its trainer state has no 'iteration'", "its trainer state has no 'iteration'"),
}


@pytest.mark.parametrize("old", [False, True], ids=["checkpoint-with-rows", "older-checkpoint"])
@pytest.mark.parametrize("damage", RUN_DAMAGE)
def test_resume_rebuilds_the_run_files_or_refuses(trained, train_copy, capsys, damage, old):
    make, now, before = RUN_DAMAGE[damage]
    expected = before if old else now
    if old:
        rewrite(train_copy / LATEST, without_rows)
    make(train_copy)
    status, _, err = run(train_args(train_copy, "--resume"), capsys)
    if expected == "rebuilt":
        assert status == 0, err
        for name in ("metrics.csv", "matches.csv"):
            assert rows_of(train_copy / name) == rows_of(trained / name)
        if damage == "stray-data-folder":
            assert (train_copy / "data" / "iter-old").is_dir()
    else:
        assert status in (1, 2) and expected in err, err
        assert str(train_copy) in err


def test_an_older_checkpoint_without_a_digest_still_loads(train_copy):
    """Checkpoints written before they carried a digest hold the same weights as before."""
    net, blob = read_checkpoint(train_copy / LATEST)
    rewrite(train_copy / LATEST, lambda b: b.pop("sha256"))
    older, older_blob = read_checkpoint(train_copy / LATEST)
    assert "sha256" not in older_blob
    assert all(torch.equal(a, b) for a, b in zip(net.state_dict().values(), older.state_dict().values()))


# ---------------------------------------------------------------------------------------------
# Code in data files

from support.hostile import marker_module  # noqa: E402

# Every way a command reads a player or a network from a file, with a TorchScript module in
# that place; the module's code must not run, and the message must name the file.
SCRIPT_ENTRIES = {
    "match A": lambda d, evil: ["match", evil, "random", "--games", 2, "--no-progress"],
    "match B": lambda d, evil: ["match", "random", evil, "--games", 2, "--no-progress"],
    "play --checkpoint": lambda d, evil: ["play", "--policy", "net", "--checkpoint", evil, "--games", 2, "--out",
                                          d / "play", "--workers", 1, "--no-progress"],
    "train --bots": lambda d, evil: [*train_args(d / "train", "--bots", evil, "--bot-games", 0.5)],
    "train --init": lambda d, evil: [*train_args(d / "train", "--init", evil)],
    "train --resume": lambda d, evil: [*train_args(d / "run", "--resume")],
    "exploit": lambda d, evil: ["exploit", evil, "--iterations", 1, "--games", 2, "--out", d / "exploit",
                                "--workers", 1, "--no-progress"],
}


@pytest.mark.parametrize("entry", SCRIPT_ENTRIES)
def test_a_torchscript_file_given_as_a_checkpoint_runs_nothing(train_copy, capsys, entry):
    evil = train_copy / LATEST if entry == "train --resume" else train_copy.parent / "evil.pt"
    marker = train_copy.parent / "marker"
    marker_module(evil, marker)
    status, _, err = run(SCRIPT_ENTRIES[entry](train_copy.parent, evil), capsys)
    assert status == 2, err
    assert f"{evil} is a TorchScript module, not a checkpoint" in err and f"script:{evil}" in err, err
    assert not list(train_copy.parent.glob("marker*"))


def test_script_names_a_module_the_user_trusts(tmp_path, capsys):
    """The explicit form loads and plays the module: its code runs, as asked. A file under that
    form that is no TorchScript module is refused."""
    marker_module(tmp_path / "mine.pt", tmp_path / "marker")
    status, out, err = run(["match", f"script:{tmp_path / 'mine.pt'}", "random", "--games", 2, "--no-progress"],
                           capsys)
    assert status == 0, err
    assert (tmp_path / "marker.load").exists() and (tmp_path / "marker.forward").exists()
    (tmp_path / "weights.pt").write_bytes(b"PK not a module")
    for source, message in ((tmp_path / "weights.pt", f"script:{tmp_path / 'weights.pt'}: {tmp_path / 'weights.pt'} "
                             f"is not a TorchScript module"),
                            (tmp_path / "gone.pt", f"TorchScript module {tmp_path / 'gone.pt'} does not exist")):
        status, _, err = run(["match", f"script:{source}", "random", "--no-progress"], capsys)
        assert status == 2 and message in err, err


def test_a_flip_that_deflate_survives_is_caught_without_a_digest(copy):
    """numpy stops reading a member once it has its array, before zipfile compares the CRC-32,
    and some flips in a deflate stream still decode: found here by search, such a flip must still
    be refused when the manifest gives no digest to check."""
    import io
    import zipfile

    from quellor_selfplay.data import read_shard

    path = copy / SHARD
    pristine = path.read_bytes()
    with zipfile.ZipFile(path) as archive:
        member = max(archive.infolist(), key=lambda info: info.compress_size)
    start = member.header_offset + 30 + len(member.filename.encode()) + len(member.extra)
    with np.load(io.BytesIO(pristine)) as archive:
        original = archive[member.filename[:-4]].copy()
    for bit in range(start * 8, (start + member.compress_size) * 8):
        raw = bytearray(pristine)
        raw[bit // 8] ^= 1 << (bit % 8)
        try:
            with np.load(io.BytesIO(bytes(raw))) as archive:
                decoded = archive[member.filename[:-4]]
        except Exception:
            continue
        if not np.array_equal(decoded, original):
            break
    else:
        pytest.fail("no flip of the member's stream decoded to other data")
    path.write_bytes(bytes(raw))
    with pytest.raises(DataError, match=f"shard {path} is damaged: {member.filename} does not match its CRC-32"):
        read_shard(path)


def test_a_version_field_zipfile_cannot_read_is_no_traceback(train_copy):
    """A flip in the central directory's "version needed" field makes Python's zipfile raise
    NotImplementedError while the TorchScript check lists the archive; torch's reader ignores
    the field, so the checkpoint, whose contents are whole, reads back as written."""
    path = train_copy / LATEST
    _, before = read_checkpoint(path)
    raw = bytearray(path.read_bytes())
    at = raw.index(b"PK\x01\x02")
    raw[at + 6: at + 8] = (64).to_bytes(2, "little")
    path.write_bytes(bytes(raw))
    _, after = read_checkpoint(path)
    assert after["sha256"] == before["sha256"] and after["iteration"] == before["iteration"]
