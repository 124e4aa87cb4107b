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
