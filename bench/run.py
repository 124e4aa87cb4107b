#!/usr/bin/env python3
"""quellor's side-by-side benchmarks, as `make bench` runs them.

    run.py --perft <perft-binary> [--rounds N]

Prints one table: the engine's perft next to Stockfish's, the random self-play loop next to the
environments a user would pick instead, each call next to the outside calls it cannot avoid,
and the memory of a game; then every target with its measured figure, met or missed, and for a
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

import floor  # noqa: E402
import perft_vs_stockfish  # noqa: E402
import self_play  # noqa: E402
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
    """name -> (steps/s without encode, steps/s with encode), or a reason string when the
    environment cannot run here; and the steps/s of the bare Move.from_uci calls of quellor's
    own steps (its floor without encode)."""
    available = self_play.availability()
    runnable = {name: loop for name, loop in self_play.LOOPS.items() if available[name] is None}
    contenders = {}
    for name, loop in runnable.items():
        for encode in (False, True):
            probe = 50 if encode else 200
            rate = probe / loop(probe, 1, encode)
            steps = max(100, int(rate * seconds_per_round))
            contenders[(name, encode)] = (lambda loop=loop, steps=steps, encode=encode:
                                          steps / loop(steps, LOOP_SEED, encode))
            if name == "quellor" and not encode:
                texts = self_play.quellor_loop_texts(steps, LOOP_SEED)
                contenders["floor"] = lambda texts=texts: len(texts) / self_play.from_uci_floor(texts)
    medians = interleaved(contenders, rounds)
    result = {}
    for name in self_play.LOOPS:
        if available[name] is not None:
            result[name] = available[name]
        else:
            result[name] = (medians[(name, False)], medians[(name, True)])
    return result, medians["floor"]


def fmt_int(x):
    return f"{x:,.0f}"


class Report:
    def __init__(self):
        self.lines = []
        self.targets = []

    def out(self, text=""):
        self.lines.append(text)
        print(text, flush=True)

    def target(self, met, label, figure, why=""):
        self.targets.append((met, label, figure, why))


def perft_section(report, perft, rounds):
    report.out(f"1. Engine perft next to {stockfish_version()} (\"bench 16 1 <depth> <fen> perft\"; both count")
    report.out("   the last ply in bulk)")
    report.out(f"   {'position':<10} {'depth':>5} {'nodes':>12} {'perft Mnps':>11} {'Stockfish Mnps':>15} {'ratio':>6}")
    for name, depth, nodes, ours, theirs in perft_vs_stockfish.compare(perft, rounds):
        ratio = ours / theirs
        report.out(f"   {name:<10} {depth:>5} {nodes:>12,} {ours / 1e6:>11.1f} {theirs / 1e6:>15.1f} {ratio:>6.2f}")
        report.target(ratio >= 1.5, f"perft {name} d{depth} >= 1.5 x Stockfish", f"{ratio:.2f} x")
    report.out()


def measure_floor(rounds):
    legal, moves = floor.legal_actions_floor(rounds)
    return {"legal": legal, "moves": moves, "encode": floor.encode_floor(rounds),
            "apply": floor.apply_floor(rounds), "clone": floor.clone_floor(rounds)}


def floor_section(report, measured):
    legal, moves, encode = measured["legal"], measured["moves"], measured["encode"]
    apply, clone = measured["apply"], measured["clone"]
    report.out("3. The floor: each call next to the outside calls it must make, or to python-chess's own")
    report.out(f"   {'quellor':<14} {'us':>9}   {'next to':<42} {'us':>9} {'ratio':>7}")

    def row(ours_name, ours, theirs_name, theirs, ratio_text):
        report.out(f"   {ours_name:<14} {ours * 1e6:>9.3f}   {theirs_name:<42} {theirs * 1e6:>9.3f} {ratio_text:>7}")

    la, fu = legal["legal_actions()"], legal["Move.from_uci x n"]
    row("legal_actions", la, f"list(map(Move.from_uci, texts)), n = {moves:.1f}", fu, f"{la / fu:.3f}")
    en, tt = encode["encode()"], encode["torch.tensor"]
    row("encode", en, "torch.tensor(same nested list, float32)", tt, f"{en / tt:.3f}")
    push, uci = apply["Board.push"], apply["Move.uci"]
    am, at = apply["apply(Move)"], apply["apply(str)"]
    row("apply(Move)", am, "Board.push(Move)", push, f"1/{push / am:.1f}")
    row("apply(str)", at, "Board.push(Move)", push, f"1/{push / at:.1f}")
    row("apply(Move)", am, "Move.uci(), which apply(Move) calls", uci, f"{am / uci:.2f}")
    cl, pc = clone["clone()"], clone["python-chess env clone"]
    row("clone", cl, "python-chess env clone (board, 8 planes)", pc, f"1/{pc / cl:.1f}")
    report.out("   (ratio = quellor / the other; 1/k: quellor takes 1/k of the other's time)")
    report.out()

    report.target(la / fu <= 1.10, "legal_actions() <= 1.10 x bare Move.from_uci calls", f"{la / fu:.3f} x")
    report.target(en / tt <= 1.10, "encode() <= 1.10 x bare torch.tensor call", f"{en / tt:.3f} x")
    report.target(push / at >= 10, "apply(str) >= 10 x faster than Board.push", f"{push / at:.1f} x")
    report.target(push / am >= 10, "apply(Move) >= 10 x faster than Board.push", f"{push / am:.1f} x",
                  f"Move.uci(), which apply(Move) must call, takes {uci * 1e9:.0f} ns alone: "
                  f"{push / uci:.1f} x at most with no work of our own")


def loop_section(report, rates, floor_rate, measured):
    ours = rates["quellor"]
    tensor = measured["encode"]["torch.tensor"]
    floor_with = 1 / (1 / floor_rate + tensor)
    report.out("2. Random self-play loop, steps per second (a step: list the legal actions, pick one with")
    report.out("   a seeded random.Random, [encode], apply, check for the end; new game after 200 plies)")
    report.out(f"   {'environment':<24} {'no encode':>10} {'quellor x':>10} {'with encode':>12} {'quellor x':>10}")
    for name, rate in rates.items():
        if isinstance(rate, str):
            report.out(f"   {name:<24} unavailable here: {rate}")
            continue
        if name == "quellor":
            report.out(f"   {name:<24} {fmt_int(rate[0]):>10} {'':>10} {fmt_int(rate[1]):>12}")
        else:
            report.out(f"   {name:<24} {fmt_int(rate[0]):>10} {ours[0] / rate[0]:>10.2f} "
                       f"{fmt_int(rate[1]):>12} {ours[1] / rate[1]:>10.2f}")
    report.out(f"   {'floor of quellor steps':<24} {fmt_int(floor_rate):>10} {ours[0] / floor_rate:>10.2f} "
               f"{fmt_int(floor_with):>12} {ours[1] / floor_with:>10.2f}")
    report.out("   floor: only the Move.from_uci calls that legal_actions() makes at quellor's steps (and one")
    report.out("   torch.tensor call a step with encode), nothing else. open_spiel dark_chess plays other rules")
    report.out("   (a king may step into check) and lists actions as integers, not python-chess Moves; its")
    report.out("   \"with encode\" turns its own observation_tensor() into a torch tensor. pettingzoo chess_v6")
    report.out("   is full-information chess and builds its observation in every env.last(); its \"with")
    report.out("   encode\" adds the torch tensor.")
    report.out()

    peer = rates["python-chess env"]
    if isinstance(peer, str):
        report.target(False, "self-play loop vs python-chess env", "not measured", peer)
        return
    without, with_ = ours[0] / peer[0], ours[1] / peer[1]
    report.target(without >= 10, "self-play loop without encode >= 10 x python-chess env", f"{without:.2f} x",
                  f"the Move.from_uci calls legal_actions() must make take {1e6 / floor_rate:.0f} us a step "
                  f"on their own, the python-chess env's whole step {1e6 / peer[0]:.0f} us: "
                  f"{floor_rate / peer[0]:.2f} x at most with no work of our own")
    report.target(with_ >= 4, "self-play loop with encode >= 4 x python-chess env", f"{with_:.2f} x",
                  f"those calls and torch.tensor on the 64 x 106 list take {1e6 / floor_with:.0f} us a step "
                  f"on their own, the python-chess env's whole step {1e6 / peer[1]:.0f} us: "
                  f"{floor_with / peer[1]:.2f} x at most with no work of our own")


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
    # The loop section states its bounds with the floor's figures, so both are measured first.
    rates, floor_rate = loop_rates(args.rounds, seconds_per_round=0.3)
    measured = measure_floor(args.rounds)
    loop_section(report, rates, floor_rate, measured)
    floor_section(report, measured)
    memory_section(report)

    report.out(f"Targets (load average {os.getloadavg()[0]:.2f} at the end)")
    for met, label, figure, why in report.targets:
        report.out(f"   {'met   ' if met else 'MISSED'}  {label:<58} {figure:>10}")
        if not met and why:
            report.out(f"           why: {why}")


if __name__ == "__main__":
    main()
