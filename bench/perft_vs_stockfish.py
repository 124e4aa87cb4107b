#!/usr/bin/env python3
"""Perft speed of the engine next to Stockfish's own perft, measured in the same minute.

    perft_vs_stockfish.py <perft-binary> [--rounds N]

Runs the perft tool and "stockfish bench 16 1 <depth> <fen-file> perft" alternately on the
start position (depth 6) and Kiwipete (depth 5), and prints the median nodes per second of
each and their ratio. Both count the last ply in bulk, so the figures compare directly.
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


def find_stockfish():
    for candidate in (shutil.which("stockfish"), "/usr/games/stockfish"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    sys.exit("no stockfish binary on PATH or at /usr/games/stockfish")


def ours(binary, fen, depth):
    out = subprocess.run([binary, fen, str(depth)], capture_output=True, text=True, check=True).stdout
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


def compare(perft, rounds):
    """Per position: (name, depth, nodes, median perft nps, median stockfish nps, median of the
    per-round ratios), from `rounds` rounds that alternate the two programs."""
    sf = find_stockfish()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, fen, depth in POSITIONS:
            fen_file = os.path.join(tmp, f"{name}.fen")
            with open(fen_file, "w") as f:
                f.write(fen + "\n")
            our_nps, sf_nps = [], []
            for _ in range(rounds):
                nodes, nps = ours(perft, fen, depth)
                sf_nodes, snps = stockfish(sf, fen_file, depth)
                if nodes != sf_nodes:
                    sys.exit(f"{name}: node counts differ: perft {nodes}, stockfish {sf_nodes}")
                our_nps.append(nps)
                sf_nps.append(snps)
            ratio = statistics.median(a / b for a, b in zip(our_nps, sf_nps))
            rows.append((name, depth, nodes, statistics.median(our_nps), statistics.median(sf_nps), ratio))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("perft")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    print(f"{'position':<10} {'depth':>5} {'nodes':>11} {'perft Mnps':>11} {'stockfish Mnps':>15} {'ratio':>6}")
    for name, depth, nodes, a, b, ratio in compare(args.perft, args.rounds):
        print(f"{name:<10} {depth:>5} {nodes:>11} {a / 1e6:>11.1f} {b / 1e6:>15.1f} {ratio:>6.2f}")
    print(f"medians of {args.rounds} interleaved runs each; ratio = perft / stockfish, median of the rounds' ratios")


if __name__ == "__main__":
    main()
