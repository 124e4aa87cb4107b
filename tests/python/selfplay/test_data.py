"""quellor_selfplay.data: the loader's rows against the games they come from, observations
rebuilt from stored frames, old files, damaged files, and the size of a row."""

import json
import signal
import zipfile

import numpy as np
import pytest
import torch
from torch.utils.data import BatchSampler, DataLoader, RandomSampler

import quellor
from quellor_selfplay import GameBatch, _batch
from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import (
    MANIFEST, ROW_FIELDS, DataError, SelfPlayData, SelfPlayStream, read_manifest, read_shard, rebuild_packed,
    shard_paths, write_shard,
)
from one_game import OBS_LEN, RandomPolicy, play_game
from quellor_selfplay.codes import code_move
from quellor_selfplay.fileio import interrupts_deferred, write_json

OLD_ROW_BYTES = OBS_LEN * 4 + 8 + 4 + 8 + 8  # float32 observation, int64 action, float32 value, game, ply


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """A legal-rules run and a dark-rules run, several shards each."""
    out = {}
    for rules in ("legal", "dark"):
        path = tmp_path_factory.mktemp(rules)
        status = main(["play", "--games", "9", "--max-plies", "40", "--rules", rules, "--shard-size", "4",
                       "--batch", "3", "--seed", "11", "--workers", "1", "--no-progress", "--overwrite",
                       "--out", str(path)])
        assert status == 0
        out[rules] = path
    return out


def replay(rules, layout, moves):
    """(observation, mask) after each prefix of `moves` in a GameBatch of one game."""
    batch = GameBatch(1, rules=rules, observation=layout, dtype="float32")
    seen = []
    for code in moves:
        seen.append((batch.observation[0].clone(), batch.legal_action_mask[0].clone()))
        batch.step_moves(np.array([code]))
    return seen


@pytest.mark.parametrize("rules", ["legal", "dark"])
@pytest.mark.parametrize("layout", ["own", "history"])
def test_sampled_rows_are_the_observations_of_their_games(runs, rules, layout):
    """Rows drawn at random through a DataLoader: the observation is the batch's own-view
    observation, or exactly encode() of a SelfPlayGame replay; the mask is the batch's."""
    rows = SelfPlayData(runs[rules], observation=layout)
    loader = DataLoader(rows, batch_size=None, sampler=BatchSampler(
        RandomSampler(rows, generator=torch.Generator().manual_seed(1)), 16, drop_last=False))
    batch = next(iter(loader))
    assert batch["observation"].shape == (16, 64, 106) and batch["observation"].dtype == torch.float32
    every = SelfPlayData(runs[rules])
    for i in range(16):
        game, ply = int(batch["game"][i]), int(batch["ply"][i])
        moves = every.arrays["move"][every.arrays["game"] == game].tolist()
        observation, mask = replay(rules, layout, moves)[ply]
        assert torch.equal(batch["observation"][i], observation)
        assert torch.equal(batch["mask"][i], mask)
        if layout == "history" and rules == "legal":
            reference = quellor.SelfPlayGame()
            for code in moves[:ply]:
                reference.apply(code_move(code).uci())
            assert torch.equal(batch["observation"][i], reference.encode())
    one = rows[int(batch["game"].argmax())]
    assert one["observation"].shape == (64, 106) and one["mask"].shape == (4352,)


def stored_games(seed, games=40):
    """Rows of whole games of random lengths as the shards keep them: random frames and castling
    flags, plies counting from 0 in each game."""
    rng = np.random.default_rng(seed)
    ply = np.concatenate([np.arange(n) for n in rng.integers(1, 40, size=games)]).astype(np.int32)
    frames = rng.integers(-2**63, 2**63 - 1, size=(len(ply), 13), dtype=np.int64)
    castling = rng.integers(0, 4, size=len(ply)).astype(np.uint8)
    return torch.from_numpy(frames), torch.from_numpy(castling), torch.from_numpy(ply)


def numpy_packed(frames, castling, ply, rows, layout):
    """The eight frames of each row picked in numpy: "own" the mover's frames at p, p - 2, ...,
    p - 14, its first standing in for earlier ones; "history" p, p - 1, ..., p - 7 from ply 0."""
    frames, castling, ply, rows = (t.numpy() for t in (frames, castling, ply, rows))
    p = ply[rows].astype(np.int64)[:, None]
    back = np.arange(7, -1, -1)[None, :]
    source = np.maximum(p - 2 * back, p % 2) if layout == "own" else np.maximum(p - back, 0)
    packed = np.empty((len(rows), 105), dtype=np.int64)
    packed[:, :104] = frames[rows[:, None] - p + source].reshape(len(rows), 104)
    packed[:, 104] = castling[rows]
    return packed


@pytest.mark.parametrize("layout", ["own", "history"])
@pytest.mark.parametrize("seed", [1, 2])
def test_rebuilt_observations_take_the_frames_the_layout_names(layout, seed):
    frames, castling, ply = stored_games(seed)
    total = len(ply)
    rows = torch.from_numpy(np.random.default_rng(seed).permutation(total))
    assert np.array_equal(rebuild_packed(frames, castling, ply, rows, layout).numpy(),
                          numpy_packed(frames, castling, ply, rows, layout))
    # Negative rows count from the end; other integer types are read as the shards' own.
    assert torch.equal(rebuild_packed(frames, castling, ply.long(), (rows - total).int(), layout),
                       rebuild_packed(frames, castling, ply, rows, layout))
    assert rebuild_packed(frames, castling, ply, rows[:0], layout).shape == (0, 105)


def test_rebuilding_refuses_rows_it_cannot_read():
    frames, castling, ply = stored_games(3, games=3)
    total, first = len(ply), torch.tensor([0])
    broken = ply.clone()
    broken[1] = 2  # the second row of a game says it is the third
    cases = [
        ((frames, castling, ply, torch.tensor([0, total]), "own"), IndexError, f"row {total} out of range for {total} rows"),
        ((frames, castling, ply, torch.tensor([-total - 1]), "own"), IndexError, "out of range"),
        ((frames, castling, broken, torch.tensor([1]), "own"), ValueError, "row 1: its ply 2 reaches back past the first row"),
        ((frames, castling, ply, first, "mine"), ValueError, r"unknown observation 'mine' \(expected 'own' or 'history'\)"),
        ((frames, castling, ply, first, None), TypeError, "observation must be a str"),
        ((frames[:, :12], castling, ply, first, "own"), ValueError, r"frames must be \(R, 13\)"),
        ((frames, castling, ply[1:], first, "own"), ValueError, f"ply: expected {total} items, got {total - 1}"),
        ((frames, castling[1:], ply, first, "own"), ValueError, f"frames: expected {13 * (total - 1)} items"),
    ]
    for args, error, message in cases:
        with pytest.raises(error, match=message):
            rebuild_packed(*args)
    with pytest.raises(TypeError, match="unexpected item format"):
        _batch.rebuild_packed(frames.numpy(), castling.numpy(), ply.long().numpy(), first.numpy(), "own",
                              np.empty((1, 105), dtype=np.int64))
    with pytest.raises(ValueError, match="out: expected 105 items"):
        _batch.rebuild_packed(frames.numpy(), castling.numpy(), ply.numpy(), first.numpy(), "own",
                              np.empty((1, 104), dtype=np.int64))


def test_the_stream_gives_every_row_once(runs):
    rows = SelfPlayData(runs["dark"])
    stream = SelfPlayStream(runs["dark"], batch_size=7, shuffle=True, seed=3)
    seen = [(int(g), int(p)) for b in stream for g, p in zip(b["game"], b["ply"])]
    assert sorted(seen) == sorted(zip(rows.arrays["game"].tolist(), rows.arrays["ply"].tolist()))
    stream.set_epoch(1)
    assert [int(g) for b in stream for g in b["game"]][:20] != [g for g, _ in seen][:20]
    single = next(iter(SelfPlayStream(runs["dark"])))
    first = rows[0]
    assert single.keys() == first.keys() and all(torch.equal(single[k], first[k]) for k in first)


def test_the_stream_splits_shards_between_loader_workers(runs):
    loader = DataLoader(SelfPlayStream(runs["legal"], batch_size=5), batch_size=None, num_workers=2,
                        multiprocessing_context="spawn")
    seen = sorted((int(g), int(p)) for b in loader for g, p in zip(b["game"], b["ply"]))
    rows = SelfPlayData(runs["legal"])
    assert seen == sorted(zip(rows.arrays["game"].tolist(), rows.arrays["ply"].tolist()))


def test_a_row_takes_an_eighth_of_the_old_size_or_less(runs):
    rows = SelfPlayData(runs["dark"])
    assert rows.bytes_per_row * 8 <= OLD_ROW_BYTES
    on_disk = sum(p.stat().st_size for p in shard_paths(runs["dark"]))
    assert on_disk * 8 <= OLD_ROW_BYTES * len(rows)


# ---------------------------------------------------------------------------------------------
# Old files


def write_old_run(path, records):
    """A selfplay.pt and summary.json as earlier versions of quellor-selfplay wrote them."""
    from one_game import unpack_observations

    packed = np.concatenate([r.packed_observations for r in records])
    tensors = {
        "observations": torch.from_numpy(unpack_observations(packed)),
        "actions": torch.from_numpy(np.concatenate([r.actions for r in records])),
        "values": torch.from_numpy(np.concatenate([r.values for r in records])),
        "game": torch.tensor([r.game for r in records for _ in range(r.plies)]),
        "ply": torch.tensor([p for r in records for p in range(r.plies)]),
    }
    torch.save(tensors, path / "selfplay.pt")
    summary = {"game_records": [{"game": r.game, "start_fen": r.start_fen, "moves": r.moves} for r in records]}
    (path / "summary.json").write_text(json.dumps(summary))
    return tensors


@pytest.mark.parametrize("start", [None, "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1"], ids=["start", "black-first"])
def test_an_old_selfplay_pt_is_read(tmp_path, start):
    records = [play_game(RandomPolicy(), g, seed=5, max_plies=14, start_fen=start) for g in range(3)]
    old = write_old_run(tmp_path, records)
    rows = SelfPlayData(tmp_path)
    assert rows.legacy and rows.observation == "history" and len(rows) == len(old["actions"])
    item = rows[torch.arange(len(rows))]
    assert torch.equal(item["observation"], old["observations"])
    assert torch.equal(item["action"], old["actions"]) and torch.equal(item["value"], old["values"])
    white_first = start is None
    assert item["white"].tolist() == [(p % 2 == 0) == white_first for p in old["ply"].tolist()]
    assert "mask" not in item and "logp" not in item


# ---------------------------------------------------------------------------------------------
# Damaged files


def shard_of(runs):
    return read_shard(shard_paths(runs["dark"])[0])


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda a, p: p.write_bytes(b"no zip"), "cannot be read"),
        (lambda a, p: p.write_bytes(p.read_bytes()[:200]) if p.exists() else None, "cannot be read"),
        (lambda a, p: np.savez(p, **{k: v for k, v in a.items() if k != "mask"}), "has no 'mask' array"),
        (lambda a, p: np.savez(p, **{**a, "logp": a["logp"].astype(np.float64)}), "'logp' is float64"),
        (lambda a, p: np.savez(p, **{**a, "value": a["value"][:-1]}), "arrays of different lengths"),
        (lambda a, p: np.savez(p, **{**a, "game_plies": a["game_plies"] + 1}), "does not add up"),
        (lambda a, p: np.savez(p, **{**a, "ply": a["ply"][::-1].copy()}), "not whole games in ply order"),
        (lambda a, p: np.savez(p, **{**a, "game_index": a["game_index"][:-1]}), "arrays of different lengths"),
        (lambda a, p: np.savez(p, **{**a, "game_index": a["game_index"].astype(np.int32)}), "no valid .game_index."),
    ],
    ids=["garbage", "truncated", "missing-key", "wrong-dtype", "short-column", "bad-table", "disordered", "int32-table",
         "short-table"],
)
def test_a_damaged_shard_is_refused(runs, tmp_path, damage, message):
    arrays = shard_of(runs)
    path = tmp_path / "shard.npz"
    write_shard(arrays, path)
    damage(arrays, path)
    with pytest.raises(DataError, match=message):
        read_shard(path)


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "holds no manifest.json"),
        ("{", "is not valid JSON"),
        ('{"format": "other"}', "is not a quellor-selfplay-shards manifest"),
        ('{"format": "quellor-selfplay-shards", "version": 9}', "format version 9"),
        ('{"format": "quellor-selfplay-shards", "version": 1, "shards": [{"file": 3}]}', "no valid shard list"),
        ('{"format": "quellor-selfplay-shards", "version": 1, "shards": [{"index": 0, "file": "../x.npz"}]}',
         "names a shard outside the run"),
    ],
)
def test_a_damaged_manifest_is_refused(tmp_path, content, message):
    if content is not None:
        (tmp_path / MANIFEST).write_text(content)
    with pytest.raises(DataError, match=message):
        SelfPlayData(tmp_path) if content is None else shard_paths(tmp_path)


def test_a_failed_shard_write_keeps_the_old_file(runs, tmp_path, monkeypatch):
    arrays = shard_of(runs)
    path = tmp_path / "shard.npz"
    path.write_bytes(b"earlier")

    def full_disk(file, **kwargs):
        file.write(b"half")
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez_compressed", full_disk)
    with pytest.raises(OSError, match="disk full"):
        write_shard(arrays, path)
    assert path.read_bytes() == b"earlier"
    assert [p.name for p in tmp_path.iterdir()] == ["shard.npz"]


def test_the_manifest_lists_only_whole_shards(runs):
    manifest = read_manifest(runs["legal"])
    assert [e["index"] for e in manifest["shards"]] == [0, 1, 2] and manifest["complete"]
    for entry in manifest["shards"]:
        arrays = read_shard(runs["legal"] / entry["file"])
        assert len(arrays["ply"]) == entry["rows"] and len(arrays["game_index"]) == entry["games"]
        assert arrays["game_index"][0] == entry["first_game"]
        assert set(arrays) == set(ROW_FIELDS) | {k for k in arrays if k.startswith("game_")}
    assert zipfile.is_zipfile(runs["legal"] / manifest["shards"][0]["file"])


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_a_signal_waits_for_a_shard_and_its_listing(tmp_path, signum):
    """A signal while a shard and the manifest naming it are written takes effect after both."""
    seen = []

    def stop(number, frame):
        seen.append(number)
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, stop)
    written = []
    try:
        with pytest.raises(KeyboardInterrupt):
            with interrupts_deferred():
                signal.raise_signal(signum)
                written.append("shard")
                write_json({"shards": ["shard"]}, tmp_path / "manifest.json")
                written.append("manifest")
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert written == ["shard", "manifest"] and (tmp_path / "manifest.json").exists()
    assert seen == ([signal.SIGTERM] if signum == signal.SIGTERM else [])
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
