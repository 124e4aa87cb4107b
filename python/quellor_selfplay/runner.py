"""Where segments of games are played: in this process (in the caller's thread, or in a thread
of their own that plays while the caller learns), in local worker processes, or on Ray actors.

A segment (`arena.play_segment`) depends only on its own arguments, so every back end returns
the same shards for the same segments. Each segment runs with one torch thread and a GameBatch
of one thread: the parallelism is across segments, and one thread keeps the networks'
arithmetic the same everywhere.

Back ends submit a list of segments and hand back a `Pending` whose results arrive as the
segments finish, so that a trainer can let the games of its next iteration play while it learns.
On Ray, the segments are method calls on long-lived actors (one CPU each) and the players
travel once per submission through the object store; Ray's own queues decide where they run.
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import multiprocessing
import os
import queue
import socket
import threading
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Optional

import torch

from quellor_selfplay.arena import Arrays, play_segment
from quellor_selfplay.config import GameConfig, cpu_count
from quellor_selfplay.ledger import part, timeline
from quellor_selfplay.players import PlayerConfig

RAY_INSTALL_HINT = "pip install 'quellor[ray]'"


class RunError(RuntimeError):
    """The games could not be played (a worker failed, a cluster could not be reached)."""


@dataclasses.dataclass(frozen=True)
class Segment:
    """Games to play together: (game index, White's player, Black's player), players being
    indices into the job's players, and the seed of everything random in them; the games an
    earlier segment handed on (`carried`, see arena.play_segment) and those of a later one that
    it may start early (`early`)."""

    index: int
    games: tuple[tuple[int, int, int], ...]
    seed: int
    carried: Optional[Arrays] = dataclasses.field(default=None, compare=False)
    early: tuple[tuple[int, int, int], ...] = ()


@dataclasses.dataclass(frozen=True)
class Job:
    """What every segment of a submission shares."""

    game: GameConfig
    players: tuple[PlayerConfig, ...]
    lanes: int
    device: str = "cpu"


class Threads:
    """Holds torch to `count` threads inside the block and puts the old setting back after it.

    Games are played with one: a step's forward pass is small, and on a busy machine torch's
    extra threads spin against the other processes and cost far more than they bring."""

    def __init__(self, count: int = 1) -> None:
        self.count = count

    def __enter__(self) -> None:
        self.saved = torch.get_num_threads()
        torch.set_num_threads(self.count)

    def __exit__(self, *exc: object) -> None:
        torch.set_num_threads(self.saved)


def run_segment(job: Job, segment: Segment, on_game: Optional[Callable[[int], None]] = None) -> Arrays:
    with part("players"):
        players = [config.build(job.device) for config in job.players]
    with Threads(1):
        return play_segment(job.game, segment.games, players, job.lanes, segment.seed, on_game,
                            segment.carried, segment.early)


class Pending:
    """Results of submitted segments: `as_completed()` yields (segment index, arrays) as they
    finish; `results()` waits for all and returns them in segment order."""

    def __init__(self, results: Iterator[tuple[int, Arrays]], cancel: Callable[[], None] = lambda: None) -> None:
        self._results = results
        self._cancel = cancel

    def as_completed(self) -> Iterator[tuple[int, Arrays]]:
        return self._results

    def results(self) -> list[Arrays]:
        return [arrays for _, arrays in sorted(self._results, key=lambda item: item[0])]

    def cancel(self) -> None:
        self._cancel()


# ---------------------------------------------------------------------------------------------
# In this process


class InProcess:
    """Plays the segments here, one after the other, when their results are asked for."""

    workers = 1

    def __init__(self, on_game: Optional[Callable[[int], None]] = None) -> None:
        self.on_game = on_game

    def submit(self, job: Job, segments: Sequence[Segment]) -> Pending:
        def results() -> Iterator[tuple[int, Arrays]]:
            for segment in segments:
                try:
                    arrays = run_segment(job, segment, self.on_game)
                except Exception as err:
                    raise RunError(f"a game failed: {type(err).__name__}: {err}") from err
                yield segment.index, arrays

        return Pending(results())

    def close(self) -> None:
        pass


# ---------------------------------------------------------------------------------------------
# In a thread of this process


# Put in a submission's results when the games thread stops before playing all of it.
_STOPPED = object()


class _Submission:
    """The results of one submission to a GamesThread, as they arrive."""

    def __init__(self, job: Job, segments: Sequence[Segment]) -> None:
        self.job = job
        self.segments = list(segments)
        self.results: queue.Queue[Any] = queue.Queue()
        self.cancelled = False


class GamesThread:
    """Plays the segments in a thread of this process as soon as they are submitted, one
    submission after the other, so that the caller (the trainer's learner) works while the games
    play: GameBatch's steps and torch's operators release the interpreter lock, and each side
    keeps one core busy.

    The games thread runs torch on one thread, as every back end does, and plays each segment
    exactly as InProcess would: the same segments give the same shards.
    """

    workers = 1

    def __init__(self, on_game: Optional[Callable[[int], None]] = None) -> None:
        self.on_game = on_game
        self._queue: queue.Queue[Optional[_Submission]] = queue.Queue()
        self._current: Optional[_Submission] = None
        self._thread = threading.Thread(target=self._serve, name="quellor-games", daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        timeline("games")
        torch.set_num_threads(1)
        while True:
            with part("idle"):
                submission = self._queue.get()
            if submission is None:
                return
            self._current = submission
            for segment in submission.segments:
                if submission.cancelled:
                    submission.results.put(_STOPPED)
                    break
                try:
                    arrays = run_segment(submission.job, segment, self.on_game)
                except Exception as err:
                    submission.results.put(err)
                    break
                submission.results.put((segment.index, arrays))
            self._current = None

    def submit(self, job: Job, segments: Sequence[Segment]) -> Pending:
        if not self._thread.is_alive():
            raise RunError("the games thread has stopped")
        submission = _Submission(job, segments)
        self._queue.put(submission)

        def results() -> Iterator[tuple[int, Arrays]]:
            for _ in submission.segments:
                with part("waiting"):
                    item = submission.results.get()
                if item is _STOPPED:
                    raise RunError("the games thread was stopped before it played these games")
                if isinstance(item, Exception):
                    raise RunError(f"a game failed: {type(item).__name__}: {item}") from item
                yield item

        def cancel() -> None:
            submission.cancelled = True

        return Pending(results(), cancel)

    def close(self) -> None:
        """Stops the thread once the segment it is playing ends; what was submitted and not yet
        played is dropped."""
        while True:
            try:
                pending = self._queue.get_nowait()
            except queue.Empty:
                break
            if pending is not None:
                pending.cancelled = True
                pending.results.put(_STOPPED)
        current = self._current
        if current is not None:
            current.cancelled = True
        self._queue.put(None)
        self._thread.join()


# ---------------------------------------------------------------------------------------------
# Local worker processes


def _init_worker() -> None:
    torch.set_num_threads(1)


def _play_in_worker(task: tuple[Job, Segment]) -> tuple[int, Arrays]:
    job, segment = task
    return segment.index, run_segment(job, segment)


class LocalProcesses:
    """A pool of worker processes, kept for the back end's life (a trainer submits to it at
    every iteration)."""

    def __init__(self, workers: int) -> None:
        self.workers = workers
        # Fresh interpreters rather than forks: a fork of a process that has used torch's thread
        # pools can hang.
        self._pool = multiprocessing.get_context("spawn").Pool(workers, initializer=_init_worker)

    def submit(self, job: Job, segments: Sequence[Segment]) -> Pending:
        # One segment per task; the players go along with each (a few MB at most).
        tasks = self._pool.imap_unordered(_play_in_worker, [(job, s) for s in segments])

        def results() -> Iterator[tuple[int, Arrays]]:
            try:
                while True:
                    with part("waiting"):
                        item = next(tasks, None)
                    if item is None:
                        return
                    yield item
            except Exception as err:
                raise RunError(f"a worker process failed: {type(err).__name__}: {err}") from err

        return Pending(results())

    def close(self) -> None:
        self._pool.terminate()
        self._pool.join()


# ---------------------------------------------------------------------------------------------
# Ray


def import_ray() -> Any:
    """The ray module, or RunError saying how to install it."""
    try:
        import ray
    except ImportError:
        raise RunError(f"--ray needs Ray, which is not installed: {RAY_INSTALL_HINT}") from None
    return ray


class SegmentActor:
    """A Ray actor that plays segments (made remote by RayActors)."""

    def __init__(self) -> None:
        torch.set_num_threads(1)

    def play(self, job: Job, segment: Segment) -> tuple[int, Arrays]:
        return segment.index, run_segment(job, segment)


class RayActors:
    """`workers` actors of one CPU each on a connected Ray; a submission's segments are spread
    over them in turn and queue on each actor."""

    def __init__(self, ray: Any, workers: Optional[int] = None) -> None:
        self.ray = ray
        cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
        self.workers = workers or cpus
        remote = ray.remote(num_cpus=1)(SegmentActor)
        self.actors = [remote.remote() for _ in range(self.workers)]

    def submit(self, job: Job, segments: Sequence[Segment]) -> Pending:
        ray = self.ray
        shared = ray.put(job)
        refs = [self.actors[i % len(self.actors)].play.remote(shared, s) for i, s in enumerate(segments)]

        def results() -> Iterator[tuple[int, Arrays]]:
            pending = list(refs)
            while pending:
                done, pending = ray.wait(pending, num_returns=1)
                try:
                    yield ray.get(done[0])
                except Exception as err:
                    for ref in pending:
                        ray.cancel(ref)
                    raise RunError(f"a Ray task failed: {err}") from err

        def cancel() -> None:
            for ref in refs:
                ray.cancel(ref)

        return Pending(results(), cancel)

    def close(self) -> None:
        for actor in self.actors:
            with contextlib.suppress(Exception):
                self.ray.kill(actor)


# How long joining a Ray cluster may take before the run gives up. ray.init has no bound of its
# own: against an address where no cluster answers it retries for many minutes.
RAY_CONNECT_SECONDS = 30.0
# Seconds to use instead, for a slow network (or a test that must not wait).
RAY_CONNECT_VARIABLE = "QUELLOR_RAY_CONNECT_SECONDS"


def ray_connect_seconds() -> float:
    """The bound on joining a cluster: $QUELLOR_RAY_CONNECT_SECONDS, else RAY_CONNECT_SECONDS."""
    text = os.environ.get(RAY_CONNECT_VARIABLE)
    if text is None:
        return RAY_CONNECT_SECONDS
    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if not 0 < seconds < float("inf"):
        raise RunError(f"{RAY_CONNECT_VARIABLE}={text!r}: expected a positive number of seconds")
    return seconds


def _cluster_endpoint(ray: Any, address: str) -> Optional[tuple[str, int]]:
    """(host, port) that ray.init will connect to for `address`, or None when that cannot be
    told (a Ray without the helper, an address form it does not resolve). RunError when Ray
    itself says there is no cluster ("auto" on a machine that runs none)."""
    if address.startswith("ray://"):
        text = address[len("ray://"):].split("/", 1)[0]
    else:
        try:
            from ray._private.services import canonicalize_bootstrap_address
        except ImportError:
            return None
        try:
            canonical: Optional[str] = canonicalize_bootstrap_address(address)
        except ConnectionError as err:
            raise RunError(f"cannot connect to Ray at {address!r}: {err}") from None
        except Exception:  # a form only ray.init reads: it reports it itself
            return None
        if canonical is None:
            return None
        text = canonical
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        return None
    return host.strip("[]"), int(port)


def _join_cluster(ray: Any, address: str, seconds: float) -> None:
    """ray.init(address) within `seconds`, else RunError. Ray's connection loop sits in native
    calls for half a minute at a time, where neither a deadline nor Ctrl-C reaches it; it runs in
    a thread of its own here, and the caller waits for it where both do."""
    endpoint = _cluster_endpoint(ray, address)
    if endpoint is not None:
        # Nothing listening, or a host that does not answer, is known at once this way.
        host, port = endpoint
        try:
            with socket.create_connection((host, port), timeout=seconds):
                pass
        except socket.timeout:
            raise RunError(f"cannot connect to Ray at {address!r}: no answer within {seconds:g} s ({host}:{port})"
                           ) from None
        except OSError as err:
            raise RunError(f"cannot connect to Ray at {address!r}: nothing answers there ({host}:{port}: "
                           f"{err.strerror or err})") from None
    outcome: dict[str, BaseException] = {}

    def connect() -> None:
        try:
            ray.init(address=address, logging_level="WARNING")
        except BaseException as err:  # handed to the waiting thread
            outcome["error"] = err

    quiet = _Unless("SIGTERM handler is not set")
    worker_log = logging.getLogger("ray._private.worker")
    worker_log.addFilter(quiet)
    try:
        joining = threading.Thread(target=connect, name="quellor-ray-connect", daemon=True)
        joining.start()
        joining.join(seconds)
    finally:
        worker_log.removeFilter(quiet)
    if joining.is_alive():
        # The thread is left to Ray: it cannot be stopped, and the process is about to end.
        raise RunError(f"cannot connect to Ray at {address!r}: no Ray cluster answered within {seconds:g} s "
                       f"(set {RAY_CONNECT_VARIABLE} to wait longer)")
    if "error" in outcome:
        failure = outcome["error"]
        raise RunError(f"cannot connect to Ray at {address!r}: {failure}") from failure


class _Unless(logging.Filter):
    """Drops log records that hold `text`: Ray's notice that a thread other than the main one
    cannot set its SIGTERM handler, which the commands set themselves."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.text = text

    def filter(self, record: logging.LogRecord) -> bool:
        return self.text not in record.getMessage()


@contextlib.contextmanager
def ray_connection(address: str, local_cpus: int) -> Iterator[Any]:
    """A connection to Ray for the duration of the block; yields the ray module.

    `address` is a cluster address, "auto" for the cluster this machine belongs to, or "local"
    to start a private Ray with `local_cpus` CPUs for this run. When this process is already
    connected to Ray (a notebook, a test), that connection is used as it is and left open.
    Joining a cluster that does not answer within `ray_connect_seconds()` is a RunError.
    """
    ray = import_ray()
    if ray.is_initialized():
        yield ray
        return
    if address == "local":
        try:
            ray.init(num_cpus=local_cpus, include_dashboard=False, logging_level="WARNING")
        except Exception as err:
            raise RunError(f"cannot connect to Ray at {address!r}: {err}") from err
    else:
        _join_cluster(ray, address, ray_connect_seconds())
    try:
        yield ray
    finally:
        ray.shutdown()


def default_workers() -> int:
    """One worker per CPU this process may run on."""
    return cpu_count()


@contextlib.contextmanager
def backend(workers: Optional[int], ray: Optional[Any],
            on_game: Optional[Callable[[int], None]] = None, overlap: bool = False) -> Iterator[Any]:
    """Ray actors on a connected `ray` (`workers` of them, default one per CPU of the cluster),
    else `workers` local processes, else this process: a thread that plays what is submitted at
    once with `overlap`, the caller's own thread when it asks for the results without; closed
    (workers ended) when the block ends, however it ends."""
    if ray is not None:
        chosen: Any = RayActors(ray, workers)
    elif workers is not None and workers > 1:
        chosen = LocalProcesses(workers)
    elif overlap:
        chosen = GamesThread(on_game)
    else:
        chosen = InProcess(on_game)
    try:
        yield chosen
    finally:
        chosen.close()
