"""quellor-selfplay --ray: the same games on Ray actors, on a local Ray that the tests start."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from quellor_selfplay.commands.cli import main
from quellor_selfplay.net import save_checkpoint, seeded_net
from support.runs import check_run, load_run, same_data

ray = pytest.importorskip("ray")

pytestmark = pytest.mark.processes

SCRIPT = Path(sys.executable).with_name("quellor-selfplay")


def play_args(out, *extra, games=8, max_plies=24):
    return [str(a) for a in ["play", "--games", games, "--max-plies", max_plies, "--seed", 3,
                             "--shard-size", 3, "--out", out, "--no-progress", *extra]]


def test_no_cluster_to_join_fails_the_run(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    result = subprocess.run([SCRIPT, *play_args(tmp_path / "out", "--ray", "auto")],
                            capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 1
    assert "cannot connect to Ray at 'auto'" in result.stderr
    assert not (tmp_path / "out").exists()


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
