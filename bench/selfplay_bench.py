"""quellor-selfplay's net policy and data, next to what play did before GameBatch, for bench/run.py.

Throughput: the same network (play's default, an MLP of width 256, from one seed) chooses
every move of legal-rules games capped at 100 plies, once through the batched player that play
now uses (one GameBatch of 256 games, every waiting game in one forward pass, sampling over the
legal slots, the rows recorded as play records them) and once through the policy play used
before (one SelfPlayGame at a time: legal_actions(), encode(), one forward pass per position).
Both run on one torch thread in this process; figures are positions per CPU-second.

Data size: the same random games stored as play stores them now (a shard of compact rows) and
as it stored them before (selfplay.pt: float32 observations, deflated), in memory and on disk.

    selfplay_bench.py [--rounds N]      prints the section on its own
"""

import argparse
import io
import os
import shutil
import sys
import tempfile
import time
import zipfile
from pathlib import Path

import numpy as np
import torch

from one_game import OBS_LEN, NetPolicy, RandomPolicy, play_game, unpack_observations
from quellor_selfplay.arena import play_segment
from quellor_selfplay.config import GameConfig
from quellor_selfplay.data import ROW_BYTES, write_shard
from quellor_selfplay.net import seeded_net
from quellor_selfplay.players import NetPlayer, RandomPlayer

BATCH = 256
MAX_PLIES = 100
OLD_ROW_BYTES = OBS_LEN * 4 + 8 + 4 + 8 + 8  # float32 observation, action, value, game, ply
TARGET = 20


def cpu_seconds(run):
    start = time.process_time()
    positions = run()
    return positions, time.process_time() - start


class WholeForward(torch.nn.Module):
    """The same network seen only through forward(), as any TorchScript module is: the player
    takes all 4352 logits of every row instead of the MLP's shortcut to the legal ones."""

    def __init__(self, net):
        super().__init__()
        self.net = net

    def forward(self, observations):
        return self.net(observations)


class Contenders:
    """Positions per CPU-second of the batched player and of the one-position policy; every
    round plays new games (seeds move on), the same for both sides from round to round."""

    def __init__(self):
        self.net = seeded_net(seed=0)  # play --policy net's default network
        self.round = {"batched": 0, "batched dark": 0, "one at a time": 0, "random batched": 0,
                      "batched whole forward": 0}

    def batched(self, rules="legal", layout="history", name="batched", player=None):
        def run():
            seed = self.round[name]
            self.round[name] += 1
            games = [(g, 0, 0) for g in range(BATCH)]
            shard = play_segment(GameConfig(rules, layout, MAX_PLIES), games, [player or NetPlayer(self.net)],
                                 BATCH, seed)
            return len(shard["ply"])

        return lambda: rate(run)

    def one_at_a_time(self, games=3):
        policy = NetPolicy(self.net)

        def run():
            first = self.round["one at a time"] * games
            self.round["one at a time"] += 1
            return sum(play_game(policy, g, 1, MAX_PLIES).plies for g in range(first, first + games))

        return lambda: rate(run)


def rate(run):
    positions, seconds = cpu_seconds(run)
    return positions / seconds


# ---------------------------------------------------------------------------------------------
# Data size


def old_file_bytes(records, path):
    """Bytes of selfplay.pt as play wrote it before shards: torch.save of the float32 tensors,
    its zip entries deflated at level 1."""
    packed = np.concatenate([r.packed_observations for r in records])
    tensors = {
        "observations": torch.from_numpy(unpack_observations(packed)),
        "actions": torch.from_numpy(np.concatenate([r.actions for r in records])),
        "values": torch.from_numpy(np.concatenate([r.values for r in records])),
        "game": torch.tensor([r.game for r in records for _ in range(r.plies)]),
        "ply": torch.tensor([p for r in records for p in range(r.plies)]),
    }
    buffer = io.BytesIO()
    torch.save(tensors, buffer)
    buffer.seek(0)
    with zipfile.ZipFile(buffer) as stored, zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED,
                                                            compresslevel=1) as deflated:
        for entry in stored.infolist():
            target = zipfile.ZipInfo(entry.filename, date_time=entry.date_time)
            target.compress_type = zipfile.ZIP_DEFLATED
            with stored.open(entry) as src, deflated.open(target, "w") as dst:
                shutil.copyfileobj(src, dst, 1 << 20)
    return path.stat().st_size


def data_sizes(games=100):
    """(rows, old bytes on disk, new bytes on disk) for the same random legal-rules games."""
    records = [play_game(RandomPolicy(), g, seed=5, max_plies=MAX_PLIES) for g in range(games)]
    rows = sum(r.plies for r in records)
    shard = play_segment(GameConfig("legal", "history", MAX_PLIES), [(g, 0, 0) for g in range(games)],
                         [RandomPlayer()], games, seed=5)
    with tempfile.TemporaryDirectory() as folder:
        old = old_file_bytes(records, Path(folder) / "selfplay.pt")
        new = write_shard(shard, Path(folder) / "shard.npz")
    return rows, len(shard["ply"]), old, new


# ---------------------------------------------------------------------------------------------
# The section


def section(report, rounds, interleaved, fmt_int):
    threads_before = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        c = Contenders()
        contenders = {
            "one at a time": c.one_at_a_time(),
            "batched": c.batched(),
            "batched dark": c.batched("dark", "own", "batched dark"),
            "batched whole forward": c.batched(name="batched whole forward",
                                               player=NetPlayer(WholeForward(c.net))),
            "random batched": c.batched(name="random batched", player=RandomPlayer()),
        }
        rates = interleaved(contenders, rounds)
        rows_old, rows_new, old_disk, new_disk = data_sizes()
    finally:
        torch.set_num_threads(threads_before)

    ratio = rates.ratio("batched", "one at a time")
    report.out(f"6. quellor-selfplay's net policy: play's batched player ({BATCH} games in one GameBatch,")
    report.out("   one forward pass a step) next to the one-position-at-a-time policy play used before;")
    report.out(f"   the same network (MLP, width 256), legal rules, {MAX_PLIES}-ply cap, one torch thread")
    report.out("   positions per CPU-second                    rate    batched x")
    report.out(f"   {'one position at a time (before)':<40} {fmt_int(rates.median('one at a time')):>8}")
    report.out(f"   {'batched, encode() layout':<40} {fmt_int(rates.median('batched')):>8} {ratio:>10.1f}")
    report.out(f"   {'batched, dark rules, own layout':<40} {fmt_int(rates.median('batched dark')):>8} "
               f"{rates.ratio('batched dark', 'one at a time'):>10.1f}")
    report.out(f"   {'batched, whole forward pass':<40} {fmt_int(rates.median('batched whole forward')):>8} "
               f"{rates.ratio('batched whole forward', 'one at a time'):>10.1f}")
    report.out(f"   {'random policy, batched (for scale)':<40} {fmt_int(rates.median('random batched')):>8}")
    report.out("   batched x: median of the per-round ratios to the one-position policy. The batched player")
    report.out("   asks the MLP for the legal slots' logits only (its first layer summed over the non-zero")
    report.out("   inputs); the whole-forward row shows the same player taking all 4352 logits a row, as")
    report.out("   it does for a TorchScript module.")
    report.out("   data per position (the same 100 random games)       before        now    ratio")
    report.out(f"   {'in memory, bytes':<48} {fmt_int(OLD_ROW_BYTES):>10} {fmt_int(ROW_BYTES):>10} "
               f"{OLD_ROW_BYTES / ROW_BYTES:>8.1f}")
    report.out(f"   {'on disk (deflated), bytes':<48} {old_disk / rows_old:>10.1f} {new_disk / rows_new:>10.1f} "
               f"{(old_disk / rows_old) / (new_disk / rows_new):>8.1f}")
    report.out()
    report.target(ratio >= TARGET, f"net self-play, {BATCH} games >= {TARGET} x one at a time", f"{ratio:.1f} x")
    report.target(OLD_ROW_BYTES >= 8 * ROW_BYTES, "data per row in memory <= 1/8 of before",
                  f"1/{OLD_ROW_BYTES / ROW_BYTES:.0f}")
    report.target(old_disk / rows_old >= 8 * new_disk / rows_new, "data per row on disk <= 1/8 of before",
                  f"1/{(old_disk / rows_old) / (new_disk / rows_new):.1f}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    from report import Report, fmt_int
    from timing import interleaved

    report = Report()
    section(report, args.rounds, interleaved, fmt_int)
    for met, label, figure, why in report.targets:
        report.out(f"   {'met   ' if met else 'MISSED'}  {label:<58} {figure:>10}")
