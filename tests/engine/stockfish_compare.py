#!/usr/bin/env python3
"""Compares the perft tool's per-move counts with Stockfish's "go perft" on positions reached
by seeded random play from the standard perft positions and from positions rich in
promotions, en passant, castling and checks (tests/positions.py).

    stockfish_compare.py <perft-binary> [--positions N] [--depth D] [--seed S] [--variant V]

Each visited position is counted by both engines to the same depth, move by move ("--divide");
the random walk then continues with one of the root moves the perft tool listed. Exits 0 when
every position agrees, 1 on any difference, and 77 (CTest's skip code here) when no Stockfish
binary can be found. --variant is handed to the perft tool (pext, magic, baseline, or movegen for
the plain MoveGen recursion); without it the tool counts with its default. A variant this CPU
cannot run (the tool says what it lacks) is skipped with 77 as well.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
from collections import Counter

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
from positions import PERFT_POSITIONS, PERFT_SEED, random_walks  # noqa: E402

SKIP = 77

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

    def show(self, fen, moves):
        """Stockfish's own FEN of the position and the squares of the pieces giving check."""
        position = f"position fen {fen}" + (" moves " + " ".join(moves) if moves else "")
        self.send(position)
        self.send("d")
        lines = self.read_until(lambda line: line.startswith("Checkers:"))
        shown = next(line[len("Fen: "):] for line in lines if line.startswith("Fen: "))
        return shown, lines[-1][len("Checkers:"):].split()

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()


def perft_divide(binary, fen, moves, depth, variant=None):
    args = [binary, fen, str(depth), "--divide"]
    if variant:
        args += ["--variant", variant]
    if moves:
        args += ["--moves", *moves]
    done = subprocess.run(args, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"perft failed ({done.returncode}): {done.stderr.strip()}\n  {' '.join(args)}")
    return parse_divide(done.stdout.splitlines())


def variant_missing(binary, variant):
    """The tool's refusal when this CPU lacks the instructions `variant` needs, else None. Any
    other failure is left to show itself in the comparison."""
    done = subprocess.run([binary, "startpos", "1", "--variant", variant], capture_output=True, text=True, timeout=60)
    return done.stderr.strip() if done.returncode != 0 and "lacks" in done.stderr else None


def describe_difference(ours, theirs):
    lines = []
    for move in sorted(set(ours) | set(theirs)):
        a, b = ours.get(move), theirs.get(move)
        if a != b:
            lines.append(f"    {move}: perft {a if a is not None else '-'}, stockfish {b if b is not None else '-'}")
    return "\n".join(lines)


def features(fen, checkers, ours):
    """Names of the special things a position offers: check, double check, an en-passant
    square, castling and promotion among its root moves."""
    placement, _, _, ep = fen.split()[:4]
    board = {}
    rank = 7
    for row in placement.split("/"):
        file = 0
        for c in row:
            if c.isdigit():
                file += int(c)
            else:
                board["abcdefgh"[file] + str(rank + 1)] = c
                file += 1
        rank -= 1
    found = []
    if checkers:
        found.append("check" if len(checkers) == 1 else "double check")
    if ep != "-":
        found.append("en passant")
    if any(m[:4] in ("e1g1", "e1c1", "e8g8", "e8c8") and board.get(m[:2], " ") in "Kk" for m in ours):
        found.append("castling")
    if any(len(m) == 5 for m in ours):
        found.append("promotion")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("perft")
    parser.add_argument("--positions", type=int, default=PERFT_POSITIONS)
    parser.add_argument("--depth", type=int, default=4)
    parser.add_argument("--seed", type=int, default=PERFT_SEED)
    parser.add_argument("--variant", help="the perft tool's counter (its --variant option)")
    args = parser.parse_args()

    stockfish_path = find_stockfish()
    if stockfish_path is None:
        print("SKIPPED: no stockfish binary on PATH or at /usr/games/stockfish; "
              "install it (Debian package 'stockfish') to run this comparison.")
        return SKIP

    missing = args.variant and variant_missing(args.perft, args.variant)
    if missing:
        print(f"SKIPPED: {missing}")
        return SKIP

    stockfish = Stockfish(stockfish_path)
    by_depth = Counter()
    seen = Counter()
    failures = nodes = 0

    def compare(fen, moves):
        nonlocal failures, nodes
        depth = args.depth
        ours, our_total = perft_divide(args.perft, fen, moves, depth, args.variant)
        theirs, their_total = stockfish.divide(fen, moves, depth)
        by_depth[depth] += 1
        nodes += their_total or 0
        if ours != theirs or our_total != their_total:
            failures += 1
            print(f"MISMATCH at fen '{fen}' moves [{' '.join(moves)}] depth {depth}: "
                  f"perft {our_total}, stockfish {their_total}")
            print(describe_difference(ours, theirs))
        shown, checkers = stockfish.show(fen, moves)
        seen.update(features(shown, checkers, ours))
        return [] if failures >= 5 else ours

    walks = 0
    try:
        for _, moves, _ in random_walks(compare, args.positions, args.seed):
            walks += not moves
            if failures >= 5:
                break
    finally:
        stockfish.close()

    compared = sum(by_depth.values())
    depths = ", ".join(f"{n} at depth {d}" for d, n in sorted(by_depth.items()))
    special = ", ".join(f"{seen[k]} {k}" for k in ("check", "double check", "en passant", "castling", "promotion"))
    counter = f" by the {args.variant} counter" if args.variant else ""
    print(f"{compared} positions{counter} compared with Stockfish ({depths}; {nodes} leaf nodes) over {walks} random "
          f"walks (seed {args.seed}); positions offering: {special}; {failures} mismatches")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
