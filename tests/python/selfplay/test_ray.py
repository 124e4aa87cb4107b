"""quellor-selfplay --ray: the same games on Ray actors, on a local Ray that the tests start."""

import os
import signal
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from quellor_selfplay.commands.cli import main
from quellor_selfplay.net import save_checkpoint, seeded_net
from support.runs import check_run, load_run, same_data, started

ray = pytest.importorskip("ray")

pytestmark = pytest.mark.processes

SCRIPT = Path(sys.executable).with_name("quellor-selfplay")


def play_args(out, *extra, games=8, max_plies=24):
    return [str(a) for a in ["play", "--games", games, "--max-plies", max_plies, "--seed", 3,
                             "--shard-size", 3, "--out", out, "--no-progress", *extra]]


def train_args(out, *extra):
    return [str(a) for a in ["train", "--iterations", 1, "--games", 4, "--batch", 4, "--max-plies", 20,
                             "--eval-games", 2, "--final-games", 2, "--channels", 8, "--blocks", 1, "--out", out,
                             "--no-progress", *extra]]


COMMANDS = {"play": play_args, "train": train_args}


@pytest.mark.parametrize("command", COMMANDS)
def test_no_cluster_to_join_fails_the_run(tmp_path, command):
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    result = subprocess.run([SCRIPT, *COMMANDS[command](tmp_path / "out", "--ray", "auto")],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 1
    assert "cannot connect to Ray at 'auto'" in result.stderr
    assert not (tmp_path / "out").exists()


@pytest.fixture
def silent_port():
    """A port that takes connections and never answers, as a service that is not Ray does."""
    with socket.socket() as listener:
        listener.bind(("0.0.0.0", 0))
        listener.listen(16)
        yield listener


def snapshot(folder):
    return {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


EARLIER = {"play": ["manifest.json", "summary.json", "shards/shard-00000.npz"],
           "train": ["checkpoints/latest.pt", "metrics.csv", "data/iter-00000/manifest.json"]}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize("where, reason, earlier", [
    ("refused", "nothing answers there", False),
    ("silent", "no Ray cluster answered within 2 s", False),
    ("refused", "nothing answers there", True),
], ids=["refused", "silent", "refused-over-an-earlier-run"])
def test_an_address_without_a_cluster_fails_in_its_time(tmp_path, silent_port, command, where, reason, earlier):
    """Status 1 and what went wrong once QUELLOR_RAY_CONNECT_SECONDS pass (ray.init alone retries
    for minutes), and --out as it was: not made, or an earlier run's files all kept."""
    address = "127.0.0.1:1" if where == "refused" else f"127.0.0.1:{silent_port.getsockname()[1]}"
    out = tmp_path / "out"
    for name in EARLIER[command] if earlier else []:
        (out / name).parent.mkdir(parents=True, exist_ok=True)
        (out / name).write_text(f"the earlier run's {name}")
    before = snapshot(out) if earlier else None
    env = {**os.environ, "QUELLOR_RAY_CONNECT_SECONDS": "2"}
    extra = ["--overwrite"] if earlier else []
    result = subprocess.run([SCRIPT, *COMMANDS[command](out, "--ray", address, *extra)], capture_output=True,
                            text=True, timeout=120, env=env)
    assert result.returncode == 1, result.stderr
    assert f"quellor-selfplay {command}: error: cannot connect to Ray at '{address}': {reason}" in result.stderr
    assert "Traceback" not in result.stderr
    assert (snapshot(out) == before) if earlier else not out.exists()


@pytest.mark.parametrize("command", COMMANDS)
def test_ctrl_c_while_joining_a_cluster_ends_the_run_at_once(tmp_path, silent_port, command):
    """Ctrl-C reaches a command that waits for a cluster (however long it would wait), which
    then says that it wrote nothing, and has not."""
    out = tmp_path / "out"
    address = f"127.0.0.1:{silent_port.getsockname()[1]}"
    env = {**os.environ, "QUELLOR_RAY_CONNECT_SECONDS": "3600"}
    with started([SCRIPT, *COMMANDS[command](out, "--ray", address)], env=env) as process:
        # The command knocks at the port before it hands the address to Ray.
        silent_port.settimeout(120)
        silent_port.accept()[0].close()
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
    err = err.decode()
    assert process.returncode == 130, err
    assert "quellor-selfplay: interrupted; nothing was written" in err
    assert "Traceback" not in err
    assert not out.exists()


def test_ray_local_starts_and_stops_its_own_ray(tmp_path):
    # Runs before the module's own Ray is up, so that two clusters never share the CPUs.
    result = subprocess.run(
        [SCRIPT, *play_args(tmp_path, "--ray", "local", "--workers", "2", games=4)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr
    _, summary = check_run(tmp_path, max_plies=24)
    assert summary["games"] == 4 and summary["settings"]["ray"] == "local"


@pytest.fixture(scope="module")
def local_ray():
    ray.init(num_cpus=2, include_dashboard=False, logging_level="WARNING")
    yield
    ray.shutdown()


@pytest.mark.parametrize("policy", [[], ["--policy", "net", "--hidden", "16", "--rules", "dark",
                                          "--observation", "own"]], ids=["random", "net"])
def test_ray_actors_give_the_local_games(local_ray, tmp_path, policy):
    assert main(play_args(tmp_path / "ray", "--ray", "auto", *policy)) == 0
    model = seeded_net(seed=3, hidden=16) if policy else None  # the network play seeds from --seed
    data, summary = check_run(tmp_path / "ray", max_plies=24, model=model)
    assert summary["settings"]["ray"] == "auto"
    assert summary["settings"]["workers"] is None
    # The run used the connection this process already had and left it open.
    assert ray.is_initialized()

    assert main(play_args(tmp_path / "local", "--workers", "1", *policy)) == 0
    local, _ = load_run(tmp_path / "local")
    assert same_data(data, local)


def test_a_failing_ray_task_fails_the_run(local_ray, tmp_path, capsys):
    import torch

    net = seeded_net(seed=0, hidden=8)
    with torch.no_grad():
        net.policy.bias.fill_(float("nan"))
    save_checkpoint(net, tmp_path / "nan.pt")
    status = main(play_args(tmp_path / "out", "--ray", "auto", "--policy", "net",
                            "--checkpoint", str(tmp_path / "nan.pt")))
    assert status == 1
    err = capsys.readouterr().err
    assert "a Ray task failed" in err
    assert "the network's policy gives no finite probabilities" in err
    assert not (tmp_path / "out").exists()
    # The failed run's actors are gone: the next run has all the CPUs.
    assert main(play_args(tmp_path / "next", "--ray", "auto", games=2)) == 0
