"""Where the games run: in this process, in local worker processes, or as Ray tasks.

Every game draws its randomness from the run's seed and its own index (`episode.game_seed`) and
the network, if any, is built once from the seed or a checkpoint and shipped to every worker, so
a run gives the same games whichever way it is spread. Each worker uses one torch thread: the
parallelism is across games, and one thread keeps the network's arithmetic identical everywhere.
"""

from __future__ import annotations

import contextlib
import dataclasses
import multiprocessing
import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Optional

import numpy.typing as npt
import torch

from quellor_selfplay.episode import GameRecord, Policy, RandomPolicy, play_game
from quellor_selfplay.net import DEFAULT_HIDDEN, NetPolicy, PolicyValueNet

POLICIES = ("random", "net")
RAY_INSTALL_HINT = "pip install 'quellor[ray]'"


class RunError(RuntimeError):
    """The games could not be played (a worker failed, a cluster could not be reached)."""


@dataclasses.dataclass(frozen=True)
class PlaySettings:
    """What every game of a run needs, sent once to each worker."""

    policy: str
    max_plies: int
    seed: int
    start_fen: Optional[str] = None
    net_hidden: int = DEFAULT_HIDDEN
    # The network's weights as numpy arrays: they pickle by value, for processes and Ray alike.
    net_weights: Optional[dict[str, npt.NDArray[Any]]] = None

    @staticmethod
    def with_net(
        policy: str,
        max_plies: int,
        seed: int,
        net: Optional[PolicyValueNet],
        start_fen: Optional[str] = None,
    ) -> PlaySettings:
        if policy not in POLICIES:
            raise ValueError(f"unknown policy {policy!r}")
        if (policy == "net") != (net is not None):
            raise ValueError("a network is needed for, and only for, the net policy")
        weights = None
        hidden = DEFAULT_HIDDEN
        if net is not None:
            weights = {k: v.detach().cpu().numpy().copy() for k, v in net.state_dict().items()}
            hidden = net.hidden
        return PlaySettings(policy, max_plies, seed, start_fen, hidden, weights)


def make_policy(settings: PlaySettings) -> Policy:
    if settings.policy == "random":
        return RandomPolicy()
    if settings.net_weights is None:
        raise ValueError("the net policy needs network weights")
    net = PolicyValueNet(settings.net_hidden)
    net.load_state_dict({k: torch.from_numpy(v) for k, v in settings.net_weights.items()})
    return NetPolicy(net)


def play_chunk(settings: PlaySettings, games: Sequence[int]) -> list[GameRecord]:
    """Plays the games with these indices, in this process."""
    policy = make_policy(settings)
    return [
        play_game(policy, game, settings.seed, settings.max_plies, settings.start_fen)
        for game in games
    ]


def chunk_games(games: int, workers: int) -> list[list[int]]:
    """Splits game indices 0..games-1 into chunks: a few per worker so that they share the
    load evenly, small enough that the progress bar moves."""
    size = max(1, min(8, games // (workers * 8)))
    return [list(range(start, min(start + size, games))) for start in range(0, games, size)]


class _SingleThread:
    """Holds torch to one thread inside the block and puts the old setting back after it."""

    def __enter__(self) -> None:
        self.saved = torch.get_num_threads()
        torch.set_num_threads(1)

    def __exit__(self, *exc: object) -> None:
        torch.set_num_threads(self.saved)


def run_in_process(
    settings: PlaySettings, games: int, on_game: Callable[[GameRecord], None]
) -> list[GameRecord]:
    records = []
    with _SingleThread():
        for chunk in chunk_games(games, 1):
            try:
                played = play_chunk(settings, chunk)
            except Exception as err:
                raise RunError(f"a game failed: {type(err).__name__}: {err}") from err
            for record in played:
                on_game(record)
                records.append(record)
    return records


# Set in each worker process by the pool's initializer.
_WORKER_SETTINGS: Optional[PlaySettings] = None


def _init_worker(settings: PlaySettings) -> None:
    global _WORKER_SETTINGS
    torch.set_num_threads(1)
    _WORKER_SETTINGS = settings


def _play_in_worker(games: list[int]) -> list[GameRecord]:
    assert _WORKER_SETTINGS is not None, "worker used before its initializer ran"
    return play_chunk(_WORKER_SETTINGS, games)


def run_local(
    settings: PlaySettings, games: int, workers: int, on_game: Callable[[GameRecord], None]
) -> list[GameRecord]:
    """Plays the games in `workers` local processes (in this one when `workers` is 1)."""
    workers = max(1, min(workers, games))
    if workers == 1:
        return run_in_process(settings, games, on_game)
    # Fresh interpreters rather than forks: a fork of a process that has used torch's thread
    # pools can hang.
    context = multiprocessing.get_context("spawn")
    records = []
    with context.Pool(workers, initializer=_init_worker, initargs=(settings,)) as pool:
        try:
            for chunk in pool.imap_unordered(_play_in_worker, chunk_games(games, workers)):
                for record in chunk:
                    on_game(record)
                    records.append(record)
        except Exception as err:
            raise RunError(f"a worker process failed: {type(err).__name__}: {err}") from err
    return records


def _play_on_ray(settings: PlaySettings, games: list[int]) -> list[GameRecord]:
    torch.set_num_threads(1)
    return play_chunk(settings, games)


def import_ray() -> Any:
    """The ray module, or RunError saying how to install it."""
    try:
        import ray
    except ImportError:
        raise RunError(f"--ray needs Ray, which is not installed: {RAY_INSTALL_HINT}") from None
    return ray


@contextlib.contextmanager
def ray_connection(address: str, local_cpus: int) -> Iterator[Any]:
    """A connection to Ray for the duration of the block; yields the ray module.

    `address` is a cluster address, "auto" for the cluster this machine belongs to, or "local"
    to start a private Ray with `local_cpus` CPUs for this run. When this process is already
    connected to Ray (a notebook, a test), that connection is used as it is and left open.
    """
    ray = import_ray()
    if ray.is_initialized():
        yield ray
        return
    try:
        if address == "local":
            ray.init(num_cpus=local_cpus, include_dashboard=False, logging_level="WARNING")
        else:
            ray.init(address=address, logging_level="WARNING")
    except Exception as err:
        raise RunError(f"cannot connect to Ray at {address!r}: {err}") from err
    try:
        yield ray
    finally:
        ray.shutdown()


def run_ray(
    ray: Any, settings: PlaySettings, games: int, on_game: Callable[[GameRecord], None]
) -> list[GameRecord]:
    """Plays the games as Ray tasks, one CPU each, over a connected Ray."""
    cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
    play = ray.remote(num_cpus=1)(_play_on_ray)
    shared = ray.put(settings)
    pending = [play.remote(shared, chunk) for chunk in chunk_games(games, cpus)]
    records = []
    for chunk in _as_completed(ray, pending):
        for record in chunk:
            on_game(record)
            records.append(record)
    return records


def _as_completed(ray: Any, pending: list[Any]) -> Iterator[list[GameRecord]]:
    while pending:
        done, pending = ray.wait(pending, num_returns=1)
        try:
            chunk: list[GameRecord] = ray.get(done[0])
        except Exception as err:
            for ref in pending:
                ray.cancel(ref)
            raise RunError(f"a Ray task failed: {err}") from err
        yield chunk


def default_workers() -> int:
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, multiprocessing.cpu_count())


def run_games(
    settings: PlaySettings,
    games: int,
    workers: int,
    ray: Optional[Any],
    on_game: Callable[[GameRecord], None],
) -> list[GameRecord]:
    """Plays games 0..games-1 and returns their records in game order: as Ray tasks when
    given a connected `ray` module (see `ray_connection`), else in `workers` processes."""
    if ray is not None:
        records = run_ray(ray, settings, games, on_game)
    else:
        records = run_local(settings, games, workers, on_game)
    records.sort(key=lambda record: record.game)
    if [r.game for r in records] != list(range(games)):
        raise RunError("the workers did not return every game exactly once")
    return records

