#!/usr/bin/env python3
"""Perft speed of the engine next to Stockfish's own perft, measured in the same minute.

    perft_vs_stockfish.py <perft-binary> [--rounds N] [--counters]

Runs the perft tool and "stockfish bench 16 1 <depth> <fen-file> perft" alternately on the
start position (depth 6) and Kiwipete (depth 5), and prints the median nodes per second of
each and their ratio. Both count the last ply in bulk, so the figures compare directly.
The tool counts with its default, the best enumerator build this CPU runs. --counters also
times, in the same rounds, each of the tool's counters this CPU runs (the PEXT, magic and
baseline builds of the enumerator, and the plain MoveGen recursion) and prints their figures.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

POSITIONS = [
    ("start", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", 6),
    ("kiwipete", "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", 5),
]

# The perft tool's --variant names, fastest first.
COUNTERS = ("pext", "magic", "baseline", "movegen")


def find_stockfish():
    for candidate in (shutil.which("stockfish"), "/usr/games/stockfish"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no stockfish binary on PATH or at /usr/games/stockfish")


def ours(binary, fen, depth, counter=None):
    args = [binary, fen, str(depth)] + (["--variant", counter] if counter else [])
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    nodes = int(re.search(r"Nodes searched: (\d+)", out).group(1))
    nps = float(re.search(r"Nodes per second: (\d+)", out).group(1))
    return nodes, nps


def stockfish(binary, fen_file, depth):
    done = subprocess.run([binary, "bench", "16", "1", str(depth), fen_file, "perft"],
                          capture_output=True, text=True, check=True)
    out = done.stdout + done.stderr
    nodes = int(re.search(r"Nodes searched\s*:\s*(\d+)", out).group(1))
    nps = float(re.search(r"Nodes/second\s*:\s*(\d+)", out).group(1))
    return nodes, nps


def default_counter(binary):
    """The name of the counter the tool uses without --variant."""
    out = subprocess.run([binary, "startpos", "1"], capture_output=True, text=True, check=True).stdout
    return re.search(r"Variant: (\w+)", out).group(1)


def runnable_counters(binary):
    """The tool's counters this CPU runs: the tool refuses the others."""
    return [c for c in COUNTERS
            if subprocess.run([binary, "startpos", "1", "--variant", c], capture_output=True).returncode == 0]


def compare(perft, rounds, counters=()):
    """Per position: (name, depth, nodes, median perft nps, median stockfish nps, median of the
    per-round ratios, {counter: (median nps, median ratio)}), from `rounds` rounds that
    alternate the programs. The first figures are the tool's default counter's; `counters`
    names further counters to time in the same rounds, each paired with the Stockfish run of its
    round."""
    sf = find_stockfish()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, fen, depth in POSITIONS:
            fen_file = os.path.join(tmp, f"{name}.fen")
            with open(fen_file, "w") as f:
                f.write(fen + "\n")
            our_nps, sf_nps = [], []
            each = {c: [] for c in counters}
            for _ in range(rounds):
                nodes, nps = ours(perft, fen, depth)
                for c in counters:
                    counted, c_nps = ours(perft, fen, depth, c)
                    if counted != nodes:
                        sys.exit(f"{name}: node counts differ: default {nodes}, {c} {counted}")
                    each[c].append(c_nps)
                sf_nodes, snps = stockfish(sf, fen_file, depth)
                if nodes != sf_nodes:
                    sys.exit(f"{name}: node counts differ: perft {nodes}, stockfish {sf_nodes}")
                our_nps.append(nps)
                sf_nps.append(snps)
            ratio = statistics.median(a / b for a, b in zip(our_nps, sf_nps))
            by_counter = {c: (statistics.median(v), statistics.median(a / b for a, b in zip(v, sf_nps)))
                          for c, v in each.items()}
            rows.append((name, depth, nodes, statistics.median(our_nps), statistics.median(sf_nps), ratio,
                         by_counter))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("perft")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--counters", action="store_true", help="also time each counter the CPU runs")
    args = parser.parse_args()

    counters = runnable_counters(args.perft) if args.counters else []
    rows = compare(args.perft, args.rounds, counters)
    print(f"{'position':<10} {'depth':>5} {'nodes':>11} {'perft Mnps':>11} {'stockfish Mnps':>15} {'ratio':>6}")
    for name, depth, nodes, a, b, ratio, _ in rows:
        print(f"{name:<10} {depth:>5} {nodes:>11} {a / 1e6:>11.1f} {b / 1e6:>15.1f} {ratio:>6.2f}")
    print(f"medians of {args.rounds} interleaved runs each; ratio = perft / stockfish, median of the rounds' ratios; "
          f"perft counts with its default ({default_counter(args.perft)})")
    if counters:
        print()
        print(f"{'position':<10} " + " ".join(f"{c + ' Mnps (ratio)':>22}" for c in counters))
        for name, _, _, _, _, _, by_counter in rows:
            cells = [f"{by_counter[c][0] / 1e6:.1f} ({by_counter[c][1]:.2f})" for c in counters]
            print(f"{name:<10} " + " ".join(f"{cell:>22}" for cell in cells))


if __name__ == "__main__":
    main()
