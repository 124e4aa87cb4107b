"""Helpers the test rooms share: positions and the visibility oracle, the pure-Python model
of the game, and checks of self-play runs."""

from pathlib import Path

# The repository's root, for the examples, the benchmarks and the shared positions.
ROOT = Path(__file__).resolve().parents[3]
