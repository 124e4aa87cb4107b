"""Fixtures and reporting shared by every test room; the helpers they import are in support/."""

import sys

import pytest

import quellor
from support import ROOT, oracle

# The benchmarks' one-game-at-a-time player is tested beside the package it is measured against.
sys.path.insert(0, str(ROOT / "bench"))


@pytest.fixture
def game():
    return quellor.SelfPlayGame()


def pytest_terminal_summary(terminalreporter):
    """Figures of the differential games and other counting tests, when any ran."""
    if oracle.FIGURES:
        terminalreporter.section("figures")
        for name, value in sorted(oracle.FIGURES.items()):
            terminalreporter.write_line(f"{name}: {value}")
