"""Memory of quellor games, measured as resident memory of this process (run it in a fresh
interpreter: `python bench/memory.py` prints one JSON object).

- bytes per game: resident growth while GAMES clones of a game holding eight planes are kept
  alive, divided by GAMES (the list that holds them adds 8 bytes a game);
- growth over CALLS calls: resident memory after CALLS apply() calls (knights out and back, as
  python-chess Moves and as text) and CALLS clone() calls of a game holding eight planes, against
  the figure after a warm-up of WARMUP calls of each.
"""

import gc
import json
import os
import sys

GAMES = 2000
CALLS = 10**6
WARMUP = 10**5
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def game_with_eight_planes(SelfPlayGame):
    game = SelfPlayGame()
    for move in ("e2e4", "e7e5", "g1f3", "b8c6", "f1c4", "g8f6", "d2d3"):
        game.apply(move)
    return game


def bytes_per_game(SelfPlayGame):
    base = game_with_eight_planes(SelfPlayGame)
    kept = []
    gc.collect()
    before = resident_bytes()
    for _ in range(GAMES):
        kept.append(base.clone())
    after = resident_bytes()
    return (after - before) / GAMES


def calls(SelfPlayGame, count):
    import chess

    cycle = ["g1f3", "g8f6", "f3g1", "f6g8"]
    moves = [chess.Move.from_uci(text) for text in cycle]
    game = SelfPlayGame()
    apply = game.apply
    for i in range(count // 2):
        apply(moves[i & 3])
    for i in range(count - count // 2):
        apply(cycle[i & 3])
    full = game_with_eight_planes(SelfPlayGame)
    clone = full.clone
    for _ in range(count):
        clone()


def main():
    from quellor import SelfPlayGame

    per_game = bytes_per_game(SelfPlayGame)
    gc.collect()
    calls(SelfPlayGame, WARMUP)
    gc.collect()
    warm = resident_bytes()
    calls(SelfPlayGame, CALLS)
    gc.collect()
    end = resident_bytes()
    json.dump(
        {"bytes_per_game": per_game, "resident_after_warmup": warm, "resident_after_calls": end, "calls": CALLS},
        sys.stdout,
    )
    print()


if __name__ == "__main__":
    main()
