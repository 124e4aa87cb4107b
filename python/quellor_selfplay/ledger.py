"""Where a run's time goes: wall and CPU time per kind of work, taken on the code paths
themselves.

The code that does the work names it (`with part("forward"): ...`); while a `Ledger` is open
(`with Ledger() as ledger:`), each part adds its wall time (`time.perf_counter`) and the CPU
time of the thread that runs it (`time.thread_time`) to the ledger, under the thread's
timeline (`timeline("games")`; "main" unless named). With no ledger open a part costs one
function call and a test.

A part inside another is taken out of the outer one: every moment of a thread counts once,
under the innermost part. A part opened with `whole=True` (an evaluation) takes everything
inside it as its own, so that the evaluation's games do not mix with the training games.
What a timeline spends outside every part is its "other"; the process's CPU time that no part
took (with the "thread" clock, that of torch's own worker threads too) is the process's "other".
"""

from __future__ import annotations

import dataclasses
import threading
import time
from collections import defaultdict
from typing import Any, Optional

# The kinds of work, in the order of the table, with what each covers.
PARTS = {
    "engine": "GameBatch: start, step and end games (moves, observations and masks in C++)",
    "observations": "the live games' observations and masks gathered, packed for the record",
    "forward": "acting networks' forward passes",
    "sampling": "the legal slots found and one drawn per game",
    "bots": "the fixed opponents' choices (greedy, bold, random)",
    "search": "the search player's choices outside its games and forward passes",
    "beliefs": "the beliefs of the players that search: made and updated after every ply",
    "records": "a segment's bookkeeping: who moves in which game, the rows collected and ordered",
    "players": "players rebuilt from their weights for a segment",
    "learner data": "the learner's rows joined; observations and masks rebuilt; advantages",
    "values": "the learner's forward pass for the values the advantages start from",
    "forward+backward": "PPO loss, forward and backward passes",
    "optimizer": "gradient clipping and Adam's step",
    "data writing": "the iteration's shards and manifest",
    "evaluation": "the matches against the fixed anchors (everything inside them)",
    "checkpoint": "checkpoints, metrics.csv and the learning curve",
    "waiting": "the trainer waiting for games played elsewhere (a thread, processes)",
    "idle": "the games thread waiting for games to play",
}
ACTING = ("engine", "observations", "forward", "sampling", "bots", "records", "players")
LEARNING = ("learner data", "values", "forward+backward", "optimizer")

_active: Optional[Ledger] = None
_local = threading.local()


@dataclasses.dataclass
class Figures:
    wall: float = 0.0
    cpu: float = 0.0


class _Part:
    __slots__ = ("name", "whole", "ledger", "wall", "cpu", "inner_wall", "inner_cpu", "outer")

    def __init__(self, name: str, whole: bool) -> None:
        self.name = name
        self.whole = whole

    def __enter__(self) -> None:
        ledger = _active
        self.ledger = ledger
        if ledger is None:
            return
        stack = _stack()
        self.outer = stack[-1] if stack else None
        if self.outer is not None and self.outer.whole:
            # Inside a whole part: nothing here is counted apart from it.
            self.ledger = None
            return
        self.inner_wall = self.inner_cpu = 0.0
        stack.append(self)
        self.cpu = ledger.clock()
        self.wall = time.perf_counter()

    def __exit__(self, *exc: object) -> None:
        ledger = self.ledger
        if ledger is None:
            return
        wall = time.perf_counter() - self.wall
        cpu = ledger.clock() - self.cpu
        _stack().pop()
        if self.outer is not None:
            self.outer.inner_wall += wall
            self.outer.inner_cpu += cpu
        ledger.add(_timeline(), self.name, wall - self.inner_wall, cpu - self.inner_cpu)


def _stack() -> list[_Part]:
    stack: Optional[list[_Part]] = getattr(_local, "stack", None)
    if stack is None:
        stack = _local.stack = []
    return stack


def _timeline() -> str:
    return getattr(_local, "timeline", "main")


def part(name: str, whole: bool = False) -> _Part:
    """A block of work of kind `name` (one of PARTS), counted in the open ledger, if any."""
    return _Part(name, whole)


def timeline(name: str) -> None:
    """Names the calling thread's timeline in the ledger ("games" for a games thread)."""
    _local.timeline = name
    if _active is not None:
        _active.start(name)


def count(key: str, amount: float) -> None:
    """Adds to a counter of the open ledger (positions played, samples learned, ...)."""
    ledger = _active
    if ledger is not None:
        stack = _stack()
        if stack and stack[-1].whole:
            return
        with ledger.lock:
            ledger.counts[key] += amount


class Ledger:
    """The time of every part while it is open (`with Ledger() as ledger`); one at a time.

    `figures[timeline][part]` holds the wall and CPU seconds of each part, `counts` the
    counters, and `wall`, `cpu` the whole time it was open: the wall time, and the CPU time of
    the whole process (every thread).

    `clock` is what a part's CPU time is read from: "thread", the CPU time of the thread that
    runs it, which keeps apart the timelines of threads that work at once; or "process", the
    whole process's, for a run whose threads take turns, so that a part that torch spreads over
    several threads of its own is charged all of their time.
    """

    def __init__(self, clock: str = "thread") -> None:
        if clock not in ("thread", "process"):
            raise ValueError(f"unknown clock {clock!r} (expected 'thread' or 'process')")
        self.clock = time.thread_time if clock == "thread" else time.process_time
        self.figures: dict[str, dict[str, Figures]] = defaultdict(lambda: defaultdict(Figures))
        self.counts: dict[str, float] = defaultdict(float)
        self.lock = threading.Lock()
        self.wall = 0.0
        self.cpu = 0.0
        self.timelines: dict[str, float] = {}

    def __enter__(self) -> Ledger:
        global _active
        if _active is not None:
            raise RuntimeError("a ledger is already open")
        _active = self
        self._wall = time.perf_counter()
        self._cpu = time.process_time()
        return self

    def __exit__(self, *exc: object) -> None:
        global _active
        self.wall += time.perf_counter() - self._wall
        self.cpu += time.process_time() - self._cpu
        _active = None

    def add(self, line: str, name: str, wall: float, cpu: float) -> None:
        with self.lock:
            figures = self.figures[line][name]
            figures.wall += wall
            figures.cpu += cpu

    def start(self, line: str) -> None:
        """Marks when a timeline other than the main one starts (its share is of the wall time
        since then)."""
        with self.lock:
            self.timelines.setdefault(line, time.perf_counter() - self._wall)

    def cpu_of(self, names: tuple[str, ...]) -> float:
        """CPU seconds of the parts `names` over every timeline."""
        return sum(f.cpu for parts in self.figures.values() for n, f in parts.items() if n in names)

    def wall_of(self, names: tuple[str, ...]) -> float:
        return sum(f.wall for parts in self.figures.values() for n, f in parts.items() if n in names)

    def table(self) -> list[dict[str, Any]]:
        """A row per (timeline, part) with its seconds and shares, each timeline closed by its
        "other" (the wall time outside every part); then the process's CPU outside every part.

        Wall shares are of the timeline's wall time, CPU shares of the process's CPU time; on
        each timeline the wall shares add up to 1, and over all rows the CPU shares do."""
        rows: list[dict[str, Any]] = []
        counted_cpu = 0.0
        for line in sorted(self.figures, key=lambda name: (name != "main", name)):
            span = self.wall - self.timelines.get(line, 0.0)
            parts = self.figures[line]
            for name in [n for n in PARTS if n in parts] + [n for n in parts if n not in PARTS]:
                f = parts[name]
                counted_cpu += f.cpu
                rows.append({"timeline": line, "part": name, "wall": f.wall, "cpu": f.cpu,
                             "wall_share": f.wall / span if span else 0.0,
                             "cpu_share": f.cpu / self.cpu if self.cpu else 0.0})
            rest = span - sum(f.wall for f in parts.values())
            rows.append({"timeline": line, "part": "other", "wall": rest, "cpu": 0.0,
                         "wall_share": rest / span if span else 0.0, "cpu_share": 0.0})
        rest_cpu = self.cpu - counted_cpu
        rows.append({"timeline": "process", "part": "other", "wall": 0.0, "cpu": rest_cpu, "wall_share": 0.0,
                     "cpu_share": rest_cpu / self.cpu if self.cpu else 0.0})
        return rows
