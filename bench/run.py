#!/usr/bin/env python3
"""quellor's side-by-side benchmarks, as `make bench` runs them.

    run.py --perft <perft-binary> [--rounds N]

Prints one table: the engine's perft next to Stockfish's, the random self-play loop next to the
environments a user would pick instead, each call next to the outside calls it cannot avoid,
the memory of a game, GameBatch next to OpenSpiel, quellor-selfplay's batched net policy
and data next to what play did before, train's acting network next to float32 eager and where
a short training run's time goes; then every target with its measured figure, met or missed, and for a
missed target the bound that the unavoidable calls put on it. Every figure is a median of
interleaved rounds from this one run, and every ratio compares figures taken side by side.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import batch_bench  # noqa: E402
import floor  # noqa: E402
import perft_vs_stockfish  # noqa: E402
from report import Report, fmt_int  # noqa: E402
import self_play  # noqa: E402
import selfplay_bench  # noqa: E402
import train_bench  # noqa: E402
from timing import interleaved  # noqa: E402

KIB = 1024
LOOP_SEED = 7
GROWTH_ALLOWED = 256 * KIB


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def stockfish_version():
    try:
        done = subprocess.run([perft_vs_stockfish.find_stockfish()], input="quit\n", capture_output=True, text=True)
        return done.stdout.splitlines()[0].split(" by ")[0]
    except Exception:
        return "Stockfish"


def loop_rates(rounds, seconds_per_round):
    """Steps per second of every environment that runs here, with and without encode, and of
    the bare calls of quellor's own steps (its floor: Move.from_uci, and with encode one
    torch.tensor a step), as Samples keyed (name, encode), name "floor" included; and name ->
    the reason for each environment that cannot run."""
    available = self_play.availability()
    unavailable = {name: reason for name, reason in available.items() if reason is not None}
    contenders = {}
    # Without encode first, then with it, each quellor figure right before its peers' and the
    # floor right after quellor's, so that ratios pair figures taken close together.
    for encode in (False, True):
        for name, loop in self_play.LOOPS.items():
            if name in unavailable:
                continue
            probe = 50 if encode else 200
            rate = probe / loop(probe, 1, encode)
            steps = max(100, int(rate * seconds_per_round))
            contenders[(name, encode)] = (lambda loop=loop, steps=steps, encode=encode:
                                          steps / loop(steps, LOOP_SEED, encode))
            if name == "quellor":
                texts = self_play.quellor_loop_texts(steps, LOOP_SEED)
                rows = floor.capture_encode_rows(floor.random_positions(40)[-1]) if encode else None
                contenders[("floor", encode)] = (lambda texts=texts, rows=rows:
                                                 len(texts) / self_play.from_uci_floor(texts, rows))
    return interleaved(contenders, rounds), unavailable


def perft_section(report, perft, rounds):
    counters = perft_vs_stockfish.runnable_counters(perft)
    rows = perft_vs_stockfish.compare(perft, rounds, counters)
    report.out(f"1. Engine perft next to {stockfish_version()} (\"bench 16 1 <depth> <fen> perft\"; both count")
    report.out("   the last ply in bulk; ratio: median of the per-round ratios)")
    report.out(f"   {'position':<10} {'depth':>5} {'nodes':>12} {'perft Mnps':>11} {'Stockfish Mnps':>15} {'ratio':>6}")
    for name, depth, nodes, ours, theirs, ratio, _ in rows:
        report.out(f"   {name:<10} {depth:>5} {nodes:>12,} {ours / 1e6:>11.1f} {theirs / 1e6:>15.1f} {ratio:>6.2f}")
        report.target(ratio >= 5, f"perft {name} d{depth} >= 5 x Stockfish", f"{ratio:.2f} x")
    report.out(f"   perft counts with its default, the {perft_vs_stockfish.default_counter(perft)} build; each counter "
               "this CPU runs, timed in the same rounds:")
    report.out(f"   {'position':<10} " + " ".join(f"{c + ' Mnps (x SF)':>21}" for c in counters))
    for name, _, _, _, _, _, by_counter in rows:
        cells = [f"{by_counter[c][0] / 1e6:.1f} ({by_counter[c][1]:.2f})" for c in counters]
        report.out(f"   {name:<10} " + " ".join(f"{cell:>21}" for cell in cells))
    report.out("   pext, magic, baseline: the enumerator's builds for BMI2, for popcnt and for any x86-64;")
    report.out("   movegen: the plain recursion over MoveGen, which the game's move order shapes.")
    report.out()


def measure_floor(rounds):
    return {"legal": floor.legal_actions_floor(rounds), "encode": floor.encode_floor(rounds),
            "apply": floor.apply_floor(rounds), "clone": floor.clone_floor(rounds)}


def loop_section(report, rates, unavailable):
    floor_rate, floor_with = rates.median(("floor", False)), rates.median(("floor", True))
    report.out("2. Random self-play loop, steps per second (a step: list the legal actions, pick one with")
    report.out("   a seeded random.Random, [encode], apply, check for the end; new game after 200 plies)")
    report.out(f"   {'environment':<24} {'no encode':>10} {'quellor x':>10} {'with encode':>12} {'quellor x':>10}")
    ratios = {}
    for name in self_play.LOOPS:
        if name in unavailable:
            report.out(f"   {name:<24} unavailable here: {unavailable[name]}")
            continue
        theirs = (rates.median((name, False)), rates.median((name, True)))
        if name == "quellor":
            report.out(f"   {name:<24} {fmt_int(theirs[0]):>10} {'':>10} {fmt_int(theirs[1]):>12}")
            continue
        ratios[name] = (rates.ratio(("quellor", False), (name, False)), rates.ratio(("quellor", True), (name, True)))
        report.out(f"   {name:<24} {fmt_int(theirs[0]):>10} {ratios[name][0]:>10.2f} "
                   f"{fmt_int(theirs[1]):>12} {ratios[name][1]:>10.2f}")
    report.out(f"   {'floor of quellor steps':<24} {fmt_int(floor_rate):>10} "
               f"{rates.ratio(('quellor', False), ('floor', False)):>10.2f} {fmt_int(floor_with):>12} "
               f"{rates.ratio(('quellor', True), ('floor', True)):>10.2f}")
    report.out("   floor: only the Move.from_uci calls that legal_actions() makes at quellor's steps (and one")
    report.out("   torch.tensor call a step with encode), nothing else. open_spiel dark_chess plays other rules")
    report.out("   (a king may step into check) and lists actions as integers, not python-chess Moves; its")
    report.out("   \"with encode\" turns its own observation_tensor() into a torch tensor. pettingzoo chess_v6")
    report.out("   is full-information chess and builds its observation in every env.last(); its \"with")
    report.out("   encode\" adds the torch tensor. quellor x: median of the per-round ratios.")
    report.out()

    if "python-chess env" not in ratios:
        report.target(False, "self-play loop vs python-chess env", "not measured",
                      unavailable.get("python-chess env", ""))
        return
    peer = (rates.median(("python-chess env", False)), rates.median(("python-chess env", True)))
    without, with_ = ratios["python-chess env"]
    report.target(without >= 10, "self-play loop without encode >= 10 x python-chess env", f"{without:.2f} x",
                  f"the Move.from_uci calls legal_actions() must make take {1e6 / floor_rate:.0f} us a step "
                  f"on their own, the python-chess env's whole step {1e6 / peer[0]:.0f} us: "
                  f"{rates.ratio(('floor', False), ('python-chess env', False)):.2f} x at most with no work "
                  f"of our own")
    report.target(with_ >= 4, "self-play loop with encode >= 4 x python-chess env", f"{with_:.2f} x",
                  f"those calls and torch.tensor on the 64 x 106 list take {1e6 / floor_with:.0f} us a step "
                  f"on their own, the python-chess env's whole step {1e6 / peer[1]:.0f} us: "
                  f"{rates.ratio(('floor', True), ('python-chess env', True)):.2f} x at most with no work "
                  f"of our own")


def floor_section(report, measured):
    la, fu, legal_ratio, moves = measured["legal"]
    en, tt, encode_ratio = measured["encode"]
    apply, apply_ratios = measured["apply"]
    cl, pc, clone_ratio = measured["clone"]
    report.out("3. The floor: each call next to the outside calls it must make, or to python-chess's own")
    report.out(f"   {'quellor':<14} {'us':>9}   {'next to':<42} {'us':>9} {'ratio':>7}")

    def row(ours_name, ours, theirs_name, theirs, ratio_text):
        report.out(f"   {ours_name:<14} {ours * 1e6:>9.3f}   {theirs_name:<42} {theirs * 1e6:>9.3f} {ratio_text:>7}")

    row("legal_actions", la, f"list(map(Move.from_uci, texts)), n = {moves:.1f}", fu, f"{legal_ratio:.3f}")
    row("encode", en, "torch.tensor(same nested list, float32)", tt, f"{encode_ratio:.3f}")
    push, uci, am, at = apply["Board.push"], apply["Move.uci"], apply["apply(Move)"], apply["apply(str)"]
    row("apply(Move)", am, "Board.push(Move)", push, f"1/{apply_ratios['push/apply(Move)']:.1f}")
    row("apply(str)", at, "Board.push(Move)", push, f"1/{apply_ratios['push/apply(str)']:.1f}")
    row("apply(Move)", am, "Move.uci(), which apply(Move) calls", uci, f"{apply_ratios['apply(Move)/uci']:.2f}")
    row("clone", cl, "python-chess env clone (board, 8 planes)", pc, f"1/{clone_ratio:.1f}")
    report.out("   (ratio = quellor / the other, the median of ratios of chunks timed one right after the")
    report.out("   other; 1/k: quellor takes 1/k of the other's time)")
    report.out()

    report.target(legal_ratio <= 1.10, "legal_actions() <= 1.10 x bare Move.from_uci calls", f"{legal_ratio:.3f} x")
    report.target(encode_ratio <= 1.10, "encode() <= 1.10 x bare torch.tensor call", f"{encode_ratio:.3f} x")
    speedup_str, speedup_move = apply_ratios["push/apply(str)"], apply_ratios["push/apply(Move)"]
    report.target(speedup_str >= 10, "apply(str) >= 10 x faster than Board.push", f"{speedup_str:.1f} x")
    report.target(speedup_move >= 10, "apply(Move) >= 10 x faster than Board.push", f"{speedup_move:.1f} x",
                  f"Move.uci(), which apply(Move) must call, takes {uci * 1e9:.0f} ns alone: "
                  f"{apply_ratios['push/uci']:.1f} x at most with no work of our own")


def memory_section(report):
    done = subprocess.run([sys.executable, os.path.join(HERE, "memory.py")], capture_output=True, text=True,
                          check=True)
    m = json.loads(done.stdout)
    growth = m["resident_after_calls"] - m["resident_after_warmup"]
    report.out("4. Memory (resident memory of a fresh interpreter)")
    report.out(f"   bytes per game holding 8 planes: {fmt_int(m['bytes_per_game'])} "
               f"({m['bytes_per_game'] / KIB:.1f} KiB)")
    report.out(f"   resident after warm-up: {m['resident_after_warmup'] / KIB / KIB:.1f} MiB; after "
               f"{m['calls']:,} apply and {m['calls']:,} clone calls more: "
               f"{m['resident_after_calls'] / KIB / KIB:.1f} MiB (growth {growth / KIB:+.0f} KiB)")
    report.out()
    report.target(m["bytes_per_game"] <= 28 * KIB, "memory per game with 8 planes <= 28 KiB",
                  f"{m['bytes_per_game'] / KIB:.1f} KiB")
    report.target(growth <= GROWTH_ALLOWED, "no resident growth over 10^6 apply / clone calls",
                  f"{growth / KIB:+.0f} KiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--perft", required=True, help="the perft tool (build/engine/perft)")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds per figure")
    args = parser.parse_args()

    report = Report()
    load = os.getloadavg()[0]
    report.out(f"quellor benchmarks, {datetime.date.today()}: {cpu_name()} ({os.cpu_count()} cores), "
               f"Python {platform.python_version()}, load average {load:.2f} at start")
    report.out(f"Medians of {args.rounds} interleaved rounds; every ratio compares figures from this run.")
    report.out()

    perft_section(report, args.perft, args.rounds)
    rates, unavailable = loop_rates(args.rounds, seconds_per_round=0.3)
    measured = measure_floor(args.rounds)
    loop_section(report, rates, unavailable)
    floor_section(report, measured)
    memory_section(report)
    batch_bench.section(report, args.rounds, interleaved, fmt_int)
    selfplay_bench.section(report, args.rounds, interleaved, fmt_int)
    train_bench.section(report, args.rounds, interleaved, fmt_int)

    report.out(f"Targets (load average {os.getloadavg()[0]:.2f} at the end)")
    for met, label, figure, why in report.targets:
        report.out(f"   {'met   ' if met else 'MISSED'}  {label:<58} {figure:>10}")
        if not met and why:
            report.out(f"           why: {why}")


if __name__ == "__main__":
    main()
