#!/usr/bin/env python3
"""Compares the perft tool's per-move counts with Stockfish's "go perft" on positions reached
by seeded random play from the standard perft positions.

    stockfish_compare.py <perft-binary> [--positions N] [--depth D] [--seed S]

Each visited position is counted by both engines to the same depth, move by move; the random
walk then continues with one of the root moves the perft tool listed. Exits 0 when every
position agrees, 1 on any difference, and 77 (CTest's skip code here) when no Stockfish
binary can be found.
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys

SKIP = 77

START_POSITIONS = [
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
]

DIVIDE_LINE = re.compile(r"^([a-h][1-8][a-h][1-8][qrbn]?): (\d+)$")
TOTAL_LINE = re.compile(r"^Nodes searched: (\d+)$")


def find_stockfish():
    for candidate in (shutil.which("stockfish"), "/usr/games/stockfish"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def parse_divide(lines):
    """Returns ({move: count}, total) from "go perft"-style output."""
    counts, total = {}, None
    for line in lines:
        line = line.strip()
        m = DIVIDE_LINE.match(line)
        if m:
            counts[m.group(1)] = int(m.group(2))
            continue
        m = TOTAL_LINE.match(line)
        if m:
            total = int(m.group(1))
    return counts, total


class Stockfish:
    """One Stockfish process, driven over UCI for the whole run."""

    def __init__(self, path):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.send("uci")
        self.read_until(lambda line: line == "uciok")
        self.send("setoption name Threads value 1")
        self.send("isready")
        self.read_until(lambda line: line == "readyok")

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def read_until(self, done):
        lines = []
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("stockfish exited unexpectedly")
            line = line.strip()
            lines.append(line)
            if done(line):
                return lines

    def divide(self, fen, moves, depth):
        position = f"position fen {fen}" + (" moves " + " ".join(moves) if moves else "")
        self.send(position)
        self.send(f"go perft {depth}")
        return parse_divide(self.read_until(lambda line: TOTAL_LINE.match(line) is not None))

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()


def perft_divide(binary, fen, moves, depth):
    args = [binary, fen, str(depth), "--divide"]
    if moves:
        args += ["--moves", *moves]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"perft failed ({done.returncode}): {done.stderr.strip()}\n  {' '.join(args)}")
    return parse_divide(done.stdout.splitlines())


def describe_difference(ours, theirs):
    lines = []
    for move in sorted(set(ours) | set(theirs)):
        a, b = ours.get(move), theirs.get(move)
        if a != b:
            lines.append(f"    {move}: perft {a if a is not None else '-'}, stockfish {b if b is not None else '-'}")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("perft")
    parser.add_argument("--positions", type=int, default=400)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--seed", type=int, default=20240611)
    args = parser.parse_args()

    stockfish_path = find_stockfish()
    if stockfish_path is None:
        print("SKIPPED: no stockfish binary on PATH or at /usr/games/stockfish; "
              "install it (Debian package 'stockfish') to run this comparison.")
        return SKIP

    rng = random.Random(args.seed)
    stockfish = Stockfish(stockfish_path)
    compared = failures = promotions = 0
    walk = 0
    try:
        while compared < args.positions and failures < 5:
            fen = START_POSITIONS[walk % len(START_POSITIONS)]
            walk += 1
            moves = []
            for _ in range(rng.randint(4, 40)):
                ours, our_total = perft_divide(args.perft, fen, moves, args.depth)
                theirs, their_total = stockfish.divide(fen, moves, args.depth)
                compared += 1
                promotions += sum(1 for m in ours if len(m) == 5)
                if ours != theirs or our_total != their_total:
                    failures += 1
                    print(f"MISMATCH at fen '{fen}' moves [{' '.join(moves)}] depth {args.depth}: "
                          f"perft {our_total}, stockfish {their_total}")
                    print(describe_difference(ours, theirs))
                    break
                if not ours or compared >= args.positions:
                    break
                moves.append(rng.choice(sorted(ours)))
    finally:
        stockfish.close()

    print(f"{compared} positions compared at depth {args.depth} over {walk} random walks "
          f"(seed {args.seed}; {promotions} promotion moves among the root moves); {failures} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
