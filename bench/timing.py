"""Timing helpers shared by the benchmarks: interleaved repeats and their medians.

Machines here are shared and noisy, so nothing is timed alone: every figure is taken in rounds
that alternate between the contenders, and each contender's figure is the median of its rounds.
A ratio is the median of the ratios of measurements taken next to each other, so that a burst
of load elsewhere on the machine weighs on both sides of the ratios it touches.
"""

import statistics


class Samples:
    """Measurements of several contenders taken side by side: samples[name][i] of every
    contender belong together (same round, same input)."""

    def __init__(self, samples):
        self.samples = samples

    def median(self, name):
        return statistics.median(self.samples[name])

    def ratio(self, a, b):
        """Median of a / b over the paired measurements."""
        return statistics.median(x / y for x, y in zip(self.samples[a], self.samples[b]))


def interleaved(contenders, rounds):
    """Runs each of `contenders` (name -> zero-argument function returning one measurement) once
    per round, in turn, for `rounds` rounds; the measurements of one round are paired."""
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, measure in contenders.items():
            samples[name].append(measure())
    return Samples(samples)


def paired(contenders, chunks, rounds):
    """Runs every chunk of input through every contender (name -> function(chunk) returning the
    seconds it took), one contender right after the other, the order rotating from chunk to
    chunk; `rounds` times over. Each measurement is paired with the other contenders' on the
    same chunk in the same round. Returns the Samples and, per contender, its seconds for all
    chunks: the sum over the chunks of each chunk's median over the rounds (a chunk that the
    scheduler interrupted in one round does not weigh on the figure)."""
    names = list(contenders)
    chunks = list(chunks)
    samples = {name: [] for name in names}
    for _ in range(rounds):
        for i, chunk in enumerate(chunks):
            k = i % len(names)
            for name in names[k:] + names[:k]:
                samples[name].append(contenders[name](chunk))
    count = len(chunks)
    totals = {
        name: sum(statistics.median(values[c::count]) for c in range(count)) for name, values in samples.items()
    }
    return Samples(samples), totals
