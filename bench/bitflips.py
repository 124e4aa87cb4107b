"""Random single-bit flips of a shard and of a checkpoint, and what the readers make of them.

Each flip is made on a fresh copy of a file the tool wrote (a shard of a small play run, the
latest.pt of a small training run) and read back the way the tool reads it. Every outcome is
one of: DataError (the reader refused the file, naming it), identical (it read back exactly what
was written: the flip fell on bytes nothing reads), or otherwise (any other exception, or other
data read without a word). The last must stay at 0.

    bitflips.py [--flips N] [--seed S]
"""

import argparse
import collections
import os
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
import torch

from quellor_selfplay.commands.cli import main
from quellor_selfplay.data import SelfPlayData, read_shard
from quellor_selfplay.fileio import DataError
from quellor_selfplay.net import read_checkpoint


def same(a, b):
    """Whether two values read back from files are equal, tensors and arrays by dtype and bytes."""
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        return (isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor) and a.dtype == b.dtype
                and a.shape == b.shape and torch.equal(a, b))
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype
                and np.array_equal(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


def trial(path, original, pristine, read, rng):
    """Flips one random bit of `path` (restored from `pristine` first) and classifies the read."""
    raw = bytearray(pristine)
    bit = int(rng.integers(len(raw) * 8))
    raw[bit // 8] ^= 1 << (bit % 8)
    path.write_bytes(bytes(raw))
    try:
        got = read()
    except DataError:
        return "DataError", None
    except Exception as err:  # what the readers must never let through
        return "otherwise", f"byte {bit // 8}: {type(err).__name__}: {str(err)[:120]}"
    if same(got, original):
        return "identical", None
    return "otherwise", f"byte {bit // 8}: read other data without an error"


def measure(name, path, read, flips, rng):
    pristine = path.read_bytes()
    original = read()
    counts = collections.Counter()
    examples = []
    for _ in range(flips):
        outcome, note = trial(path, original, pristine, read, rng)
        counts[outcome] += 1
        if note and len(examples) < 5:
            examples.append(note)
    path.write_bytes(pristine)
    print(f"{name:<42} {counts['DataError']:>9} {counts['identical']:>9} {counts['otherwise']:>9}   "
          f"({len(pristine):,} bytes)")
    for note in examples:
        print(f"    {note}")
    return counts


def main_(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--flips", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    work = Path(tempfile.mkdtemp(prefix="bitflips-"))
    try:
        quiet = ["--workers", "1", "--no-progress", "--seed", "5"]
        with open(os.devnull, "w") as devnull:
            stdout, sys.stdout = sys.stdout, devnull
            try:
                assert main(["play", "--games", "4", "--max-plies", "40", "--shard-size", "4", "--out",
                             str(work / "play"), *quiet]) == 0
                assert main(["train", "--iterations", "1", "--games", "4", "--batch", "4", "--max-plies", "20",
                             "--eval-games", "2", "--final-games", "2", "--channels", "4", "--blocks", "0",
                             "--out", str(work / "train"), *quiet]) == 0
            finally:
                sys.stdout = stdout
        shard = work / "play" / "shards" / "shard-00000.npz"
        latest = work / "train" / "checkpoints" / "latest.pt"
        rng = np.random.default_rng(args.seed)
        print(f"{args.flips} random single-bit flips each (seed {args.seed})")
        print(f"{'file, read by':<42} {'DataError':>9} {'identical':>9} {'otherwise':>9}")
        total = collections.Counter()
        total += measure("shard, SelfPlayData(run) (manifest digest)", shard,
                         lambda: SelfPlayData(work / "play").arrays, args.flips, rng)
        total += measure("shard, read_shard(file) alone", shard, lambda: read_shard(shard), args.flips, rng)
        total += measure("latest.pt, read_checkpoint", latest, lambda: read_checkpoint(latest)[1], args.flips, rng)
        return 1 if total["otherwise"] else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    raise SystemExit(main_())
