"""Fixtures and reporting shared by every test room; the helpers they import are in support/."""

import json
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


# Under pytest-xdist each worker counts its own figures: it hands them to the controlling
# process as it finishes, which adds them up for the summary above.
def pytest_sessionfinish(session):
    output = getattr(session.config, "workeroutput", None)
    if output is not None:
        output["figures"] = json.dumps(oracle.FIGURES)


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    for name, value in json.loads(getattr(node, "workeroutput", {}).get("figures", "{}")).items():
        if isinstance(value, (int, float)):
            oracle.count(name, value)
        else:
            oracle.FIGURES[name] = value
