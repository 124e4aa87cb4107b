"""data.RunWriter as a program drives it without the play command: a run's shards written one at
a time and read back through its manifest, a run stopped part-way and finished by a resumed
writer, a signal that arrives while a shard is written, and shards the writer refuses."""

import re
import signal
import zipfile

import numpy as np
import pytest

from quellor_selfplay import data
from quellor_selfplay.arena import play_segment
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import (
    MANIFEST, ROW_FIELDS, RunWriter, SelfPlayData, read_manifest, read_shard, shard_games, shard_name,
)
from quellor_selfplay.players import RandomPlayer

GAMES, SIZE = 7, 3
RANGES = shard_games(GAMES, SIZE)
RUN = {"games": GAMES, "seed": 4, "observation": "own"}
NAMES = [shard_name(i) for i in range(len(RANGES))]


@pytest.fixture(scope="module")
def shards():
    """The shards of a seven-game run, three games to a shard (the last one game)."""
    table = GameConfig("dark", "own", 30)
    return [play_segment(table, [(g, 0, 0) for g in games], [RandomPlayer()], 2, seed=i)
            for i, games in enumerate(RANGES)]


def write_run(folder, shards, order=range(len(RANGES)), compress=True):
    writer = RunWriter.start(folder, RUN, ["random"], compress)
    for i in order:
        writer.add(i, RANGES[i], shards[i])
    writer.finish()
    return writer


@pytest.mark.parametrize("order", [[0, 1, 2], [2, 0, 1]], ids=["in-order", "as-completed"])
@pytest.mark.parametrize("compress", [True, False], ids=["deflated", "stored"])
def test_a_written_run_reads_back(tmp_path, shards, order, compress):
    write_run(tmp_path, shards, order, compress)
    manifest = read_manifest(tmp_path)
    assert manifest["complete"] and manifest["run"] == RUN and manifest["players"] == ["random"]
    assert [(e["index"], e["file"], e["first_game"], e["games"], e["rows"]) for e in manifest["shards"]] == [
        (i, NAMES[i], games.start, len(games), len(shard["ply"])) for i, (games, shard) in enumerate(zip(RANGES, shards))
    ]
    rows = SelfPlayData(tmp_path)
    assert rows.observation == "own"
    for key in ROW_FIELDS:
        assert np.array_equal(rows.arrays[key].numpy(), np.concatenate([s[key] for s in shards])), key
    with zipfile.ZipFile(tmp_path / NAMES[0]) as archive:
        assert {member.compress_type for member in archive.infolist()} == {
            zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED}
    assert sorted(p.name for p in tmp_path.rglob("*") if p.is_file()) == sorted(
        [MANIFEST] + [name.split("/")[-1] for name in NAMES])


def flip_a_byte(path):
    raw = bytearray(path.read_bytes())
    raw[len(raw) // 2] ^= 0xFF
    path.write_bytes(bytes(raw))


@pytest.mark.parametrize(
    "damage, finished, kept",
    [
        (lambda path: None, False, {0, 1}),
        (lambda path: path.unlink(), False, {0}),
        (flip_a_byte, False, {0}),
        (flip_a_byte, True, {0, 2}),
    ],
    ids=["stopped", "shard-gone", "shard-damaged", "finished-shard-damaged"],
)
def test_a_broken_run_resumes_to_the_files_of_an_unbroken_one(tmp_path, shards, damage, finished, kept):
    whole = tmp_path / "whole"
    write_run(whole, shards)
    broken = tmp_path / "broken"
    if finished:
        write_run(broken, shards)
    else:
        writer = RunWriter.start(broken, RUN, ["random"])
        for i in (0, 1):
            writer.add(i, RANGES[i], shards[i])
    damage(broken / NAMES[1])
    assert read_manifest(broken)["complete"] == finished

    resumed = RunWriter.resume(broken, len(RANGES))
    assert (resumed.done, resumed.games, resumed.complete) == (kept, sum(len(RANGES[i]) for i in kept), False)
    for i in sorted(set(range(len(RANGES))) - resumed.done):
        resumed.add(i, RANGES[i], shards[i])
    resumed.finish()
    for name in [MANIFEST, *NAMES]:
        assert (broken / name).read_bytes() == (whole / name).read_bytes(), name
    # A whole run resumed has nothing left to write, and takes nothing more.
    again = RunWriter.resume(broken, len(RANGES))
    assert again.complete and again.done == set(range(len(RANGES)))
    with pytest.raises(ValueError, match="the run is complete"):
        again.add(0, RANGES[0], shards[0])


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_a_signal_during_a_shard_stops_the_run_once_it_is_listed(tmp_path, shards, monkeypatch, signum):
    real = np.savez_compressed

    def interrupted(file, **arrays):
        signal.raise_signal(signum)
        real(file, **arrays)

    def stop(number, frame):
        raise KeyboardInterrupt

    monkeypatch.setattr(data.np, "savez_compressed", interrupted)
    writer = RunWriter.start(tmp_path, RUN, ["random"])
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with pytest.raises(KeyboardInterrupt):
            writer.add(0, RANGES[0], shards[0])
    finally:
        signal.signal(signal.SIGTERM, previous)
    listed = read_manifest(tmp_path)["shards"]
    assert [entry["index"] for entry in listed] == [0] and writer.done == {0}
    assert np.array_equal(read_shard(tmp_path / NAMES[0], listed[0]["sha256"])["move"], shards[0]["move"])


@pytest.mark.parametrize(
    "index, games, drop, message",
    [
        (0, range(0, 2), None, "shard 0 holds 3 games, not the 2 of range(0, 2)"),
        (-1, range(0, 3), None, "a shard's index is a whole number from 0, not -1"),
        (True, range(0, 3), None, "a shard's index is a whole number from 0, not True"),
        (0, range(0, 6, 2), None, "a shard's games are a range of game numbers from 0"),
        (0, range(0, 3), "mask", "a shard needs mask"),
    ],
    ids=["games-miscounted", "negative-index", "bool-index", "games-stepped", "array-missing"],
)
def test_a_bad_shard_is_refused_and_nothing_written(tmp_path, shards, index, games, drop, message):
    writer = RunWriter.start(tmp_path / "run", RUN, ["random"])
    arrays = {k: v for k, v in shards[0].items() if k != drop}
    with pytest.raises(ValueError, match=re.escape(message)):
        writer.add(index, games, arrays)
    assert not (tmp_path / "run").exists() and writer.shards == []


def test_a_run_of_no_shards_still_finishes(tmp_path):
    RunWriter.start(tmp_path / "empty", RUN, ["random"]).finish()
    manifest = read_manifest(tmp_path / "empty")
    assert manifest["complete"] and manifest["shards"] == [] and len(SelfPlayData(tmp_path / "empty")) == 0
