"""quellor-selfplay end to end: play runs checked row by row, reproducibility, options, show."""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
import torch

from quellor_selfplay import DATA_FILE, SUMMARY_FILE
from quellor_selfplay.cli import main
from quellor_selfplay.net import save_checkpoint, seeded_net
from selfplay_checks import check_run, load_run

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


def same_tensors(a, b):
    return a.keys() == b.keys() and all(torch.equal(a[k], b[k]) for k in a)


@pytest.fixture(scope="module")
def random_run(tmp_path_factory):
    """One in-process run of random games, shared by the checks that only read it."""
    out = tmp_path_factory.mktemp("random-run")
    status = main([str(a) for a in play_args(out, "--workers", 1, "--show", "2:7",
                                             games=12, max_plies=40)])
    assert status == 0
    return out


def test_random_run_rows_replay(random_run):
    data, summary = check_run(random_run, max_plies=40)
    assert summary["games"] == 12
    assert summary["positions"] == len(data["actions"]) > 0
    assert sum(summary["results"].values()) == 12
    assert sum(summary["endings"].values()) == 12
    assert summary["seed"] == 1
    assert summary["settings"]["policy"] == "random"
    assert summary["files"]["data_bytes"] == (random_run / DATA_FILE).stat().st_size


def test_run_leaves_the_fog_pictures(random_run):
    svg = random_run / "fog-g2-p7.svg"
    text = (random_run / "fog-g2-p7.txt").read_text()
    assert text.startswith("Game 2, ply 7 of ")
    root = ET.fromstring(svg.read_text())
    assert len(root.findall(f"{SVG}svg")) == 3


def test_workers_and_seed_decide_the_data(tmp_path, random_run):
    """Two worker processes give exactly the data of one; another seed gives other data."""
    result = subprocess.run(
        [SCRIPT, *map(str, play_args(tmp_path / "two", "--workers", 2, games=12, max_plies=40))],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    one, _ = load_run(random_run)
    two, summary = load_run(tmp_path / "two")
    assert summary["settings"]["workers"] == 2
    assert same_tensors(one, two)

    status = main([str(a) for a in play_args(tmp_path / "other", "--workers", 1, seed=2,
                                             games=12, max_plies=40)])
    assert status == 0
    other, _ = load_run(tmp_path / "other")
    assert not torch.equal(one["actions"][:50], other["actions"][:50])


def test_net_policy_run_and_its_checkpoint(tmp_path, capsys):
    """A fresh network saved with --save-net plays the same games when loaded back."""
    fresh = tmp_path / "fresh"
    status, _, err = run(play_args(fresh, "--policy", "net", "--hidden", 32, "--workers", 1,
                                   "--save-net", tmp_path / "net.pt", "--seed", 4), capsys)
    assert status == 0, err
    data, summary = check_run(fresh, max_plies=30)
    assert summary["settings"]["hidden"] == 32

    loaded = tmp_path / "loaded"
    status, _, err = run(play_args(loaded, "--policy", "net", "--workers", 1, "--checkpoint",
                                   tmp_path / "net.pt", "--seed", 4), capsys)
    assert status == 0, err
    again, _ = load_run(loaded)
    assert same_tensors(data, again)


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
    assert not torch.equal(a["actions"], b["actions"])


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
    status, _, err = run(play_args(tmp_path, "--start-fen", fen, "--no-compress",
                                   "--workers", 1, games=24, max_plies=20), capsys)
    assert status == 0, err
    data, summary = check_run(tmp_path, max_plies=20)
    assert {record["ending"] for record in summary["game_records"]} == endings
    assert all(record["start_fen"] == fen for record in summary["game_records"])
    # The stored layout maps into memory.
    mapped = torch.load(tmp_path / DATA_FILE, weights_only=True, mmap=True)
    assert torch.equal(mapped["observations"], data["observations"])


def test_overwrite_replaces_the_run_and_its_pictures(tmp_path, capsys):
    status, _, _ = run(play_args(tmp_path, "--workers", 1, "--show", "1:3"), capsys)
    assert status == 0
    assert (tmp_path / "fog-g1-p3.svg").exists()
    status, _, err = run(play_args(tmp_path, "--workers", 1, games=3), capsys)
    assert status == 2
    assert "already holds a self-play run; pass --overwrite" in err
    status, _, _ = run(play_args(tmp_path, "--workers", 1, "--overwrite", games=3), capsys)
    assert status == 0
    assert not (tmp_path / "fog-g1-p3.svg").exists()
    assert sorted(p.name for p in tmp_path.glob("fog-*")) == ["fog-g0-p20.svg", "fog-g0-p20.txt"]
    assert load_run(tmp_path)[1]["games"] == 3


def test_a_failed_overwrite_leaves_no_mismatched_summary(tmp_path, capsys, monkeypatch):
    status, _, _ = run(play_args(tmp_path, "--workers", 1, games=2), capsys)
    assert status == 0

    def full_disk(*args, **kwargs):
        raise OSError("No space left on device")

    monkeypatch.setattr(torch, "save", full_disk)
    status, _, err = run(play_args(tmp_path, "--workers", 1, "--overwrite", games=3), capsys)
    assert status == 1
    assert "No space left on device" in err
    assert not (tmp_path / SUMMARY_FILE).exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == [DATA_FILE]


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--games", "0"], "argument --games: must be at least 1"),
        (["--games", "many"], "argument --games: expected a whole number"),
        (["--max-plies", "-3"], "argument --max-plies: must be at least 1"),
        (["--workers", "0"], "argument --workers: must be at least 1"),
        (["--seed", "-1"], "argument --seed: must lie in 0..2**63-1"),
        (["--policy", "greedy"], "argument --policy: invalid choice"),
        (["--show", "3"], "argument --show: expected GAME:PLY"),
        (["--show", "9:0"], "--show names game 9, but only 6 are played"),
        (["--checkpoint", "net.pt"], "--checkpoint, --hidden and --save-net go with --policy net"),
        (["--policy", "net", "--checkpoint", "missing.pt"], "checkpoint missing.pt does not exist"),
        (["--policy", "net", "--checkpoint", "x.pt", "--hidden", "8"], "--hidden is for a fresh"),
        (["--policy", "net", "--save-net", "no/such/dir/net.pt"], "its directory does not exist"),
        (["--start-fen", "8/8/8 w - - 0 1"], "Invalid FEN string"),
        (["--ray", " "], "--ray needs an address"),
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
    run_dir = tmp_path / "run"
    shutil.copytree(random_run, run_dir)
    summary = json.loads((run_dir / SUMMARY_FILE).read_text())
    last = summary["game_records"][5]["plies"]
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


def process_stat(pid):
    """(state, parent PID, start time) from /proc, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            text = stat.read()
    except OSError:
        return None
    # The command name stands in parentheses and may hold spaces; the fields follow it.
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1]), int(fields[19])


def children(pid):
    """{PID: (start time, command line)} of the running children of `pid`."""
    found = {}
    for entry in os.listdir("/proc"):
        stat = process_stat(entry) if entry.isdigit() else None
        if stat is not None and stat[1] == pid:
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    command = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                continue
            found[int(entry)] = (stat[2], command)
    return found


def running(pid, start):
    stat = process_stat(pid)
    return stat is not None and stat[2] == start and stat[0] not in "ZX"


def read_until(stream, pattern, limit_seconds):
    """What the stream gave until `pattern` matched it; fails when it did not in time (a hung
    run must fail the test, not stall it)."""
    seen = b""
    deadline = time.monotonic() + limit_seconds
    while not re.search(pattern, seen):
        left = deadline - time.monotonic()
        assert left > 0 and select.select([stream], [], [], left)[0], f"never matched: {seen[-500:]!r}"
        chunk = os.read(stream.fileno(), 4096)
        assert chunk, f"stream closed: {seen[-500:]!r}"
        seen += chunk
    return seen


def test_sigterm_stops_a_run_like_ctrl_c(tmp_path):
    """SIGTERM in the middle of the games: status 143, a message, no files, no workers left."""
    out = tmp_path / "run"
    process = subprocess.Popen(
        [SCRIPT, "play", "--games", "100000", "--max-plies", "60", "--workers", "2", "--out", out],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
    )
    try:
        # The progress bar counts a finished game: both workers are up and playing.
        read_until(process.stderr, rb"\| *[1-9][0-9]*/100000", limit_seconds=300)
        workers = {pid: start for pid, (start, command) in children(process.pid).items()
                   if "spawn_main" in command}
        assert len(workers) == 2
        others = {pid: start for pid, (start, _) in children(process.pid).items()}
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    err = err.decode()

    assert process.returncode == 143, err
    assert "quellor-selfplay: terminated; nothing was written" in err
    assert "Traceback" not in err
    assert list(tmp_path.rglob("*")) == []
    # The workers were ended and reaped before the command exited.
    assert [pid for pid, start in workers.items() if running(pid, start)] == []
    # Multiprocessing's resource tracker goes once it sees the command gone.
    deadline = time.monotonic() + 60
    while any(running(pid, start) for pid, start in others.items()) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert [pid for pid, start in others.items() if running(pid, start)] == []
