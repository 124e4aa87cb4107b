"""examples/ppo_single_file.py: its advantages against a direct sum over each game's future, and
a short run through its command line."""

import subprocess
import sys

import pytest
import torch

from support import ROOT

sys.path.insert(0, str(ROOT / "examples"))
import ppo_single_file as ppo  # noqa: E402


def direct_advantages(rewards, values, dones, decisions, next_value, gamma, lam):
    """A_t = sum over k of (gamma lam)^k delta_{t+k}, summed until the step that ends the game;
    0 on restart steps."""
    steps, games = rewards.shape
    out = torch.zeros_like(rewards)
    for g in range(games):
        for t in range(steps):
            if not decisions[t, g]:
                continue
            total, weight = 0.0, 1.0
            for u in range(t, steps):
                following = next_value[g] if u == steps - 1 else values[u + 1, g]
                delta = rewards[u, g] + gamma * following * (1 - dones[u, g]) - values[u, g]
                total += weight * delta
                if dones[u, g]:
                    break
                weight *= gamma * lam
            out[t, g] = total
    return out


@pytest.mark.parametrize("seed", range(4))
def test_advantages_stop_at_each_game_end_and_skip_restarts(seed):
    generator = torch.Generator().manual_seed(seed)
    steps, games = 12, 5
    dones = (torch.rand(steps, games, generator=generator) < 0.25).float()
    # The step after a game's end is its restart.
    decisions = torch.ones(steps, games)
    decisions[1:][dones[:-1].bool()] = 0
    dones[~decisions.bool()] = 0
    rewards = torch.randint(-1, 2, (steps, games), generator=generator).float() * dones
    values = torch.randn(steps, games, generator=generator)
    next_value = torch.randn(games, generator=generator)
    got = ppo.gae(rewards, values, dones, decisions, next_value, 0.9, 0.8)
    want = direct_advantages(rewards, values, dones, decisions, next_value, 0.9, 0.8)
    assert torch.allclose(got, want, atol=1e-5)


def test_a_short_run_from_the_command_line():
    run = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "ppo_single_file.py"), "--total-timesteps", "256",
         "--num-envs", "4", "--num-steps", "32", "--channels", "8", "--eval-games", "4", "--threads", "1",
         "--max-plies", "60"],
        capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("iteration 1/2: ")
    scores = [line for line in lines if line.startswith("score against ")]
    assert [s.split(" over ")[0] for s in scores] == ["score against random", "score against greedy"]
    assert all(0.0 <= float(s.rsplit(": ", 1)[1]) <= 1.0 for s in scores)
