"""The greedy bot's decisions per CPU-second, next to the players it stands beside.

Positions come from random games under the fog-of-war rules (GameBatch, uint8 observations),
cut into chunks of `--batch` games to move as the arena gives them to a player. Each chunk goes
through GreedyPlayer, the network player (play's default MLP, width 256, from one seed) and the
random player, in rotating order, on one torch thread; each figure is positions per CPU-second,
with the ratio of greedy's to the peer's from paired measurements on the same chunks.

    greedy_bench.py [--positions N] [--batch B] [--rounds R]
"""

import argparse
import time

import torch

from quellor_selfplay.batch import GameBatch
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.net import seeded_net
from quellor_selfplay.players import NetPlayer, RandomPlayer
from timing import paired


def positions(count, batch, seed=0):
    """Chunks of (observations, masks, random slots) from random dark games of `batch` games."""
    games = GameBatch(batch, rules="dark", max_plies=200, auto_reset=True, seed=seed, threads=1)
    chunks = []
    while len(chunks) * batch < count:
        live = games.legal_action_mask.any(dim=1)
        if bool(live.all()):
            chunks.append((games.observation.clone(), games.legal_action_mask.clone(), games.random_actions()))
        games.step(games.random_actions().clamp(min=0))
    return chunks


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--positions", type=int, default=20_000)
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    torch.set_num_threads(1)
    chunks = positions(args.positions, args.batch)
    players = {"greedy": GreedyPlayer(), "net (MLP 256)": NetPlayer(seeded_net(seed=0)), "random": RandomPlayer()}

    def timed(player):
        def run(chunk):
            observations, masks, drawn = chunk
            generator = torch.Generator().manual_seed(0)
            start = time.process_time()
            player.act(observations, masks, generator, drawn)
            return time.process_time() - start
        return run

    samples, totals = paired({name: timed(p) for name, p in players.items()}, chunks, args.rounds)
    count = len(chunks) * args.batch
    print(f"{count} positions of random dark games, {args.batch} games a call, one torch thread, "
          f"median of {args.rounds} rounds")
    print(f"{'player':<16} {'positions/CPU-s':>16} {'greedy x':>9}")
    for name in players:
        ratio = samples.ratio(name, "greedy")
        print(f"{name:<16} {count / totals[name]:>16,.0f} {ratio:>9.2f}")


if __name__ == "__main__":
    main()
