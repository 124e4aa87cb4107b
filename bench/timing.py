"""Timing helpers shared by the benchmarks: interleaved repeats and their medians.

Machines here are shared and noisy, so nothing is timed alone: every figure is taken in rounds
that alternate between the contenders, and each contender's figure is the median of its rounds.
"""

import gc
import statistics
import time


def time_call(fn, number):
    """Seconds per call of `fn()`, over `number` calls made back to back (garbage collector off)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
    finally:
        if enabled:
            gc.enable()
    return elapsed / number


def interleaved(contenders, rounds):
    """Runs each of `contenders` (name -> zero-argument function returning one measurement) once
    per round, in turn, for `rounds` rounds; returns name -> median of its measurements."""
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, measure in contenders.items():
            samples[name].append(measure())
    return {name: statistics.median(values) for name, values in samples.items()}


def calibrate(fn, target_seconds=0.05):
    """A repeat count for which `fn()` repeated takes about `target_seconds`."""
    number = 1
    while True:
        start = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= target_seconds / 4 or number >= 1 << 22:
            return max(1, int(number * target_seconds / max(elapsed, 1e-9)))
        number *= 4
