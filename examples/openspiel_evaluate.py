"""A policy network's checkpoint against a uniformly random player or the greedy bot, with
OpenSpiel's evaluate_bots.

    python examples/openspiel_evaluate.py --games 20                      # a freshly seeded net
    python examples/openspiel_evaluate.py --checkpoint net.pt --games 100 --opponent greedy

The checkpoint is one that `quellor-selfplay play --save-net` writes. Each game is played once
with the network as White and once as Black; the mean returns are printed from its side.
"""

from __future__ import annotations

import argparse
from typing import Any, Optional, Sequence

import numpy as np
import pyspiel  # type: ignore[import-not-found, import-untyped, unused-ignore]
from open_spiel.python.algorithms.evaluate_bots import evaluate_bots  # type: ignore[import-not-found, import-untyped, unused-ignore]
from open_spiel.python.bots.uniform_random import UniformRandomBot  # type: ignore[import-not-found, import-untyped, unused-ignore]

from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.envs.openspiel import GAME_NAME, CheckpointBot, PlayerBot
from quellor_selfplay.net import PolicyValueNet, load_checkpoint, seeded_net


def evaluate(net: PolicyValueNet, games: int, seed: int, max_plies: int, opponent: str = "random") -> dict[str, float]:
    """Plays 2 * `games` games against `opponent` ("random" or "greedy"); returns the network's
    mean return as White, as Black and in all."""
    game = pyspiel.load_game(GAME_NAME, {"max_plies": max_plies})
    rng = np.random.default_rng(seed)
    returns: dict[str, list[float]] = {"white": [], "black": []}
    for g in range(games):
        for seat, side in ((0, "white"), (1, "black")):
            mine = CheckpointBot(seat, net, rng)
            theirs = (PlayerBot(1 - seat, GreedyPlayer(), seed * 1000 + g) if opponent == "greedy"
                      else UniformRandomBot(1 - seat, rng))
            bots: list[Any] = [mine, theirs] if seat == 0 else [theirs, mine]
            result = evaluate_bots(game.new_initial_state(), bots, rng)
            returns[side].append(result[seat])
    everything = returns["white"] + returns["black"]
    return {
        "white": float(np.mean(returns["white"])),
        "black": float(np.mean(returns["black"])),
        "all": float(np.mean(everything)),
    }


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--checkpoint", help="network weights (default: a net seeded by --seed)")
    parser.add_argument("--games", type=int, default=10, help="games per colour (default 10)")
    parser.add_argument("--max-plies", type=int, default=300, help="a draw after this many plies")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--opponent", choices=("random", "greedy"), default="random",
                        help="a uniformly random player or the greedy bot (default random)")
    args = parser.parse_args(argv)
    net = load_checkpoint(args.checkpoint) if args.checkpoint else seeded_net(args.seed)
    means = evaluate(net, args.games, args.seed, args.max_plies, args.opponent)
    against = "the greedy bot" if args.opponent == "greedy" else "a uniformly random player"
    print(f"{2 * args.games} games against {against}; the network's mean return: "
          f"{means['all']:+.3f} (as White {means['white']:+.3f}, as Black {means['black']:+.3f})")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
