"""quellor-selfplay train: the trainer (`quellor_selfplay.trainer`) run from the command line,
with a progress bar, Ctrl-C and SIGTERM kept to the last checkpoint, and a closing report."""

from __future__ import annotations

import contextlib
from typing import Any, Optional

from tqdm import tqdm

from quellor_selfplay.commands.common import check_device, check_ray, check_rules
from quellor_selfplay.commands.errors import Stopped, UsageError, stop_on_sigterm
from quellor_selfplay.config import ResumeError, TrainConfig
from quellor_selfplay.net import CheckpointError
from quellor_selfplay.players import PlayerError
from quellor_selfplay.runner import backend, default_workers, ray_connection
from quellor_selfplay.scalars import TensorBoardMissing, writer_class
from quellor_selfplay.trainer import (
    LATEST, State, Trainer, bot_players, load_state, new_state, prepare_out, resumed_config,
)


def check_options(config: TrainConfig) -> None:
    check_device(config.run.device)
    out = config.out
    if config.resume and config.overwrite:
        raise UsageError("--resume continues the run in --out; --overwrite replaces it: pick one")
    if config.scale.ray is not None and not config.scale.ray.strip():
        raise UsageError("--ray needs an address, 'auto' or 'local'")
    if out.exists() and not out.is_dir():
        raise UsageError(f"--out {out} exists and is not a directory")
    if config.init is not None and config.resume:
        raise UsageError("--init starts a new run; --resume continues one: pick one")
    if config.resume:
        if not (out / LATEST).exists():
            raise UsageError(f"--resume: {out} holds no {LATEST} to resume from")
    elif not config.overwrite and ((out / LATEST).exists() or (out / "metrics.csv").exists()):
        raise UsageError(f"{out} already holds a training run; pass --overwrite to replace it or "
                         f"--resume to continue it")
    if config.init is not None and not config.init.exists():
        raise UsageError(f"--init: checkpoint {config.init} does not exist")
    if config.bot_games + config.pool_games > 1:
        raise UsageError(f"--bot-games {config.bot_games} and --pool-games {config.pool_games} add up to more "
                         f"than all the games")
    try:
        bots = bot_players(config)
    except (CheckpointError, PlayerError) as err:
        raise UsageError(f"--bots: {err}") from None
    check_rules(bots, config.game.rules)
    if config.tensorboard is not None:
        if config.tensorboard.exists() and not config.tensorboard.is_dir():
            raise UsageError(f"--tensorboard {config.tensorboard} exists and is not a directory")
        try:
            writer_class()
        except TensorBoardMissing as err:
            raise UsageError(f"--tensorboard: {err}") from None
    check_ray(config.scale.ray)


def open_run(config: TrainConfig) -> State:
    """The state to train from, read and checked; nothing in --out is touched yet."""
    try:
        return load_state(config) if config.resume else new_state(config)
    except (CheckpointError, ResumeError) as err:
        raise UsageError(f"{'--resume' if config.resume else '--init'}: {err}") from None


def train(config: TrainConfig) -> int:
    check_options(config)
    config = resumed_config(config)
    trainer = run_trainer(config, open_run(config))
    report(trainer)
    return 0


LABELS = {"random": "random play", "greedy": "the greedy bot", "agent": "the agent"}


def run_trainer(config: TrainConfig, state: State, desc: str = "train", anchors: Optional[dict[str, Any]] = None,
                title: Optional[str] = None) -> Trainer:
    """Runs the trainer of `config` from `state` to its end and returns it. --out is prepared
    only once the games can be played (Ray joined), so a run that cannot start writes nothing."""
    trainer: Optional[Trainer] = None
    # With overlap and no --workers the games play in a thread beside the learner.
    workers = config.scale.workers or (1 if config.overlapped else default_workers())
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=config.iterations, initial=min(state.iteration, config.iterations),
                                       unit="iteration", desc=desc, disable=not config.run.progress,
                                       dynamic_ncols=True))
        try:
            ray = None
            if config.scale.ray is not None:
                ray = stack.enter_context(ray_connection(config.scale.ray, workers))
                # ray.init puts in a SIGTERM handler of its own, which exits at once.
                stop_on_sigterm()
            prepare_out(config)
            trainer = Trainer(config, state, anchors=anchors)
            stack.callback(trainer.close)
            if title is not None:
                trainer.title = title
            trainer.runner = stack.enter_context(backend(workers if ray is None else config.scale.workers, ray,
                                                         overlap=config.overlapped))
            trainer.begin()
            while not trainer.finished():
                stats = trainer.step()
                bar.update(1)
                scores = ", ".join(f"vs {anchor} {trainer.last_score(anchor):.3f}" for anchor in trainer.anchors)
                bar.set_postfix_str(f"{stats['positions_per_second']:,.0f} positions/s, score {scores}",
                                    refresh=False)
            trainer.finish()
        except KeyboardInterrupt:
            if not (config.out / LATEST).exists():
                raise
            saved = state.iteration if trainer is None else trainer.saved_iteration
            raise Stopped(f"the checkpoint of iteration {saved} is kept in {config.out / LATEST}; "
                          f"run the same command with --resume to continue") from None
    assert trainer is not None
    return trainer


def counted(count: Any, noun: str) -> str:
    """`count` `noun`s, with the thousands marked and the noun singular for exactly one."""
    number = float(count)
    text = f"{int(number):,}" if number == int(number) else f"{number:,.1f}"
    return f"{text} {noun}{'' if text == '1' else 's'}"


def report(trainer: Trainer) -> None:
    state, out = trainer.state, trainer.config.out
    print(f"{counted(state.iteration, 'iteration')}, {counted(state.games, 'game')}, "
          f"{counted(state.positions, 'position')} in {counted(round(trainer.elapsed() / 60, 1), 'minute')}")
    for anchor in trainer.anchors:
        last = trainer.last_match(anchor)
        if last is not None:
            print(f"Against {LABELS.get(anchor, anchor)} ({counted(last['games'], 'game')}): {last['wins']} won, "
                  f"{last['draws']} drawn, {last['losses']} lost, score {float(last['score']):.3f}, "
                  f"Elo {float(last['elo']):+.0f} ({float(last['elo_low']):+.0f} .. {float(last['elo_high']):+.0f})")
    print(f"Wrote {out / LATEST}, metrics.csv, matches.csv and learning-curve.png in {out}")
