"""PPO on fog-of-war chess in one file, in the manner of CleanRL's ppo.py.

The agent plays N games at once against fixed opponents (half of the games against random play,
half against the greedy bot, colours alternating), through the Gymnasium vector environment
`quellor_selfplay.envs.gymnasium.OpponentVectorEnv`. Every setting is a field of `Args` below;
each one is also a command-line flag (`--num-envs 32`, `--total-timesteps 100000`). At the end it
plays `eval_games` games against each opponent and prints the agent's score, (wins + draws/2) /
games.

    python examples/ppo_single_file.py
    python examples/ppo_single_file.py --total-timesteps 20000 --eval-games 20

Where fog-of-war chess differs from an Atari game, and what this file does about it:
- Most of the 4,352 policy slots are illegal at any moment: the logits are masked with
  `masked_logits`, which keeps rows of finished games finite, so no NaN appears.
- A game that ended is restarted on the next step, whose action is ignored (Gymnasium's
  next-step auto-reset). That step's observation has an empty mask: such steps are not
  decisions, and they are left out of the advantages and the loss.
- The reward is +1, -1 or 0 when a game ends; a game cut at `max_plies` counts as a draw.
"""

from __future__ import annotations

import argparse
import dataclasses
import time
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn

from quellor_selfplay.codes import ACTION_SLOTS, OBS_COLS, OBS_ROWS
from quellor_selfplay.envs.gymnasium import OpponentVectorEnv
from quellor_selfplay.players import masked_logits


@dataclass
class Args:
    seed: int = 1
    """seed of the games, the network and the sampling"""
    opponents: tuple[str, ...] = ("random", "greedy")
    """the fixed opponents, each playing an equal share of the games"""
    num_envs: int = 64
    """games played at once, over all opponents"""
    num_steps: int = 64
    """steps of every game per rollout"""
    total_timesteps: int = 400_000
    """agent moves over the whole run"""
    max_plies: int = 200
    """plies (of both sides) after which a game stops as a draw"""
    learning_rate: float = 1e-3
    """Adam's step size, annealed to 0 over the run"""
    gamma: float = 0.99
    """discount per agent move"""
    gae_lambda: float = 0.95
    """lambda of the generalised advantage estimate"""
    num_minibatches: int = 4
    """minibatches per rollout"""
    update_epochs: int = 2
    """passes over each rollout"""
    clip_coef: float = 0.2
    """PPO's clipping of the probability ratio"""
    ent_coef: float = 0.01
    """weight of the entropy bonus"""
    vf_coef: float = 0.5
    """weight of the value loss"""
    max_grad_norm: float = 0.5
    """gradient clipping"""
    channels: int = 32
    """width of the network"""
    eval_games: int = 200
    """games against each opponent at the end"""
    threads: int = 0
    """torch threads (0: torch's default)"""


def parse_args() -> Args:
    """Every field of Args as a flag, with its default and its docstring as help."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    helps = field_docs(Args)
    for field in dataclasses.fields(Args):
        flag = "--" + field.name.replace("_", "-")
        if field.name == "opponents":
            parser.add_argument(flag, nargs="+", default=list(field.default), help=helps[field.name])
        else:
            parser.add_argument(flag, type=type(field.default), default=field.default,
                                help=f"{helps[field.name]} (default {field.default})")
    values = vars(parser.parse_args())
    values["opponents"] = tuple(values["opponents"])
    return Args(**values)


def field_docs(cls: type) -> dict[str, str]:
    """The string under each field of a dataclass, as CleanRL's Args keep their help."""
    import ast
    import inspect

    tree = ast.parse(inspect.getsource(cls))
    body = tree.body[0].body  # type: ignore[attr-defined]
    docs = {}
    for node, after in zip(body, body[1:]):
        if isinstance(node, ast.AnnAssign) and isinstance(after, ast.Expr):
            docs[node.target.id] = after.value.value  # type: ignore[union-attr]
    return docs


class Agent(nn.Module):
    """A small convolutional policy and value network.

    The observation's 64 rows are the squares (seen from the side to move) and its 106 columns
    the channels, so it is an 8 x 8 image of 106 planes. The policy scores a move from square f
    to square t as the dot product of a query of f and a key of t (the 4,096 plain slots) and
    a promotion from f by four logits of f's query (the 256 promotion slots).
    """

    def __init__(self, channels: int) -> None:
        super().__init__()
        self.body = nn.Sequential(
            nn.Conv2d(OBS_COLS, channels, 1), nn.ReLU(),
            nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU(),
            nn.Conv2d(channels, channels, 3, padding=1), nn.ReLU(),
        )
        self.query = nn.Linear(channels, channels)
        self.key = nn.Linear(channels, channels)
        self.promotion = nn.Linear(channels, 4)
        self.value = nn.Sequential(nn.Linear(channels * OBS_ROWS, 128), nn.ReLU(), nn.Linear(128, 1))

    def forward(self, obs: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        b = obs.shape[0]
        x = obs.float().transpose(1, 2).reshape(b, OBS_COLS, 8, 8)
        squares = self.body(x).flatten(2).transpose(1, 2)  # (b, 64, channels)
        moves = self.query(squares) @ self.key(squares).transpose(1, 2) / squares.shape[-1] ** 0.5
        logits = torch.cat([moves.flatten(1), self.promotion(squares).flatten(1)], dim=1)
        return logits, self.value(squares.flatten(1)).squeeze(1)


def play(agent: Agent, envs: list[OpponentVectorEnv], obs: list[dict[str, np.ndarray]], generator: torch.Generator):
    """One step of every game: the agent's slots, their log-probabilities, the values."""
    observations = torch.from_numpy(np.concatenate([o["observation"] for o in obs]))
    masks = torch.from_numpy(np.concatenate([o["action_mask"] for o in obs]))
    with torch.no_grad():
        logits, values = agent(observations)
        dist = torch.distributions.Categorical(logits=masked_logits(logits, masks))
        actions = dist.sample()
    return observations, masks, actions, dist.log_prob(actions), values


def gae(rewards: torch.Tensor, values: torch.Tensor, dones: torch.Tensor, decisions: torch.Tensor,
        next_value: torch.Tensor, gamma: float, lam: float) -> torch.Tensor:
    """Generalised advantage estimates of a rollout (steps x games). dones[t] is 1 where step t
    ended the game, decisions[t] 0 on a restart step (advantage 0, and nothing passes through it
    to the step before, which ended its game)."""
    advantages = torch.zeros_like(rewards)
    running = torch.zeros_like(next_value)
    for t in reversed(range(len(rewards))):
        following = next_value if t == len(rewards) - 1 else values[t + 1]
        go_on = 1.0 - dones[t]
        delta = rewards[t] + gamma * following * go_on - values[t]
        running = (delta + gamma * lam * go_on * running) * decisions[t]
        advantages[t] = running
    return advantages


def evaluate(agent: Agent, opponent: str, games: int, args: Args) -> float:
    """The agent's score over `games` games against `opponent`, half of them as White."""
    env = OpponentVectorEnv(min(games, 64), opponent, colour="alternate", max_plies=args.max_plies)
    obs, _ = env.reset(seed=args.seed + 10_000)
    generator = torch.Generator().manual_seed(args.seed)
    points, played = 0.0, 0
    while played < games:
        _, _, actions, _, _ = play(agent, [env], [obs], generator)
        obs, rewards, terminated, truncated, _ = env.step(actions.numpy())
        for i in np.flatnonzero(terminated | truncated):
            if played < games:
                points += (rewards[i] + 1) / 2
                played += 1
    return points / games


def main(args: Args) -> dict[str, float]:
    if args.threads:
        torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    share = args.num_envs // len(args.opponents)
    if share == 0:
        raise SystemExit(f"--num-envs {args.num_envs} is fewer than the {len(args.opponents)} opponents")
    envs = [OpponentVectorEnv(share, name, colour="alternate", max_plies=args.max_plies) for name in args.opponents]
    n = share * len(envs)
    batch_size = n * args.num_steps
    minibatch = batch_size // args.num_minibatches
    iterations = max(1, args.total_timesteps // batch_size)

    agent = Agent(args.channels)
    optimizer = torch.optim.Adam(agent.parameters(), lr=args.learning_rate, eps=1e-5)
    generator = torch.Generator().manual_seed(args.seed)

    observations = torch.zeros((args.num_steps, n, OBS_ROWS, OBS_COLS), dtype=torch.uint8)
    masks = torch.zeros((args.num_steps, n, ACTION_SLOTS), dtype=torch.bool)
    actions = torch.zeros((args.num_steps, n), dtype=torch.int64)
    log_probs = torch.zeros((args.num_steps, n))
    rewards = torch.zeros((args.num_steps, n))
    dones = torch.zeros((args.num_steps, n))
    values = torch.zeros((args.num_steps, n))

    obs = [env.reset(seed=args.seed + k)[0] for k, env in enumerate(envs)]
    started = time.time()
    results: dict[str, list[float]] = {name: [] for name in args.opponents}
    for iteration in range(1, iterations + 1):
        for group in optimizer.param_groups:
            group["lr"] = args.learning_rate * (1 - (iteration - 1) / iterations)

        for step in range(args.num_steps):
            observations[step], masks[step], actions[step], log_probs[step], values[step] = play(
                agent, envs, obs, generator)
            split = np.split(actions[step].numpy(), len(envs))
            outcomes = [env.step(a) for env, a in zip(envs, split)]
            obs = [o[0] for o in outcomes]
            rewards[step] = torch.from_numpy(np.concatenate([o[1] for o in outcomes])).float()
            ended = np.concatenate([o[2] | o[3] for o in outcomes])
            dones[step] = torch.from_numpy(ended).float()
            for name, (_, reward, terminated, truncated, _) in zip(args.opponents, outcomes):
                results[name].extend(reward[terminated | truncated].tolist())

        # A step whose observation has no legal slot is a restart, not a decision.
        decisions = masks.any(dim=2).float()
        with torch.no_grad():
            _, next_value = agent(torch.from_numpy(np.concatenate([o["observation"] for o in obs])))
        advantages = gae(rewards, values, dones, decisions, next_value, args.gamma, args.gae_lambda)
        returns = advantages + values

        flat = decisions.flatten().bool()
        b_obs, b_masks = observations.flatten(0, 1)[flat], masks.flatten(0, 1)[flat]
        b_actions, b_logp = actions.flatten()[flat], log_probs.flatten()[flat]
        b_adv, b_returns = advantages.flatten()[flat], returns.flatten()[flat]
        count = len(b_actions)
        for _ in range(args.update_epochs):
            order = torch.randperm(count, generator=generator)
            for start in range(0, count, minibatch):
                index = order[start:start + minibatch]
                logits, value = agent(b_obs[index])
                dist = torch.distributions.Categorical(logits=masked_logits(logits, b_masks[index]))
                ratio = (dist.log_prob(b_actions[index]) - b_logp[index]).exp()
                adv = b_adv[index]
                adv = (adv - adv.mean()) / (adv.std() + 1e-8)
                policy_loss = torch.max(-adv * ratio, -adv * ratio.clamp(1 - args.clip_coef, 1 + args.clip_coef)).mean()
                value_loss = 0.5 * ((value - b_returns[index]) ** 2).mean()
                entropy = dist.entropy().mean()
                loss = policy_loss + args.vf_coef * value_loss - args.ent_coef * entropy
                optimizer.zero_grad()
                loss.backward()
                nn.utils.clip_grad_norm_(agent.parameters(), args.max_grad_norm)
                optimizer.step()

        # The score over each opponent's last 100 games: (wins + draws/2) / games.
        scores = ", ".join(f"{name} {(np.mean(r[-100:]) + 1) / 2:.2f}" if r else f"{name} -"
                           for name, r in results.items())
        print(f"iteration {iteration}/{iterations}: {sum(map(len, results.values()))} games, recent score {scores}; "
              f"policy loss {policy_loss.item():.4f}, value loss {value_loss.item():.4f}, "
              f"entropy {entropy.item():.3f}, {time.time() - started:.0f} s", flush=True)

    scores = {name: evaluate(agent, name, args.eval_games, args) for name in args.opponents}
    for name, score in scores.items():
        print(f"score against {name} over {args.eval_games} games: {score:.3f}")
    return scores


if __name__ == "__main__":
    main(parse_args())
