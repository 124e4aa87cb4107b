"""quellor-selfplay play and show end to end: runs checked row by row, reproducibility, options,
interrupts and --resume."""

import json
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest
import torch

from quellor_selfplay import SUMMARY_FILE
from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import read_manifest
from quellor_selfplay.net import load_checkpoint, save_checkpoint, seeded_net
from support.runs import check_run, children, load_run, read_until, running, same_data, started

SCRIPT = Path(sys.executable).with_name("quellor-selfplay")
SVG = "{http://www.w3.org/2000/svg}"


def run(args, capsys):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as exit_:  # argparse's own refusals
        status = exit_.code
    out, err = capsys.readouterr()
    return status, out, err


def play_args(out, *extra, games=6, max_plies=30, seed=1):
    return ["play", "--games", games, "--max-plies", max_plies, "--seed", seed,
            "--out", out, "--no-progress", *extra]


@pytest.fixture(scope="module")
def random_run(tmp_path_factory):
    """One in-process run of random games in several shards, shared by the checks that only
    read it."""
    out = tmp_path_factory.mktemp("random-run")
    status = main([str(a) for a in play_args(out, "--workers", 1, "--show", "2:7", "--shard-size", 5,
                                             "--batch", 3, games=12, max_plies=40)])
    assert status == 0
    return out


def test_random_run_rows_replay(random_run):
    data, summary = check_run(random_run, max_plies=40)
    assert summary["games"] == 12
    assert summary["positions"] == len(data["action"]) > 0
    assert sum(summary["results"].values()) == 12
    assert sum(summary["endings"].values()) == 12
    assert summary["seed"] == 1
    assert summary["settings"]["policy"] == "random"
    assert summary["settings"]["rules"] == "legal" and summary["settings"]["observation"] == "history"
    manifest = read_manifest(random_run)
    assert [(e["first_game"], e["games"]) for e in manifest["shards"]] == [(0, 5), (5, 5), (10, 2)]


@pytest.mark.parametrize("bot", ["greedy", "bold"])
def test_the_bots_play_runs_that_replay(tmp_path, capsys, bot):
    status, _, err = run(play_args(tmp_path, "--policy", bot, "--rules", "dark", "--workers", 1, games=4,
                                   max_plies=60), capsys)
    assert status == 0, err
    data, summary = check_run(tmp_path, max_plies=60, bot=True)
    assert summary["settings"]["policy"] == bot and read_manifest(tmp_path)["players"] == [bot]
    # One-ply bots take what they see: the games hold captures, and end before the cap.
    assert summary["endings"].get("king captured", 0) >= 1


def test_run_leaves_the_fog_pictures(random_run):
    svg = random_run / "fog-g2-p7.svg"
    text = (random_run / "fog-g2-p7.txt").read_text()
    assert text.startswith("Game 2, ply 7 of ")
    root = ET.fromstring(svg.read_text())
    assert len(root.findall(f"{SVG}svg")) == 3


def test_workers_and_seed_decide_the_data(tmp_path, random_run):
    """Two worker processes give exactly the data of one; another seed gives other data."""
    extra = ("--shard-size", 5, "--batch", 3)
    result = subprocess.run(
        [SCRIPT, *map(str, play_args(tmp_path / "two", "--workers", 2, *extra, games=12, max_plies=40))],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    one, _ = load_run(random_run)
    two, summary = load_run(tmp_path / "two")
    assert summary["settings"]["workers"] == 2
    assert same_data(one, two)

    status = main([str(a) for a in play_args(tmp_path / "other", "--workers", 1, *extra, seed=2,
                                             games=12, max_plies=40)])
    assert status == 0
    other, _ = load_run(tmp_path / "other")
    assert not np.array_equal(one["action"][:50], other["action"][:50])


@pytest.mark.parametrize("rules, layout", [("dark", "own"), ("legal", "history"), ("dark", "history")])
def test_net_runs_replay_with_their_probabilities(tmp_path, capsys, rules, layout):
    """A fresh network saved with --save-net plays the same games when loaded back, and each
    row's log-probability is the network's."""
    fresh = tmp_path / "fresh"
    status, _, err = run(play_args(fresh, "--policy", "net", "--hidden", 32, "--workers", 1,
                                   "--rules", rules, "--observation", layout, "--batch", 4,
                                   "--save-net", tmp_path / "net.pt", seed=4), capsys)
    assert status == 0, err
    net = load_checkpoint(tmp_path / "net.pt")
    data, summary = check_run(fresh, max_plies=30, model=net)
    assert summary["settings"]["hidden"] == 32

    loaded = tmp_path / "loaded"
    status, _, err = run(play_args(loaded, "--policy", "net", "--workers", 1, "--checkpoint",
                                   tmp_path / "net.pt", "--rules", rules, "--batch", 4, seed=4), capsys)
    assert status == 0, err
    again, summary = load_run(loaded)
    # The checkpoint says which layout its network was made for.
    assert summary["settings"]["observation"] == layout
    assert same_data(data, again)


def test_a_torchscript_module_is_a_policy(tmp_path, capsys):
    """Any TorchScript module mapping observations to logits plays, named script:PATH: the tool's
    own network, scripted, plays exactly the games of its checkpoint."""
    net = seeded_net(seed=8, arch="squares", config={"channels": 8, "blocks": 1, "keys": 4})
    with torch.no_grad():
        for p in net.parameters():
            p.add_(0.05 * torch.randn(p.shape, generator=torch.Generator().manual_seed(p.numel())))
    save_checkpoint(net, tmp_path / "net.pt", observation="own")
    with pytest.warns(DeprecationWarning):  # TorchScript, deprecated in torch 2.13, still works
        torch.jit.script(net).save(str(tmp_path / "net.ts"))
    common = ("--policy", "net", "--workers", 1, "--rules", "dark", "--observation", "own")
    for out, source in (("pt", tmp_path / "net.pt"), ("ts", f"script:{tmp_path / 'net.ts'}")):
        status, _, err = run(play_args(tmp_path / out, *common, "--checkpoint", source), capsys)
        assert status == 0, err
    check_run(tmp_path / "pt", max_plies=30, model=net)
    # The same games; the log-probabilities agree up to rounding, the checkpoint's player taking
    # a faster path to the same logits than the scripted forward pass.
    (pt, _), (ts, _) = load_run(tmp_path / "pt"), load_run(tmp_path / "ts")
    assert same_data({k: v for k, v in pt.items() if k != "logp"}, {k: v for k, v in ts.items() if k != "logp"})
    assert np.allclose(pt["logp"], ts["logp"], rtol=0, atol=1e-5)


def test_a_checkpoint_changes_the_games(tmp_path, capsys):
    save_checkpoint(seeded_net(seed=99, hidden=16), tmp_path / "other.pt")
    status, _, _ = run(play_args(tmp_path / "a", "--policy", "net", "--hidden", 16,
                                 "--workers", 1), capsys)
    assert status == 0
    status, _, _ = run(play_args(tmp_path / "b", "--policy", "net", "--workers", 1,
                                 "--checkpoint", tmp_path / "other.pt"), capsys)
    assert status == 0
    a, _ = load_run(tmp_path / "a")
    b, _ = load_run(tmp_path / "b")
    assert not np.array_equal(a["action"], b["action"])


@pytest.mark.parametrize(
    "fen, endings",
    [
        # Four queens against a king: random play mates, stalemates and runs out of plies.
        ("6k1/8/8/8/8/8/8/QQQQK3 w - - 0 1", {"checkmate", "stalemate", "ply cap"}),
        ("6K1/8/8/8/8/8/8/qqqqk3 b - - 0 1", {"checkmate", "stalemate", "ply cap"}),
        # Mated before the first move: games without a single row.
        ("k7/8/8/8/8/8/8/QQQ1K3 b - - 0 1", {"checkmate"}),
    ],
    ids=["white-queens", "black-queens", "mated"],
)
def test_start_fen_runs_with_every_ending(tmp_path, capsys, fen, endings):
    from quellor_selfplay.codes import ENDINGS
    from quellor_selfplay.data import game_table

    status, _, err = run(play_args(tmp_path, "--start-fen", fen, "--no-compress", "--batch", 5,
                                   "--workers", 1, games=24, max_plies=20), capsys)
    assert status == 0, err
    data, summary = check_run(tmp_path, max_plies=20)
    assert {ENDINGS[e] for e in game_table(tmp_path)["game_ending"]} == endings
    assert summary["settings"]["start_fen"] == fen


def test_king_captures_end_dark_games(tmp_path, capsys):
    status, _, err = run(play_args(tmp_path, "--rules", "dark", "--workers", 1, games=10,
                                   max_plies=300), capsys)
    assert status == 0, err
    _, summary = check_run(tmp_path, max_plies=300)
    assert summary["endings"]["king captured"] > 0


def test_overwrite_replaces_the_run_and_its_pictures(tmp_path, capsys):
    status, _, _ = run(play_args(tmp_path, "--workers", 1, "--show", "1:3", "--shard-size", 2), capsys)
    assert status == 0
    assert (tmp_path / "fog-g1-p3.svg").exists()
    status, _, err = run(play_args(tmp_path, "--workers", 1, games=3), capsys)
    assert status == 2
    assert "already holds a self-play run; pass --overwrite" in err
    status, _, _ = run(play_args(tmp_path, "--workers", 1, "--overwrite", games=3), capsys)
    assert status == 0
    assert not (tmp_path / "fog-g1-p3.svg").exists()
    assert sorted(p.name for p in tmp_path.glob("fog-*")) == ["fog-g0-p20.svg", "fog-g0-p20.txt"]
    assert sorted(p.name for p in (tmp_path / "shards").iterdir()) == ["shard-00000.npz"]
    assert load_run(tmp_path)[1]["games"] == 3


def test_a_failed_write_keeps_the_finished_shards(tmp_path, capsys, monkeypatch):
    """A full disk while a shard is written: status 1, the shards before it listed and whole,
    no temporary file."""
    import quellor_selfplay.data as data

    real = data.np.savez_compressed
    calls = []

    def full_disk(file, **arrays):
        calls.append(1)
        if len(calls) == 2:
            file.write(b"half a shard")
            raise OSError("No space left on device")
        real(file, **arrays)

    monkeypatch.setattr(data.np, "savez_compressed", full_disk)
    status, _, err = run(play_args(tmp_path, "--workers", 1, "--shard-size", 2, games=5), capsys)
    assert status == 1
    assert "No space left on device" in err
    manifest = read_manifest(tmp_path)
    assert [e["file"] for e in manifest["shards"]] == ["shards/shard-00000.npz"]
    assert manifest["complete"] is False
    assert sorted(p.name for p in (tmp_path / "shards").iterdir()) == ["shard-00000.npz"]
    assert not (tmp_path / SUMMARY_FILE).exists()

    monkeypatch.setattr(data.np, "savez_compressed", real)
    status, _, err = run(play_args(tmp_path, "--workers", 1, "--shard-size", 2, "--resume", games=5), capsys)
    assert status == 0, err
    check_run(tmp_path, max_plies=30)


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--games", "0"], "argument --games: must be at least 1"),
        (["--games", "many"], "argument --games: expected a whole number"),
        (["--max-plies", "-3"], "argument --max-plies: must be at least 1"),
        (["--max-plies", "18446744073709551617"], "argument --max-plies: must be at most 2**64-1"),
        (["--workers", "0"], "argument --workers: must be at least 1"),
        (["--seed", "-1"], "argument --seed: must lie in 0..2**63-1"),
        (["--policy", "stockfish"], "argument --policy: invalid choice"),
        (["--show", "3"], "argument --show: expected GAME:PLY"),
        (["--show", "9:0"], "--show names game 9, but only 6 are played"),
        (["--checkpoint", "net.pt"], "--checkpoint, --hidden and --save-net go with --policy net"),
        (["--policy", "net", "--checkpoint", "missing.pt"], "checkpoint missing.pt does not exist"),
        (["--policy", "net", "--checkpoint", "x.pt", "--hidden", "8"], "--hidden is for a fresh"),
        (["--policy", "net", "--save-net", "no/such/dir/net.pt"], "its directory does not exist"),
        (["--start-fen", "8/8/8 w - - 0 1"], "Invalid FEN string"),
        (["--ray", " "], "--ray needs an address"),
        (["--batch", "0"], "argument --batch: must be at least 1"),
        (["--shard-size", "x"], "argument --shard-size: expected a whole number"),
        (["--rules", "chess"], "argument --rules: invalid choice"),
        (["--observation", "all"], "argument --observation: invalid choice"),
        (["--device", "toaster"], "--device 'toaster'"),
        (["--resume"], "holds no run to resume"),
        (["--resume", "--overwrite"], "pick one"),
    ],
)
def test_bad_options_are_refused(tmp_path, capsys, extra, message):
    status, out, err = run(play_args(tmp_path / "out", *extra), capsys)
    assert status == 2
    assert message in err
    assert not (tmp_path / "out").exists()


def test_out_must_be_a_directory(tmp_path, capsys):
    (tmp_path / "file").write_text("x")
    status, _, err = run(play_args(tmp_path / "file"), capsys)
    assert status == 2
    assert "exists and is not a directory" in err


def test_ray_missing_explains_how_to_install(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)  # makes `import ray` fail
    status, _, err = run(play_args(tmp_path / "out", "--ray", "auto"), capsys)
    assert status == 2
    assert "--ray needs Ray, which is not installed: pip install 'quellor[ray]'" in err


@pytest.mark.parametrize("workers", [1, 2])
def test_a_failing_game_fails_the_run(tmp_path, capsys, workers):
    """A diverged network (NaN weights) cannot choose moves: the run fails with status 1 and
    writes nothing, whether the games run here or in worker processes."""
    net = seeded_net(seed=0, hidden=8)
    with torch.no_grad():
        net.policy.bias.fill_(float("nan"))
    save_checkpoint(net, tmp_path / "nan.pt")
    status, _, err = run(play_args(tmp_path / "out", "--policy", "net", "--checkpoint",
                                   tmp_path / "nan.pt", "--workers", workers, games=4), capsys)
    assert status == 1
    assert "ValueError: the network's policy gives no finite probabilities" in err
    assert not (tmp_path / "out").exists()


def test_show_renders_any_ply(random_run, capsys, tmp_path):
    from quellor_selfplay.data import game_table

    run_dir = tmp_path / "run"
    shutil.copytree(random_run, run_dir)
    last = int(game_table(run_dir)["game_plies"][5])
    for ply in (0, 1, last):
        status, out, err = run(["show", run_dir, "--game", 5, "--ply", ply], capsys)
        assert status == 0, err
        assert out.startswith(f"Game 5, ply {ply} of {last}:")
        ET.fromstring((run_dir / f"fog-g5-p{ply}.svg").read_text())
    status, out, _ = run(["show", run_dir, "--game", 5, "--ply", 0], capsys)
    assert "Black: nothing seen yet" in out


@pytest.mark.parametrize(
    "args, message",
    [
        (["--game", "12"], "game 12 does not exist: the run has 12 games"),
        (["--game", "0", "--ply", "999"], "ply 999 does not exist"),
        (["--ply", "-1"], "argument --ply: must not be negative"),
    ],
)
def test_show_refuses_what_is_not_there(random_run, capsys, args, message):
    status, _, err = run(["show", random_run, *args], capsys)
    assert status == 2
    assert message in err


@pytest.mark.parametrize(
    "content, ply, message",
    [
        (None, 0, "holds no summary.json"),
        ('{"game_records": []}', 0, "game 0 does not exist: the run has 0 games"),
        ("{not json", 0, "is not valid JSON"),
        ('{"games": 1}', 0, "has no game records"),
        ('{"game_records": [{"moves": "e2e4"}]}', 0, "the record of game 0 is malformed"),
        ('{"game_records": [{"moves": [1, 2]}]}', 0, "the record of game 0 is malformed"),
        ('{"game_records": [{"moves": [], "start_fen": 5}]}', 0, "record of game 0 is malformed"),
        ('{"game_records": [{"moves": ["e4e5"]}]}', 1, "Cannot play e4e5: no piece on e4"),
        ('{"game_records": [{"moves": ["zz"]}]}', 1, "cannot be replayed: Invalid UCI move"),
        ('{"game_records": [{"moves": [], "start_fen": "nonsense"}]}', 0, "Invalid FEN string"),
    ],
)
def test_show_refuses_a_broken_summary(tmp_path, capsys, content, ply, message):
    if content is not None:
        (tmp_path / SUMMARY_FILE).write_text(content)
    status, _, err = run(["show", tmp_path, "--ply", ply], capsys)
    assert status == 2
    assert message in err


def test_console_script_reports_progress_and_result(tmp_path):
    result = subprocess.run(
        [SCRIPT, "play", "--games", "3", "--max-plies", "10", "--workers", "1",
         "--out", tmp_path],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "positions/s" in result.stderr  # the progress bar
    summary = json.loads((tmp_path / SUMMARY_FILE).read_text())
    assert f"3 games, {summary['positions']} positions" in result.stdout
    assert summary["files"]["fog_svg"] in result.stdout


@pytest.mark.processes
@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT], ids=["sigterm", "ctrl-c"])
def test_a_stopped_run_keeps_whole_shards_and_resumes(tmp_path, stop):
    """A signal in the middle of the games: status 143 (130 for Ctrl-C), a message, only whole
    shards listed in the manifest, no temporary file, no worker left; --resume then finishes the
    run with exactly the data of a run that was never stopped."""
    out = tmp_path / "run"
    command = [SCRIPT, "play", "--games", "60", "--max-plies", "200", "--rules", "dark", "--shard-size", "2",
               "--batch", "2", "--workers", "2", "--seed", "5", "--out", out]
    with started(command) as process:
        # The progress bar counts the games of a finished shard: both workers are up and playing.
        read_until(process.stderr, rb"\| *[1-9][0-9]*/60", limit_seconds=300)
        workers = {pid: start for pid, (start, command_line) in children(process.pid).items()
                   if "spawn_main" in command_line}
        assert len(workers) == 2
        others = {pid: start for pid, (start, _) in children(process.pid).items()}
        process.send_signal(stop)
        _, err = process.communicate(timeout=120)
    err = err.decode()

    assert process.returncode == (143 if stop == signal.SIGTERM else 130), err
    word = "terminated" if stop == signal.SIGTERM else "interrupted"
    assert re.search(f"quellor-selfplay: {word}; [0-9]+ complete shards? \\([0-9]+ games\\) kept in .*"
                     f"run the same command with --resume to finish", err), err
    assert "Traceback" not in err
    manifest = read_manifest(out)
    kept = sorted(p.name for p in (out / "shards").iterdir())
    assert kept == [Path(e["file"]).name for e in manifest["shards"]]
    assert 0 < len(kept) < 30 and manifest["complete"] is False
    assert not (out / SUMMARY_FILE).exists()
    # The workers were ended and reaped before the command exited.
    assert [pid for pid, start in workers.items() if running(pid, start)] == []
    # Multiprocessing's resource tracker goes once it sees the command gone.
    deadline = time.monotonic() + 60
    while any(running(pid, start) for pid, start in others.items()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert [pid for pid, start in others.items() if running(pid, start)] == []

    resumed = subprocess.run([*command, "--resume", "--no-progress"], capture_output=True, text=True,
                             timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    whole = tmp_path / "whole"
    status = main([str(a) for a in command[1:-1]] + [str(whole), "--workers", "1", "--no-progress"])
    assert status == 0
    assert same_data(load_run(out)[0], load_run(whole)[0])
    check_run(out, max_plies=200)


def test_resume_refuses_other_settings(tmp_path, capsys):
    status, _, _ = run(play_args(tmp_path, "--workers", 1, games=2), capsys)
    assert status == 0
    status, _, err = run(play_args(tmp_path, "--workers", 1, "--resume", games=3), capsys)
    assert status == 2
    assert f"--resume: the run in {tmp_path} was made with games = 2, not 3" in err


@pytest.mark.parametrize("html", [[], ["--html"]], ids=["text", "html"])
@pytest.mark.parametrize(
    "layout, message",
    [
        (None, "{run} does not exist"),
        (["data/iter-00009", "data/iter-00012", "checkpoints/"],
         "{run} is a training run: the games of its last iterations are in data/iter-NNNNN, the newest in "
         "{run}/data/iter-00012; show that folder"),
        (["iter-00099", "iter-00100"],
         "{run} holds a training run's games, a play run per iteration in iter-NNNNN, the newest in {run}/iter-00100; "
         "show that folder"),
        (["checkpoints/", "metrics.csv"], "{run} is a training run that kept no games"),
    ],
    ids=["missing", "train", "train-data", "train-without-games"],
)
def test_show_points_from_a_training_run_to_its_games(random_run, tmp_path, capsys, layout, message, html):
    """A train run keeps its games as a play run per iteration: show names the newest, and that
    folder shows."""
    folder = tmp_path / "train"
    for name in layout or []:
        if name.endswith("/"):
            (folder / name).mkdir(parents=True)
        elif name.startswith(("data/", "iter-")):
            shutil.copytree(random_run, folder / name)
        else:
            (folder / name).write_text("")
    status, _, err = run(["show", folder, *html], capsys)
    assert status == 2
    assert f"error: {message.format(run=folder)}" in err
    if layout is not None:
        newest = sorted(p for p in folder.rglob("iter-*"))
        if newest:
            status, _, err = run(["show", newest[-1], *html], capsys)
            assert status == 0, err
