"""How fast a Belief takes in a ply, next to GameBatch.play_random in the same run.

Random dark games are drawn once; every round follows each of them from its start with a belief
per side (cap 100,000 by default), timing only update() on this thread's CPU clock, and then
plays random games in a one-thread GameBatch. A belief's figure is candidate positions per
CPU-second (every child of every member expanded, and every member an own move was applied to:
making the move, checking the view, deduplicating); play_random's is plies per CPU-second. Each
figure is the median over the rounds, the ratio the median of the paired rounds' ratios.

Then, with --sizes, the set's size by ply (median and maximum over games and sides) and how
often it is still exact, following --size-games games of --size-plies plies at the cap, of
random moves or of the greedy bot against itself (--size-policy).

    belief_bench.py [--games N] [--plies P] [--cap C] [--rounds R] [--sizes] [--size-games N]
                    [--size-plies P] [--size-policy random|greedy]
"""

import argparse
import random
import statistics
import time

import numpy as np

from quellor_selfplay.batch import GameBatch
from quellor_selfplay.belief import BYTES_PER_POSITION, Belief
from timing import interleaved


def random_games(count, plies, seed):
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        batch = GameBatch(1, rules="dark", threads=1)
        codes = []
        while len(codes) < plies and not batch.terminated[0]:
            codes.append(rng.choice(batch.legal_move_codes(0)))
            batch.step_moves(np.array(codes[-1:]))
        games.append(codes)
    return games


def greedy_games(count, plies, seed):
    """`count` games of the greedy bot against itself, as move codes (its near ties drawn from
    a seeded generator, so the games differ)."""
    import torch

    from quellor_selfplay.bots import GreedyPlayer

    bot = GreedyPlayer()
    generator = torch.Generator().manual_seed(seed)
    batch = GameBatch(count, rules="dark", threads=1)
    games = [[] for _ in range(count)]
    for _ in range(plies):
        live = (~(batch.terminated | batch.truncated)).nonzero().flatten()
        if len(live) == 0:
            break
        actions = torch.zeros(count, dtype=torch.int64)
        slots, _ = bot.act(batch.observation[live], batch.legal_action_mask[live], generator, None)
        actions[live] = torch.from_numpy(slots)
        batch.step(actions)
        for i in live.tolist():
            games[i].append(int(batch.last_move[i]))
    return games


def follow(games, cap, sizes):
    """Candidates per CPU-second of the updates that follow `games`, both sides."""
    candidates, seconds = 0, 0.0
    for codes in games:
        batch = GameBatch(1, rules="dark", threads=1)
        beliefs = [Belief(batch, 0, side, cap=cap) for side in ("white", "black")]
        for code in codes:
            batch.step_moves(np.array([code]))
            for belief in beliefs:
                start = time.thread_time()
                belief.update()
                seconds += time.thread_time() - start
                sizes.append(belief.size)
        candidates += sum(b.candidates for b in beliefs)
    return candidates / seconds


def play(steps):
    batch = GameBatch(256, rules="dark", max_plies=300, auto_reset=True, threads=1)
    start = time.thread_time()
    plies = batch.play_random(steps)["plies"]
    return plies / (time.thread_time() - start)


def size_table(games, cap):
    """Per ply: the sizes of both sides' sets over `games`, and whether each was exact."""
    by_ply = {}
    for codes in games:
        batch = GameBatch(1, rules="dark", threads=1)
        beliefs = [Belief(batch, 0, side, cap=cap) for side in ("white", "black")]
        for ply, code in enumerate(codes, 1):
            batch.step_moves(np.array([code]))
            for belief in beliefs:
                belief.update()
                by_ply.setdefault(ply, []).append((belief.size, belief.exact))
    return by_ply


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=12)
    parser.add_argument("--plies", type=int, default=16)
    parser.add_argument("--cap", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", action="store_true")
    parser.add_argument("--size-games", type=int, default=50)
    parser.add_argument("--size-plies", type=int, default=40)
    parser.add_argument("--size-policy", choices=("random", "greedy"), default="random",
                        help="who plays the games of the size table: random moves, or the greedy bot against itself")
    args = parser.parse_args()

    games = random_games(args.games, args.plies, seed=1)
    sizes = []
    samples = interleaved({"belief": lambda: follow(games, args.cap, sizes), "play_random": lambda: play(400)},
                          args.rounds)
    belief, plies = samples.median("belief"), samples.median("play_random")
    print(f"{args.games} random dark games of up to {args.plies} plies, both sides, cap {args.cap}, "
          f"{args.rounds} rounds")
    print(f"  belief update:  {belief / 1e6:8.2f} M candidates per CPU-second ({1e9 / belief:6.1f} ns each)")
    print(f"  play_random:    {plies / 1e6:8.2f} M plies per CPU-second      ({1e9 / plies:6.1f} ns each)")
    print(f"  ratio:          {samples.ratio('belief', 'play_random'):8.2f} candidates per ply's time")
    print(f"  set size: median {statistics.median(sizes):.0f}, max {max(sizes)}; "
          f"{BYTES_PER_POSITION} bytes per stored position")

    if args.sizes:
        made = random_games if args.size_policy == "random" else greedy_games
        table = size_table(made(args.size_games, args.size_plies, seed=2), args.cap)
        print(f"set size by ply, {args.size_games} {args.size_policy} dark games, both sides, cap {args.cap}")
        print("  plies    median       max   exact")
        for first in range(1, args.size_plies + 1, 5):
            rows = [r for ply in range(first, first + 5) for r in table.get(ply, [])]
            if rows:
                sizes = [size for size, _ in rows]
                exact = sum(e for _, e in rows) / len(rows)
                print(f"  {first:2d}-{first + 4:<3d} {statistics.median(sizes):9.0f} {max(sizes):9d} {exact:6.0%}")


if __name__ == "__main__":
    main()
