"""Where `quellor-selfplay train`'s time goes, and how fast its acting network runs, for bench/run.py.

Four parts, all from this one run:

- The acting network's inference candidates: the trained network of docs/learning-run (a fresh
  one if it is missing) on positions from seeded games it played, BATCH at a time on one torch
  thread, observations already in memory. Each candidate's forward rate (positions per
  CPU-second) is a median of interleaved rounds, its ratio the median of per-round ratios to
  float32 eager (no_grad, the whole forward pass) measured beside it, and its outputs are
  compared with float32 eager's on every legal slot: the largest change of a log-probability
  (over all slots, and over those at least 1 % likely), the largest total variation distance
  of a position, and the share of positions with the same most probable slot. The tolerance
  is quellor_selfplay.inference's.
- A short real training run (the defaults but for three iterations after one to warm up, and
  fewer evaluations) under a ledger (quellor_selfplay.ledger): every part's share of the wall
  time of its thread and of the process's CPU time.
- One segment of the run's next iteration timed on its own in this thread, with the run's pool
  and with a full pool of networks (as a long run holds), next to the same bare pass.
- The targets: the share of train's self-play CPU spent outside its forward passes, and the
  positions its mean forward pass holds; the learner's samples per CPU-second of its parts next
  to a bare forward and backward pass of the same network on a minibatch of the same size,
  measured right after the run. Train's self-play positions per CPU-second next to the acting
  network's bare forward pass (BATCH positions a call, measured before and after the run) are
  shown beside them.

    train_bench.py [--rounds N] [--iterations N]    prints the section on its own
"""

import argparse
import contextlib
import copy
import os
import statistics
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

import torch
from torch import nn

from quellor_selfplay.arena import play_segment
from quellor_selfplay.batch import square_codes
from quellor_selfplay.config import GameConfig, PPOConfig, RunConfig, ScaleConfig, TrainConfig
from quellor_selfplay.data import unpack_masks
from quellor_selfplay.inference import AGREEMENT, TV_TOLERANCE, Difference, acting_copy, difference
from quellor_selfplay.learn import gather
from quellor_selfplay.ledger import ACTING, LEARNING, PARTS, Ledger
from quellor_selfplay.net import load_checkpoint, seeded_net
from quellor_selfplay.players import NetPlayer, legal_entries
from quellor_selfplay.runner import backend, run_segment
from quellor_selfplay.trainer import Trainer, acting_precision, open_state, rollout

HERE = Path(__file__).resolve().parent
TRAINED = HERE.parent / "docs" / "learning-run" / "final.pt"
BATCH = 128  # train's default --batch
POSITIONS = 1024
CALLS = 8
FORWARD_TARGET = 1.5
SHARE_TARGET = 0.8
# Train's self-play: the share of its CPU spent outside its forward passes, at most, and the
# positions its mean forward pass holds, at least.
OUTSIDE_TARGET = 0.10
PASS_TARGET = 100


# ---------------------------------------------------------------------------------------------
# The acting network's candidates


def trained_net():
    if TRAINED.exists():
        return load_checkpoint(TRAINED).eval(), "the 20-minute run's network"
    sizes = TrainConfig().net.sizes()
    return seeded_net(0, arch="squares", config=sizes).eval(), "a fresh network (docs/learning-run is missing)"


def positions(net, count=POSITIONS, seed=11):
    """Observations (uint8) and masks of `count` positions of dark-rules games the network
    played against itself from `seed`."""
    with torch.inference_mode():
        shard = play_segment(GameConfig("dark", "own", 300), [(g, 0, 0) for g in range(64)], [NetPlayer(net)], 64,
                             seed)
    batch = gather([shard])
    picked = torch.arange(min(count, len(batch)))
    return batch.observations(picked, "own", torch.uint8), unpack_masks(batch.masks[picked])


def whole(net):
    """Logits at the legal entries from the whole forward pass."""
    def run(observations, rows, slots):
        out = net(observations)
        return out[0].float()[rows, slots]
    return run


class Candidate:
    """One way of running the acting network: `run(inputs, rows, slots)` gives the legal
    entries' logits, `batch` the positions per call, `context` what each call runs in, and
    `inputs(observations)` what it reads, made before any timing (the game hands it over)."""

    def __init__(self, run, batch=BATCH, context=torch.no_grad, note="", inputs=lambda observations: observations):
        self.run, self.batch, self.context, self.note, self.inputs = run, batch, context, note, inputs

    def __call__(self, inputs, rows, slots):
        with self.context():
            return self.run(inputs, rows, slots)


def autocast():
    stack = contextlib.ExitStack()
    stack.enter_context(torch.inference_mode())
    stack.enter_context(torch.autocast("cpu", dtype=torch.bfloat16))
    return stack


def candidates(net):
    """name -> Candidate; compile seconds noted where there is a compilation."""
    found = {
        "float32 eager (no_grad)": Candidate(whole(net)),
        "inference_mode": Candidate(whole(net), context=torch.inference_mode),
        f"batch {2 * BATCH}": Candidate(whole(net), batch=2 * BATCH),
        "channels-last weights": Candidate(whole(copy.deepcopy(net).to(memory_format=torch.channels_last))),
        "bfloat16 autocast (whole network)": Candidate(whole(net), context=autocast),
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            quantized = torch.ao.quantization.quantize_dynamic(copy.deepcopy(net), {nn.Linear}, dtype=torch.qint8)
            found["int8 dynamic (linear layers only)"] = Candidate(whole(quantized))
        except Exception as err:  # an operator missing from this build
            found["int8 dynamic (linear layers only)"] = f"unavailable: {type(err).__name__}: {err}"
    fast = acting_copy(net, "bfloat16")
    found["legal slots only, float32"] = Candidate(net.legal_logits, context=torch.inference_mode)
    found["legal slots, bfloat16 convolutions"] = Candidate(fast.legal_logits, context=torch.inference_mode)
    found["the same from square codes"] = Candidate(fast.legal_logits_of_codes, context=torch.inference_mode,
                                                    note="the player's bfloat16", inputs=square_codes)
    return found


def compiled(net, observations):
    """torch.compile of the whole network (dynamic batch), and the seconds its first call took."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model = torch.compile(copy.deepcopy(net), dynamic=True)
            began = time.perf_counter()
            with torch.no_grad():
                model(observations[:BATCH])
            return Candidate(whole(model), note=f"compiled in {time.perf_counter() - began:.0f} s"), None
    except Exception as err:  # no compiler, or a backend failure on this machine
        return None, f"unavailable: {type(err).__name__}: {str(err).splitlines()[0][:80]}"


def forward_rates(net, observations, masks, rounds, interleaved, with_compile=True):
    """(Samples of positions per CPU-second by candidate, name -> Difference or reason,
    name -> note)."""
    found = candidates(net)
    if with_compile:
        model, reason = compiled(net, observations)
        found["torch.compile (inductor)"] = model if model is not None else reason
    rows, slots = legal_entries(masks)
    k = len(masks)
    with torch.no_grad():
        reference = whole(net)(observations, rows, slots)
    differences, notes, contenders = {}, {}, {}
    for name, candidate in found.items():
        if isinstance(candidate, str):
            differences[name] = candidate
            continue
        inputs = candidate.inputs(observations)
        differences[name] = difference(reference, candidate(inputs, rows, slots).float(), rows, k)
        notes[name] = candidate.note
        chunks = [(inputs[s: s + candidate.batch], *legal_entries(masks[s: s + candidate.batch]))
                  for s in range(0, k - candidate.batch + 1, candidate.batch)][:CALLS]
        contenders[name] = lambda c=candidate, chunks=chunks: per_cpu_second(c, chunks)
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        return interleaved(contenders, rounds), differences, notes
    finally:
        torch.set_num_threads(threads)


def per_cpu_second(candidate, chunks):
    began = time.process_time()
    for observations, rows, slots in chunks:
        candidate(observations, rows, slots)
    return sum(len(c[0]) for c in chunks) / (time.process_time() - began)


# ---------------------------------------------------------------------------------------------
# A short real training run under a ledger


WARM_UP = 1  # iterations played before the ledger opens


def short_run(iterations, games, out, before=None):
    """The defaults but for `games` games an iteration and one evaluation of 50 games at the
    end; returns (ledger, trainer). The ledger covers the `iterations` after WARM_UP first ones,
    which pay what a process pays once (torch's kernels chosen for each new batch size, the
    players' first builds), as the bare passes it is compared with are measured warm.
    `before(trainer)` runs between the two."""
    total = WARM_UP + iterations
    config = TrainConfig(iterations=total, games=games, eval_every=total, eval_games=50, final_games=50,
                         run=RunConfig(batch=BATCH, seed=1, progress=False), out=out)
    trainer = Trainer(config, open_state(config))
    workers = config.scale.workers or 1
    with backend(workers, None, overlap=config.overlapped) as runner:
        trainer.runner = runner
        for _ in range(WARM_UP):
            trainer.step()
        if before is not None:
            before(trainer)
        with Ledger() as ledger:
            while not trainer.finished():
                trainer.step()
    return ledger, trainer


# Each bare acting measurement passes the positions this many times (some 50 ms), in at least
# BARE_ROUNDS interleaved rounds: shorter ones moved with the machine by a fifth.
REPEATS = 4
BARE_ROUNDS = 9


def bare_rates(trainer, rounds, interleaved, small):
    """Positions per CPU-second of the acting network's forward pass alone (the player's own
    path) at BATCH positions a call and at `small` a call, and samples per CPU-second of the
    learner network's forward and backward pass alone (a minibatch of the run's size, the whole
    forward pass, a sum of its outputs as the loss), on one torch thread, on positions of games
    the run's network played."""
    config = trainer.config
    net = trainer.state.net
    observations, masks = positions(net, count=max(config.ppo.minibatch, BATCH * 4), seed=5)
    player = NetPlayer(copy.deepcopy(net), precision=acting_precision(config))
    learner = copy.deepcopy(net).train()
    minibatch = observations[: config.ppo.minibatch]

    # The player's own path: from square codes where its network reads them, as in the games.
    inputs = square_codes(observations) if player.reads_codes else observations
    forward = player.acting.legal_logits_of_codes if player.reads_codes else player.acting.legal_logits

    def acting(size):
        chunks = [(inputs[s: s + size], *legal_entries(masks[s: s + size]))
                  for s in range(0, BATCH * 4 - size + 1, size)]

        def run():
            began = time.process_time()
            for _ in range(REPEATS):
                for given, rows, slots in chunks:
                    with torch.inference_mode():
                        forward(given, rows, slots)
            return REPEATS * sum(len(c[0]) for c in chunks) / (time.process_time() - began)
        return run

    def learning():
        began = time.process_time()
        logits, values = learner(minibatch)
        (logits.sum() + values.sum()).backward()
        return len(minibatch) / (time.process_time() - began)

    def beside():
        """acting(BATCH) while the learner's passes run in another thread, as the games run in
        train: the CPU time of this thread alone."""
        stop = threading.Event()

        def learn():
            while not stop.is_set():
                logits, values = learner(minibatch)
                (logits.sum() + values.sum()).backward()

        other = threading.Thread(target=learn)
        other.start()
        try:
            time.sleep(0.05)
            chunks = [(inputs[s: s + BATCH], *legal_entries(masks[s: s + BATCH])) for s in range(0, BATCH * 4, BATCH)]
            began = time.thread_time()
            for _ in range(REPEATS):
                for given, rows, slots in chunks:
                    with torch.inference_mode():
                        forward(given, rows, slots)
            return REPEATS * BATCH * len(chunks) / (time.thread_time() - began)
        finally:
            stop.set()
            other.join()

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        rates = interleaved({"acting": acting(BATCH), "small": acting(small), "learning": learning,
                             "beside": beside}, max(rounds, BARE_ROUNDS))
    finally:
        torch.set_num_threads(threads)
    return rates.median("acting"), rates.median("small"), rates.median("learning"), rates.median("beside")


def pool_rates(trainer, rounds, interleaved):
    """Self-play of one segment of the run's next iteration, alone in this thread, with the
    run's pool and with a full one (`pool_size` networks: the run's network, each member's
    weights moved by noise of its own, so that each is a network of its own, as in a long run):
    {label: (positions per CPU-second of the games' parts, mean positions a forward pass, pool
    members, positions per CPU-second of the forward part alone)}. The last is what the games'
    rate would be with nothing around the passes: the most the target's ratio can reach."""
    state, config = trainer.state, trainer.config
    kept = state.behaviour_pool, state.carried
    weights = {k: v.clone() for k, v in trainer.state.net.state_dict().items()}

    def member(i):
        generator = torch.Generator().manual_seed(i)
        return (i, {k: v + 0.01 * torch.randn(v.shape, generator=generator) if v.is_floating_point() else v
                    for k, v in weights.items()})
    pools = {"run": list(kept[0]), "full": [member(i) for i in range(config.pool_size)]}
    sizes, forward = {}, {}

    def measure(label):
        state.behaviour_pool, state.carried = pools[label], {}
        job, segments = rollout(state, config, state.iteration)
        run_segment(job, segments[0])  # the players' first passes at each new batch size

        def run():
            with Ledger() as ledger:
                run_segment(job, segments[0])
            counts = ledger.counts
            sizes[label] = counts["forward rows"] / max(counts["forward calls"], 1)
            forward.setdefault(label, []).append(counts["forward rows"] / max(ledger.cpu_of(("forward",)), 1e-9))
            return counts["positions"] / ledger.cpu_of(ACTING)
        return run

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        rates = interleaved({label: measure(label) for label in pools}, max(rounds, 3))
    finally:
        torch.set_num_threads(threads)
        state.behaviour_pool, state.carried = kept
    return {label: (rates.median(label), sizes[label], len(pools[label]),
                    statistics.median(forward[label])) for label in pools}


# ---------------------------------------------------------------------------------------------
# The section


def profile_lines(ledger):
    """The table of a ledger: a line per timeline and part."""
    lines = [f"   {'thread':<8} {'part':<18} {'wall s':>8} {'of wall':>8} {'CPU s':>8} {'of CPU':>8}"]
    for row in ledger.table():
        line = row["timeline"]
        wall = f"{row['wall']:>8.2f} {row['wall_share']:>8.1%}" if line != "process" else f"{'':>8} {'':>8}"
        lines.append(f"   {line:<8} {row['part']:<18} {wall} {row['cpu']:>8.2f} {row['cpu_share']:>8.1%}")
    return lines


def section(report, rounds, interleaved, fmt_int, iterations=3, games=TrainConfig().games):
    net, which = trained_net()
    observations, masks = positions(net)
    rates, differences, notes = forward_rates(net, observations, masks, rounds, interleaved)
    base = "float32 eager (no_grad)"
    report.out(f"7. train's acting network: inference candidates next to float32 eager, {which},")
    report.out(f"   {len(observations)} positions of seeded games, {BATCH} a call, one torch thread; tolerance: total")
    report.out(f"   variation <= {TV_TOLERANCE} at every position and the same most probable slot at >= {AGREEMENT:.0%}")
    report.out(f"   {'candidate':<36} {'pos/CPU-s':>10} {'ratio':>6} {'max dlogp':>10} {'p>=1%':>7} {'max TV':>7} "
               f"{'same':>6}  ok")
    kept = None
    for name, found in differences.items():
        if isinstance(found, str):
            report.out(f"   {name:<36} {found}")
            continue
        ratio = rates.ratio(name, base)
        ok = found.within() and (ratio > 1 or name == base)
        report.out(f"   {name:<36} {fmt_int(rates.median(name)):>10} {ratio:>6.2f} {found.logp:>10.4f} "
                   f"{found.likely_logp:>7.4f} {found.tv:>7.4f} {found.agreement:>6.1%}  {'yes' if ok else 'no'}"
                   + (f"  ({notes[name]})" if notes.get(name) else ""))
        if notes.get(name) == "the player's bfloat16":
            kept = (ratio, found)
    report.out("   ratio: median of per-round ratios to float32 eager at the same batch; max dlogp: largest change")
    report.out("   of a legal slot's log-probability (p>=1%: over the slots float32 gives at least 1 %); ok: faster")
    report.out("   and within the tolerance. The player runs the last row with --acting-precision bfloat16: the")
    report.out("   row above it, with the stem read from square codes (GameBatch.gather) rather than observations.")
    report.out()

    # The bare acting pass is measured before the run and after it, as the machine's speed
    # drifts over a run: the ratio divides by the geometric mean of the two.
    bare_before = []
    with tempfile.TemporaryDirectory() as folder:
        ledger, trainer = short_run(iterations, games, Path(folder) / "run", before=lambda trainer: bare_before.append(
            bare_rates(trainer, rounds, interleaved, BATCH)[0]))
        calls = ledger.counts["forward calls"]
        mean_rows = ledger.counts["forward rows"] / max(calls, 1)
        bare_after, small_bare, learning_bare, bare_beside = bare_rates(trainer, rounds, interleaved,
                                                                         max(1, round(mean_rows)))
        acting_bare = (bare_before[0] * bare_after) ** 0.5
        pooled = pool_rates(trainer, rounds, interleaved)
    config = trainer.config
    report.out(f"8. Where train's time goes: {iterations} iterations of {games} games after {WARM_UP} to warm up "
               f"(defaults otherwise: overlap {'on' if config.overlapped else 'off'},")
    report.out(f"   learner on {config.learner_threads} torch thread(s), acting {acting_precision(config)}), "
               f"one evaluation of 50 games; {ledger.wall:.0f} s wall, {ledger.cpu:.0f} s CPU")
    for line in profile_lines(ledger):
        report.out(line)
    report.out("   of wall: share of its thread's wall time; of CPU: share of the process's CPU time (process")
    report.out("   other: CPU of threads outside every part, torch's own workers included).")
    positions_played = ledger.counts["positions"]
    samples = ledger.counts["samples"]
    acting_rate = positions_played / ledger.cpu_of(ACTING)
    learning_rate = samples / ledger.cpu_of(LEARNING)
    forward_rate = ledger.counts["forward rows"] / max(ledger.cpu_of(("forward",)), 1e-9)
    report.out(f"   self-play: {fmt_int(positions_played)} positions, {fmt_int(acting_rate)} per CPU-second of its "
               f"parts; {fmt_int(calls)} forward passes of {mean_rows:.1f} positions on average,")
    report.out(f"   {fmt_int(forward_rate)} positions per CPU-second of the forward part alone")
    report.out(f"   bare acting forward: {fmt_int(acting_bare)} per CPU-second at {BATCH} a call ({fmt_int(bare_before[0])} "
               f"before the run, {fmt_int(bare_after)} after; ratio {acting_rate / acting_bare:.2f}),")
    report.out(f"   {fmt_int(small_bare)} at {max(1, round(mean_rows))} a call after the run (ratio "
               f"{acting_rate / small_bare:.2f}); {fmt_int(bare_beside)} at {BATCH} a call beside the learner's passes in")
    report.out(f"   another thread, as the games run in train (ratio {acting_rate / bare_beside:.2f})")
    for label, (rate, mean, members, alone) in pooled.items():
        which = "the run's pool" if label == "run" else "a full pool"
        networks = f"{members} network{'s' if members > 1 else ''}"
        report.out(f"   one segment alone, {which} ({networks}): {fmt_int(rate)} positions per CPU-second, passes of "
                   f"{mean:.1f} on average (ratio {rate / acting_bare:.2f}); its forward part alone "
                   f"{fmt_int(alone)} ({alone / acting_bare:.2f})")
    report.out(f"   learner: {fmt_int(samples)} samples, {fmt_int(learning_rate)} per CPU-second of its parts; bare "
               f"forward+backward ({config.ppo.minibatch}): {fmt_int(learning_bare)}; ratio "
               f"{learning_rate / learning_bare:.2f}")
    report.out()
    outside = 1 - ledger.cpu_of(("forward",)) / ledger.cpu_of(ACTING)
    report.target(outside <= OUTSIDE_TARGET, f"train self-play outside its forward passes <= {OUTSIDE_TARGET:.0%} of CPU",
                  f"{outside:.1%}", f"self-play runs at {acting_rate / acting_bare:.2f} of the bare acting pass, its "
                  f"network at {forward_rate / acting_bare:.2f} of it alone and {forward_rate / bare_beside:.2f} beside "
                  f"the learner")
    report.target(mean_rows >= PASS_TARGET, f"train self-play mean forward pass >= {PASS_TARGET} positions "
                  f"(--batch {BATCH})", f"{mean_rows:.1f}")
    report.target(learning_rate >= SHARE_TARGET * learning_bare,
                  f"learner >= {SHARE_TARGET} x bare forward+backward (CPU-s)", f"{learning_rate / learning_bare:.2f} x")
    if kept is None:
        report.target(False, f"acting forward >= {FORWARD_TARGET} x float32 eager", "not measured")
    else:
        ratio, found = kept
        report.target(ratio >= FORWARD_TARGET and found.within(),
                      f"acting forward >= {FORWARD_TARGET} x float32 eager, within tolerance", f"{ratio:.2f} x",
                      f"max TV {found.tv:.4f}, same choice {found.agreement:.1%}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--iterations", type=int, default=3)
    parser.add_argument("--games", type=int, default=TrainConfig().games)
    args = parser.parse_args()
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from report import Report, fmt_int
    from timing import interleaved

    report = Report()
    section(report, args.rounds, interleaved, fmt_int, args.iterations, args.games)
    for met, label, figure, why in report.targets:
        report.out(f"   {'met   ' if met else 'MISSED'}  {label:<58} {figure:>10}")
