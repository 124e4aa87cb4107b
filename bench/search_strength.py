"""The search player against the same network without search and against greedy.

Each match runs in a process of its own on one thread (the matches side by side, one core
each): the search player of CHECKPOINT (SearchSettings' defaults unless given) takes White in
the even games and Black in the odd ones, as `quellor-selfplay match` does. Besides the
scores it prints what a search move cost: the CPU time of the player's own thread in its
act() calls (drawing positions, the trial games, the forward passes) plus the updates of its
beliefs after every ply, per move it chose. The cost is CPU time, not wall time: a busy
machine stretches the wall clock of every process.

    search_strength.py [--checkpoint PATH] [--games N] [--opponents net,greedy] [--seed S]
                       [--slots N] [--samples K] [--nodes N] [--depth D] [--json PATH]
"""

import argparse
import json
import multiprocessing
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def play(task):
    checkpoint, opponent, games, seed, slots, settings = task
    import torch

    from quellor_selfplay.arena import derive_seed, play_segment
    from quellor_selfplay.config import GameConfig
    from quellor_selfplay.ledger import Ledger
    from quellor_selfplay.match import tally
    from quellor_selfplay.players import load_player, search_player

    torch.set_num_threads(1)
    search = search_player(checkpoint, **settings)
    other = load_player(checkpoint if opponent == "net" else opponent)
    players = [search.build(), other.build()]
    table = GameConfig(rules="dark", observation=search.observation or "own", max_plies=300)
    schedule = [(g, 0, 1) if g % 2 == 0 else (g, 1, 0) for g in range(games)]
    with Ledger() as ledger:
        shard = play_segment(table, schedule, players, slots, derive_seed(seed, "search match", opponent))
    result = tally(shard["game_result"].astype("int64"), shard["game_white"] == 0)
    beliefs = ledger.cpu_of(("beliefs",))
    player = players[0]
    return {
        "opponent": "the same network" if opponent == "net" else opponent,
        "result": result.as_dict(),
        "interval": result.score_interval,
        "moves": player.moves,
        "fallbacks": player.fallbacks,
        "ms_per_move": 1000 * (player.seconds + beliefs) / max(player.moves, 1),
        "ms_beliefs": 1000 * beliefs / max(player.moves, 1),
        "settings": settings,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--checkpoint", default=str(ROOT / "docs/learning-run/final.pt"))
    parser.add_argument("--games", type=int, default=400)
    parser.add_argument("--opponents", default="net,greedy")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--slots", type=int, default=16, help="games played at once in each match")
    parser.add_argument("--samples", type=int)
    parser.add_argument("--nodes", type=int)
    parser.add_argument("--depth", type=int)
    parser.add_argument("--json", type=Path)
    args = parser.parse_args(argv)
    settings = {k: v for k, v in (("samples", args.samples), ("nodes", args.nodes), ("depth", args.depth))
                if v is not None}
    tasks = [(args.checkpoint, o, args.games, args.seed, args.slots, settings) for o in args.opponents.split(",")]
    with multiprocessing.get_context("spawn").Pool(len(tasks)) as pool:
        rows = pool.map(play, tasks)
    print(f"search player of {args.checkpoint}, settings {settings or 'default'}, {args.games} games a match")
    print(f"{'opponent':<18} {'games':>6} {'wins':>5} {'draws':>6} {'losses':>7} {'score':>6} "
          f"{'95% interval':>14} {'ms/move':>8} {'of it beliefs':>14} {'no belief':>10}")
    for row in rows:
        r = row["result"]
        low, high = row["interval"]
        print(f"{row['opponent']:<18} {r['games']:>6} {r['wins']:>5} {r['draws']:>6} {r['losses']:>7} "
              f"{r['score']:>6.3f} {low:>6.3f}..{high:.3f} {row['ms_per_move']:>8.1f} {row['ms_beliefs']:>14.1f} "
              f"{row['fallbacks'] / max(row['moves'], 1):>10.1%}")
    if args.json:
        args.json.write_text(json.dumps(rows, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
