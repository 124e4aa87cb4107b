"""GameBatch next to OpenSpiel's dark_chess and to torch's own copy, for bench/run.py.

Both sides of every comparison do the same work per step: list the legal actions, pick one
uniformly at random, apply it; the Python loops also produce the side to move's observation.
Rates are steps per CPU-second of this process (one thread on both sides) except for the
thread comparison, which counts steps per second of wall time.

    batch_bench.py [--rounds N]      prints the section on its own
    batch_bench.py --memory          (internal) one batch's memory, as JSON
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

import torch

from quellor_selfplay import GameBatch

HERE = os.path.dirname(os.path.abspath(__file__))
KIB = 1024
BATCH = 256
MEMORY_GAMES = 50_000


def rate(run, seconds, clock):
    """Steps per second of `clock` of `run(k)` (which returns the steps it made), k grown until
    one call takes about `seconds`."""
    k = 1
    while True:
        start = clock()
        steps = run(k)
        spent = clock() - start
        if spent >= seconds or k >= 1 << 20:
            return steps / spent
        k = max(k * 2, int(k * seconds / max(spent, 1e-3)))


def cpu_rate(run, seconds):
    """Steps per CPU-second of this process."""
    return rate(run, seconds, time.process_time)


def wall_rate(run, seconds):
    """Steps per second of wall time."""
    return rate(run, seconds, time.perf_counter)


# ---------------------------------------------------------------------------------------------
# The contenders


def quellor_play_random(threads=1):
    batch = GameBatch(BATCH, rules="dark", threads=threads, auto_reset=True, seed=1)
    return lambda k: batch.play_random(k)["plies"]


def open_spiel_evaluate_bots():
    import pyspiel

    game = pyspiel.load_game("dark_chess")
    bots = [pyspiel.make_uniform_random_bot(player, 17 + player) for player in range(2)]
    seed = iter(range(10**9))

    def run(k):
        plies = 0
        for _ in range(k):
            state = game.new_initial_state()
            pyspiel.evaluate_bots(state, bots, next(seed))
            plies += len(state.history())
        return plies

    return run


def quellor_loop(dtype, threads=1):
    batch = GameBatch(BATCH, rules="dark", dtype=dtype, threads=threads, auto_reset=True, seed=2)

    def run(k):
        for _ in range(k):
            batch.step(batch.random_actions())
            batch.observation, batch.legal_action_mask
        return k * BATCH

    return run


def open_spiel_loop():
    import pyspiel
    from open_spiel.python.observation import make_observation

    game = pyspiel.load_game("dark_chess")
    observation = make_observation(game)
    rng = random.Random(3)
    state = [game.new_initial_state()]

    def run(k):
        s = state[0]
        for _ in range(k):
            if s.is_terminal():
                s = game.new_initial_state()
            observation.set_from(s, s.current_player())
            s.apply_action(rng.choice(s.legal_actions()))
        state[0] = s
        return k

    return run


def observation_writes(dtype):
    """(write_observations, copy_) runners over the same number of bytes."""
    batch = GameBatch(BATCH, dtype=dtype, threads=1, seed=4)
    batch.play_random(20)
    source = batch.observation.clone()
    target = torch.empty_like(source)

    def ours(k):
        for _ in range(k):
            batch._core.write_observations()
        return k

    def theirs(k):
        for _ in range(k):
            target.copy_(source)
        return k

    return ours, theirs, source.numel() * source.element_size()


def open_spiel_available():
    try:
        import pyspiel  # noqa: F401
        from open_spiel.python.observation import make_observation  # noqa: F401
    except ImportError as error:
        return f"open-spiel is not installed ({error})"
    return None


# ---------------------------------------------------------------------------------------------
# The section


def section(report, rounds, interleaved, fmt_int):
    unavailable = open_spiel_available()
    report.out(f"5. GameBatch ({BATCH} games, dark rules) next to OpenSpiel dark_chess and torch")
    threads_before = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        contenders = {}
        contenders["play_random"] = lambda r=quellor_play_random(): cpu_rate(r, 0.5)
        contenders["loop uint8"] = lambda r=quellor_loop("uint8"): cpu_rate(r, 0.5)
        contenders["loop float32"] = lambda r=quellor_loop("float32"): cpu_rate(r, 0.5)
        if not unavailable:
            contenders["evaluate_bots"] = lambda r=open_spiel_evaluate_bots(): cpu_rate(r, 0.5)
            contenders["open_spiel loop"] = lambda r=open_spiel_loop(): cpu_rate(r, 0.5)
        for threads in (1, 2):
            contenders[f"loop {threads}t"] = lambda r=quellor_loop("uint8", threads): wall_rate(r, 0.5)
            contenders[f"play_random {threads}t"] = lambda r=quellor_play_random(threads): wall_rate(r, 0.5)
        writes = {}
        for dtype in ("uint8", "float32"):
            ours, theirs, size = observation_writes(dtype)
            writes[dtype] = size
            contenders[f"write {dtype}"] = lambda r=ours: cpu_rate(r, 0.3)
            contenders[f"copy_ {dtype}"] = lambda r=theirs: cpu_rate(r, 0.3)
        rates = interleaved(contenders, rounds)
    finally:
        torch.set_num_threads(threads_before)

    def row(label, ours, peer, peer_label):
        if peer is None:
            report.out(f"   {label:<34} {fmt_int(rates.median(ours)):>12}   {peer_label}: {unavailable}")
            return None
        ratio = rates.ratio(ours, peer)
        report.out(f"   {label:<34} {fmt_int(rates.median(ours)):>12}   {peer_label:<26} "
                   f"{fmt_int(rates.median(peer)):>10} {ratio:>7.2f}")
        return ratio

    report.out("   steps per CPU-second, one thread    quellor     peer                            peer   ratio")
    whole = row("play_random (whole games in C++)", "play_random", None if unavailable else "evaluate_bots",
                "evaluate_bots, random bots")
    u8 = row("Python loop, uint8 observation", "loop uint8", None if unavailable else "open_spiel loop",
             "Python loop, set_from")
    f32 = row("Python loop, float32 observation", "loop float32", None if unavailable else "open_spiel loop",
              "Python loop, set_from")
    report.out("   steps per second of wall time       1 thread   2 threads   ratio")
    loop_threads = rates.ratio("loop 2t", "loop 1t")
    random_threads = rates.ratio("play_random 2t", "play_random 1t")
    report.out(f"   {'Python loop, uint8':<34} {fmt_int(rates.median('loop 1t')):>10} "
               f"{fmt_int(rates.median('loop 2t')):>11} {loop_threads:>7.2f}")
    report.out(f"   {'play_random':<34} {fmt_int(rates.median('play_random 1t')):>10} "
               f"{fmt_int(rates.median('play_random 2t')):>11} {random_threads:>7.2f}")
    report.out("   writing the observations of all games, GB/s, one thread: write_observations next to")
    report.out("   torch's copy_ of a tensor of the same size")
    speeds = {}
    for dtype, size in writes.items():
        speeds[dtype] = rates.ratio(f"write {dtype}", f"copy_ {dtype}")
        report.out(f"   {dtype:<8} {size / KIB / KIB:5.2f} MiB   write {rates.median(f'write {dtype}') * size / 1e9:6.2f}"
                   f"   copy_ {rates.median(f'copy_ {dtype}') * size / 1e9:6.2f}   ratio {speeds[dtype]:.2f}")

    memory = json.loads(subprocess.run([sys.executable, os.path.abspath(__file__), "--memory"], capture_output=True,
                                       text=True, check=True).stdout)
    report.out(f"   memory per game: {memory['bytes_per_game']:,} B of state (its record, start position "
               f"share, action entry); measured: {memory['resident_per_game']:,.0f} B resident per game "
               f"over {MEMORY_GAMES:,} games, outputs apart")
    report.out("   play_random writes the outputs once, at its end; OpenSpiel's evaluate_bots produces no")
    report.out("   observation at all. The Python loops read the observation and mask of every step; the")
    report.out("   OpenSpiel loop fills its observation with set_from at every step.")
    report.out()

    missing = f"open-spiel unavailable: {unavailable}"
    report.target(whole is not None and whole >= 25, "play_random >= 25 x evaluate_bots (CPU-s)",
                  f"{whole:.2f} x" if whole else "n/a", missing if whole is None else "")
    report.target(u8 is not None and u8 >= 20, "Python loop uint8 >= 20 x OpenSpiel loop (CPU-s)",
                  f"{u8:.2f} x" if u8 else "n/a", missing if u8 is None else "")
    report.target(f32 is not None and f32 >= 3, "Python loop float32 >= 3 x OpenSpiel loop (CPU-s)",
                  f"{f32:.2f} x" if f32 else "n/a", missing if f32 is None else "")
    step_bytes = BATCH * (64 * 106 + 4352)
    report.target(loop_threads >= 1.7, "two threads >= 1.7 x one (Python loop)", f"{loop_threads:.2f} x",
                  f"play_random, which writes its outputs once at its end, scales {random_threads:.2f} x; the "
                  f"loop writes every game's observation and mask ({step_bytes / 2**20:.1f} MiB) at every step "
                  "and hands work to the other thread twice a step, and on a shared two-core VM its ratio "
                  "varies from run to run")
    report.target(random_threads >= 1.7, "two threads >= 1.7 x one (play_random)", f"{random_threads:.2f} x")
    for dtype, ratio in speeds.items():
        report.target(ratio >= 0.5, f"observation writes ({dtype}) >= 0.5 x copy_ speed", f"{ratio:.2f} x")
    report.target(memory["bytes_per_game"] <= 2 * KIB and memory["resident_per_game"] <= 2 * KIB,
                  "memory per game <= 2 KiB", f"{max(memory['bytes_per_game'], memory['resident_per_game']) / KIB:.2f} KiB")


def memory():
    """Resident memory of a batch of MEMORY_GAMES, less its output tensors, per game."""

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    GameBatch(4, threads=1)  # loads everything the batch needs
    before = resident()
    batch = GameBatch(MEMORY_GAMES, threads=1)
    after = resident()
    outputs = sum(t.numel() * t.element_size() for t in (
        batch.observation, batch.legal_action_mask, batch.to_move, batch.rewards, batch.terminated,
        batch.truncated, batch.plies, batch.last_move, batch.ending, batch.result))
    json.dump({"bytes_per_game": batch.bytes_per_game,
               "resident_per_game": (after - before - outputs) / MEMORY_GAMES}, sys.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--memory", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        memory()
    else:
        sys.path.insert(0, HERE)
        from report import Report, fmt_int
        from timing import interleaved

        report = Report()
        section(report, args.rounds, interleaved, fmt_int)
        for met, label, figure, why in report.targets:
            report.out(f"   {'met   ' if met else 'MISSED'}  {label:<58} {figure:>10}")
            if not met and why:
                report.out(f"           why: {why}")
