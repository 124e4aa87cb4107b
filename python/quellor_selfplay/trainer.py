"""Self-play reinforcement learning with PPO against a pool of earlier networks.

An iteration plays `games` games with the current network (the learner): `pool_games` of them
against networks from the pool of earlier checkpoints (the learner taking White and Black in
turn), the rest against itself. The learner then takes `epochs` PPO passes over its own
decisions (both sides of its self-play games, its side of the pool games). Every `pool_every`
iterations the network joins the pool, whose oldest member leaves once it holds `pool_size`;
the first member is the untrained network, which plays uniformly over the legal moves.

An iteration's games do not drain: once a segment's games have all started, the lanes its
last games leave idle start the games of the same segment of the next iteration against the
fixed opponents and against itself (`rollout`), and that segment plays them on from where
they stand. Their earlier moves were played by the network before, each row with its own
log-probability.

Every random choice of iteration k (the games' streams and sampling, the pool opponents, the
minibatch order) is drawn from the run's seed and k, and the checkpoint written after every
iteration holds all that the next one needs (the weights that play its games, the pool, the
optimizer, the games handed on to it). An interrupted run resumed from its checkpoint
therefore plays and learns exactly what the uninterrupted run would have, and so does a run
whose games play on Ray actors.

With `overlap` the games of iteration k + 1 are played by the network of iteration k while the
learner trains on the games of iteration k: the actors never wait for the learner, and PPO's
ratio to the behaviour policy corrects for the one iteration the games lag behind. In one
process the games then play in a thread of their own (`runner.GamesThread`), the learner on
one torch thread beside them.

A `ledger.Ledger` open around a run collects where its time went, part by part.

A run directory (`TrainConfig.out`) holds:
    checkpoints/latest.pt      the network and the trainer's state after the last iteration
    checkpoints/iter-NNNNN.pt  the network at each evaluation (a play/match checkpoint)
    data/iter-NNNNN/           the games of the last `keep_data` iterations (play's format)
    metrics.csv, matches.csv   a row per iteration, a row per evaluation match (latest.pt holds
                               them too, and a resumed run writes them again from it;
                               metrics.csv's figures also as TensorBoard scalars in
                               `tensorboard`, if given)
    learning-curve.png         scores and Elo against random play and the greedy bot,
                               losses, positions per second

In a program:

    config = TrainConfig(iterations=4, games=64, out=Path("runs/a"))
    trainer = Trainer(config, open_state(config), InProcess())
    trainer.begin()
    while not trainer.finished():
        trainer.step()
    trainer.finish()
    trainer.close()
"""

from __future__ import annotations

import copy
import csv
import dataclasses
import io
import re
import shutil
import time
from pathlib import Path
from typing import Any, Optional

import numpy as np
import torch

from quellor_selfplay import data
from quellor_selfplay.arena import CARRY_KEYS, derive_seed
from quellor_selfplay.config import ResumeError, TrainConfig, check_resume, resume_settings
from quellor_selfplay.curve import draw
from quellor_selfplay.fileio import DataError, file_digest, replacing
from quellor_selfplay.inference import default_precision
from quellor_selfplay.learn import gather, update
from quellor_selfplay.ledger import part
from quellor_selfplay.match import play_match
from quellor_selfplay.net import CheckpointError, read_checkpoint, save_checkpoint, seeded_net
from quellor_selfplay.players import PlayerConfig, load_player, player_file
from quellor_selfplay.runner import Job, Pending, Segment, Threads
from quellor_selfplay.scalars import Scalars, tags

# The fixed opponents every evaluation measures the network against: the same at every
# evaluation of every run, so that their scores and Elo differences compare across both.
ANCHORS = ("random", "greedy")
MEASURES = ("games", "wins", "draws", "losses", "score", "score_low", "score_high", "elo", "elo_low", "elo_high")


def measure_column(name: str, anchor: str) -> str:
    """The metrics column of a measure against an anchor: score_vs_greedy, score_vs_greedy_low..."""
    kind, _, bound = name.partition("_")
    return f"{kind}_vs_{anchor}" + (f"_{bound}" if bound else "")


def metric_fields(anchors: tuple[str, ...] = ANCHORS) -> tuple[str, ...]:
    """The metrics.csv columns of a run evaluated against `anchors`."""
    return ("iteration", "minutes", "games", "positions", "positions_per_second", "policy_loss", "value_loss",
            "entropy", "kl", "clip_fraction") + tuple(measure_column(m, a) for a in anchors for m in MEASURES)


METRICS = metric_fields()
MATCHES = ("iteration", "minutes", "opponent", "games", "wins", "draws", "losses", "score", "elo", "elo_low",
           "elo_high")
LATEST = "checkpoints/latest.pt"
# The folders write_data makes; any other folder in data/ is not the trainer's to touch.
DATA_FOLDER = re.compile(r"iter-(\d{5,})")


def settings_of(config: TrainConfig) -> dict[str, Any]:
    """What decides the run's games and learning: a resumed run must be given the same."""
    values = resume_settings(config)
    values["init"] = None if config.init is None else file_digest(config.init)
    values["overlap"] = config.overlapped
    values["acting_precision"] = acting_precision(config)
    # Fixed opponents that play no games change nothing, and neither does a share of games
    # against none: both are stored as the runs made before the fixed opponents were.
    plays_bots = bool(config.bots) and config.bot_games > 0
    values["bots"] = [_identity(name) for name in config.bots] if plays_bots else []
    values["bot_games"] = config.bot_games if plays_bots else 0.0
    return values


def acting_precision(config: TrainConfig) -> str:
    """How the run's networks play: `acting_precision`, by default bfloat16 where the CPU runs it
    natively (AVX-512 BF16 or AMX; elsewhere it is emulated and slower than float32)."""
    return config.acting_precision or default_precision()


def _identity(player: str) -> str:
    """A player as a resumed run must find it again: a file by its contents, else its name."""
    path = player_file(player)
    return f"{player} ({file_digest(path)})" if path is not None else player


# What runs made before these settings existed played with.
EARLIER_SETTINGS = {"bots": [], "bot_games": 0.0, "shaping": 0.0, "reach": False, "acting_precision": "float32"}


# ---------------------------------------------------------------------------------------------
# The trainer's state


@dataclasses.dataclass
class State:
    """All that the next iteration needs, and what the checkpoint holds."""

    iteration: int
    net: Any
    optimizer: Any
    pool: list[tuple[int, dict[str, Any]]]
    # The games of iteration `iteration` are played by these weights against this pool (with
    # overlap, the network of the iteration before).
    behaviour: dict[str, Any]
    behaviour_pool: list[tuple[int, dict[str, Any]]]
    seconds: float = 0.0
    games: int = 0
    positions: int = 0
    evaluated: int = -1
    # The rows of metrics.csv and matches.csv as of the checkpoint, as the files hold them (None
    # from a checkpoint written before it held them: the files are then all there is).
    metrics: Optional[list[dict[str, str]]] = None
    matches: Optional[list[dict[str, str]]] = None
    # How long the last iteration and the last evaluation took: a resumed run given --minutes
    # needs them before it has timed anything of its own.
    iteration_seconds: float = 0.0
    evaluation_seconds: float = 0.0
    # The games of iteration `iteration` that the games before them started early, by segment
    # (see rollout): what they played so far, which that iteration's segments play on.
    carried: dict[int, dict[str, Any]] = dataclasses.field(default_factory=dict)


def _weights(net: Any) -> dict[str, Any]:
    return {k: v.detach().clone() for k, v in net.state_dict().items()}


def new_state(config: TrainConfig) -> State:
    """A fresh run: a new network (or `init`'s) that plays uniformly, and a pool holding it.
    CheckpointError when `init` cannot be read."""
    if config.init is not None:
        net, _ = read_checkpoint(config.init)
    else:
        net = seeded_net(config.run.seed, arch=config.net.net, config=config.net.sizes())
        if config.net.net == "mlp":
            # A new network plays uniformly, as the squares network does from its start.
            head = net.get_submodule("policy")
            with torch.no_grad():
                for parameter in head.parameters():
                    parameter.zero_()
    net.to(config.run.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=config.ppo.lr)
    first = _weights(net)
    return State(0, net, optimizer, [(0, first)], first, [(0, first)])


def load_state(config: TrainConfig) -> State:
    """The state of the run in `config.out`. CheckpointError for an unreadable checkpoint,
    ResumeError for one without trainer state or made with other settings."""
    path = config.out / LATEST
    net, blob = read_checkpoint(path)
    train = blob.get("train")
    if not isinstance(train, dict) or not isinstance(train.get("settings"), dict):
        raise ResumeError(f"{path} holds no trainer state")
    check_resume({**EARLIER_SETTINGS, **train["settings"]}, settings_of(config), config.out)
    net.to(config.run.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=config.ppo.lr)

    def pool(entries: list[dict[str, Any]]) -> list[tuple[int, dict[str, Any]]]:
        return [(int(e["iteration"]), e["state_dict"]) for e in entries]

    def rows(key: str) -> Optional[list[dict[str, str]]]:
        found = train.get(key)
        if found is None:
            return None
        if not isinstance(found, list) or not all(
            isinstance(r, dict) and all(isinstance(k, str) and isinstance(v, str) for k, v in r.items()) for r in found
        ):
            raise TypeError(f"{key} is not a list of rows")
        return found

    # A checkpoint whose digest holds was written whole, so these fail only for one made by hand
    # or by another program: say so rather than show the KeyError.
    try:
        optimizer.load_state_dict(train["optimizer"])
        state = State(
            iteration=int(train["iteration"]), net=net, optimizer=optimizer, pool=pool(train["pool"]),
            behaviour=train["behaviour"], behaviour_pool=pool(train["behaviour_pool"]),
            seconds=float(train["seconds"]), games=int(train["games"]), positions=int(train["positions"]),
            evaluated=int(train["evaluated"]), metrics=rows("metrics"), matches=rows("matches"),
            iteration_seconds=float(train.get("iteration_seconds", 0.0)),
            evaluation_seconds=float(train.get("evaluation_seconds", 0.0)),
            carried=_carried_arrays(train.get("carried", {})),
        )
    except KeyError as err:
        raise CheckpointError(f"checkpoint {path}: its trainer state has no {err.args[0]!r}") from None
    except (TypeError, ValueError, AttributeError) as err:
        raise CheckpointError(f"checkpoint {path}: its trainer state is malformed ({err})") from None
    if not isinstance(state.behaviour, dict):
        raise CheckpointError(f"checkpoint {path}: its trainer state is malformed (behaviour is no state dict)")
    return state


def _carried_arrays(found: Any) -> dict[int, dict[str, Any]]:
    """The carried games of a checkpoint (segment -> arrays) as numpy arrays; TypeError for
    anything else."""
    if not isinstance(found, dict):
        raise TypeError("carried is not a dict")
    carried = {}
    for j, arrays in found.items():
        if not isinstance(arrays, dict) or set(arrays) != set(CARRY_KEYS) or \
                not all(isinstance(v, torch.Tensor) for v in arrays.values()):
            raise TypeError(f"the carried games of segment {j} are not whole")
        carried[int(j)] = {key: value.numpy() for key, value in arrays.items()}
    return carried


def _carried_rows(carried: dict[int, dict[str, Any]]) -> int:
    """The plies played so far in carried games."""
    return sum(len(arrays["carry_move"]) for arrays in carried.values())


def open_state(config: TrainConfig) -> State:
    """The state to train from: `config.out`'s with `config.resume`, else a new one, the files of
    an earlier run in `config.out` removed."""
    state = load_state(config) if config.resume else new_state(config)
    prepare_out(config)
    return state


def prepare_out(config: TrainConfig) -> None:
    """Makes `config.out` ready for the run: the files of an earlier run removed unless it is
    resumed, checkpoints/ made. A command calls it once the games can be played, so that a run
    that cannot start (a cluster that does not answer) leaves everything as it was."""
    if not config.resume:
        for stale in ("checkpoints", "data"):
            shutil.rmtree(config.out / stale, ignore_errors=True)
        for name in ("metrics.csv", "matches.csv", "learning-curve.png"):
            (config.out / name).unlink(missing_ok=True)
    (config.out / "checkpoints").mkdir(parents=True, exist_ok=True)


def resumed_config(config: TrainConfig) -> TrainConfig:
    """`config`, with the settings whose defaults depend on the machine (overlap, acting
    precision) taken from the run it resumes where the command line left them unset: the run
    goes on as it began, whatever this machine (or --ray) would choose for a new one. Unchanged
    for a new run or an unreadable checkpoint (which load_state reports)."""
    if not config.resume:
        return config
    try:
        _, blob = read_checkpoint(config.out / LATEST)
    except CheckpointError:
        return config
    train = blob.get("train")
    settings = train.get("settings") if isinstance(train, dict) else None
    if not isinstance(settings, dict):
        return config
    settings = {**EARLIER_SETTINGS, **settings}
    changes: dict[str, Any] = {}
    if config.overlap is None and isinstance(settings.get("overlap"), bool):
        changes["overlap"] = settings["overlap"]
    if config.acting_precision is None and settings.get("acting_precision") in ("float32", "bfloat16"):
        changes["acting_precision"] = settings["acting_precision"]
    return dataclasses.replace(config, **changes)


def save_state(state: State, config: TrainConfig, settings: dict[str, Any]) -> None:
    train = {
        "settings": settings,
        "iteration": state.iteration,
        "optimizer": state.optimizer.state_dict(),
        "pool": [{"iteration": i, "state_dict": w} for i, w in state.pool],
        "behaviour": state.behaviour,
        "behaviour_pool": [{"iteration": i, "state_dict": w} for i, w in state.behaviour_pool],
        "seconds": state.seconds,
        "games": state.games,
        "positions": state.positions,
        "evaluated": state.evaluated,
        "metrics": state.metrics,
        "matches": state.matches,
        "iteration_seconds": state.iteration_seconds,
        "evaluation_seconds": state.evaluation_seconds,
        "carried": {str(j): {key: torch.from_numpy(np.array(value)) for key, value in arrays.items()}
                    for j, arrays in state.carried.items()},
    }
    save_checkpoint(state.net, config.out / LATEST, observation=config.game.observation, rules=config.game.rules,
                    iteration=state.iteration, train=train)


# ---------------------------------------------------------------------------------------------
# Games of an iteration


def _player_config(net: Any, weights: dict[str, Any], name: str, observation: Optional[str],
                   precision: str = "float32") -> PlayerConfig:
    model = copy.deepcopy(net).cpu()
    model.load_state_dict(weights)
    return PlayerConfig.of_net(model, name, observation, precision)


def bot_players(config: TrainConfig) -> list[PlayerConfig]:
    """The fixed opponents of the run (none when they play no games)."""
    if config.bot_games <= 0:
        return []
    return [load_player(name) for name in config.bots]


# Games of a segment per lane. With the defaults (256 games, 128 at once) an iteration is
# one segment whose lanes take new games as theirs end: about 40 % more positions per CPU-second
# of its games than two segments of 128 games each, whose last games play on alone (README,
# "Where train's time goes").
SEGMENT_BATCHES = 2


def rollout(state: State, config: TrainConfig, iteration: int,
            bots: Optional[list[PlayerConfig]] = None) -> tuple[Job, list[Segment]]:
    """The job and segments of iteration `iteration`'s games: the learner (player 0) against
    the fixed opponents `bots` in `bot_games` of them, against pool members in `pool_games` of
    them, and against itself in the rest, the three kinds spread evenly over the games (see
    `game_kinds`). The learner takes White in every other game of each kind."""
    observation, precision = config.game.observation, acting_precision(config)
    bots = bot_players(config) if bots is None else bots
    players = [_player_config(state.net, state.behaviour, "learner", observation, precision)] + list(bots)
    first_pool = len(players)
    players += [_player_config(state.net, w, f"pool:iter-{i}", observation, precision)
                for i, w in state.behaviour_pool]
    against_bots = round(config.games * config.bot_games) if bots else 0
    against_pool = min(round(config.games * config.pool_games), config.games - against_bots) \
        if state.behaviour_pool else 0
    rng = np.random.default_rng(derive_seed(config.run.seed, "opponents", iteration))
    opponents = rng.integers(first_pool, len(players), size=against_pool).tolist() if against_pool else []
    kinds = game_kinds(config.games, against_bots, against_pool)
    schedule = _schedule(kinds, _bot_opponents(config, iteration, len(bots), against_bots), opponents)
    # A segment plays its games `batch` at a time, a lane taking the next game as one ends, so
    # that its forward passes stay full until its last games; it holds SEGMENT_BATCHES times
    # as many games as lanes, and an iteration's segments are what the workers share out.
    # Where its last games would play on alone, its lanes start the games of the same segment
    # of the next iteration whose players are known already: those against the fixed
    # opponents, the self-play games (the learner, whichever network that is then), and those
    # against the pool when the next iteration's pool is this one's (the pool changes once
    # every `pool_every` iterations). That segment plays them on from where they stand. The
    # last iteration does so too: its games are then those of a run with more iterations,
    # which a resumed run with more iterations goes on from.
    batch = config.run.batch
    size = SEGMENT_BATCHES * batch
    ahead = _same_pool_next(config, iteration)
    next_opponents = np.random.default_rng(derive_seed(config.run.seed, "opponents", iteration + 1)).integers(
        first_pool, len(players), size=against_pool).tolist() if ahead and against_pool else []
    following = [entry for entry, kind in
                 zip(_schedule(kinds, _bot_opponents(config, iteration + 1, len(bots), against_bots), next_opponents),
                     kinds) if kind != POOL or next_opponents]
    segments = []
    for j, start in enumerate(range(0, config.games, size)):
        carried = state.carried.get(j)
        started = set() if carried is None else set(carried["carry_game"].tolist())
        own = tuple(entry for entry in schedule[start: start + size] if entry[0] not in started)
        early = tuple(entry for entry in following if start <= entry[0] < start + size)
        segments.append(Segment(j, own, derive_seed(config.run.seed, "rollout", iteration, j), carried, early))
    return Job(config.game, tuple(players), batch, config.run.device), segments


BOT, POOL, SELF = "bot", "pool", "self"


def _same_pool_next(config: TrainConfig, iteration: int) -> bool:
    """Whether iteration + 1's games play against the pool iteration's do. The pool takes the
    network after learning iteration j when (j + 1) % pool_every == 0; the games of iteration k
    play against the pool as of before learning iteration k - 1, or with overlap k - 2 (their
    network is a step behind)."""
    changed_by = iteration - 1 if config.overlapped else iteration
    return (changed_by + 1) % config.pool_every != 0


def game_kinds(games: int, bots: int, pool: int) -> list[str]:
    """The kind of each of `games` games, `bots` against the fixed opponents, `pool` against the
    pool and the rest self-play, spread evenly: every stretch of games (a segment) holds each
    kind in proportion, so that every segment has games of the next iteration to start early
    and the pool's games are shared among the workers."""
    wanted = {BOT: bots, POOL: pool, SELF: games - bots - pool}
    placed = dict.fromkeys(wanted, 0)
    kinds = []
    for g in range(games):
        # The kind furthest behind its share of the first g + 1 games (the first listed on ties).
        kind = max(wanted, key=lambda k: wanted[k] * (g + 1) - placed[k] * games)
        placed[kind] += 1
        kinds.append(kind)
    return kinds


def _schedule(kinds: list[str], bots: list[int], pool: list[int]) -> list[tuple[int, int, int]]:
    """(game, White, Black) of each game: the i-th game of a kind against the i-th of its
    opponents, the learner White in the even ones; a pool game without an opponent yet is left
    to the learner on both sides (`pool` is empty when only the other kinds are wanted)."""
    counts = dict.fromkeys((BOT, POOL, SELF), 0)
    schedule = []
    for g, kind in enumerate(kinds):
        i = counts[kind]
        counts[kind] += 1
        others = bots if kind == BOT else pool if kind == POOL else []
        if i < len(others):
            schedule.append((g, 0, others[i]) if i % 2 == 0 else (g, others[i], 0))
        else:
            schedule.append((g, 0, 0))
    return schedule


def _bot_opponents(config: TrainConfig, iteration: int, bots: int, games: int) -> list[int]:
    """The fixed opponent (a player index from 1) of each of iteration `iteration`'s first
    `games` games, drawn from a stream of their own, so that a run without fixed opponents
    plays as before."""
    if not games:
        return []
    picks = np.random.default_rng(derive_seed(config.run.seed, "bots", iteration))
    return [int(p) for p in 1 + picks.integers(0, bots, size=games)]


def write_data(config: TrainConfig, iteration: int, job: Job, shards: list[data.Arrays]) -> None:
    """The iteration's games as a play run in data/iter-NNNNN; only the last `keep_data` stay."""
    if config.keep_data == 0:
        return
    root = config.out / "data"
    folder = root / f"iter-{iteration:05d}"
    shutil.rmtree(folder, ignore_errors=True)
    game = config.game
    run = {"iteration": iteration, "games": config.games, "seed": config.run.seed, "rules": game.rules,
           "observation": game.observation, "max_plies": game.max_plies, "batch": config.run.batch,
           "start_fen": None}
    writer = data.RunWriter.start(folder, run, [p.name for p in job.players])
    first = 0
    for j, arrays in enumerate(shards):
        count = len(arrays["game_index"])
        writer.add(j, range(first, first + count), arrays)
        first += count
    writer.finish()
    ours = sorted(p for p in root.glob("iter-*") if DATA_FOLDER.fullmatch(p.name))
    for old in ours[: -config.keep_data]:
        shutil.rmtree(old, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Metrics files


def read_csv(path: Path, upto: int) -> list[dict[str, Any]]:
    """The rows of iterations up to `upto`; DataError naming the line of a row that is cut
    short, has more fields than the header or no iteration number."""
    if not path.exists():
        return []
    rows = []
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            if reader.fieldnames is None or "iteration" not in reader.fieldnames:
                raise DataError(f"{path} has no header with an iteration column")
            for row in reader:
                where = f"{path}, line {reader.line_num}"
                if None in row:
                    raise DataError(f"{where}: more fields than the header names")
                if any(value is None for value in row.values()):
                    raise DataError(f"{where}: fewer fields than the header names (cut short?)")
                if not re.fullmatch(r"\d+", row["iteration"]):
                    raise DataError(f"{where}: iteration {row['iteration']!r} is not a number")
                if int(row["iteration"]) <= upto:
                    rows.append(row)
    except (UnicodeDecodeError, csv.Error) as err:
        raise DataError(f"{path} cannot be read: {err}") from None
    return rows


def csv_rows(fields: tuple[str, ...], rows: list[dict[str, Any]]) -> list[dict[str, str]]:
    """`rows` as a CSV file of `fields` holds them and reads them back: what a checkpoint keeps."""
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=fields, extrasaction="ignore")
    writer.writeheader()
    writer.writerows(rows)
    return list(csv.DictReader(io.StringIO(text.getvalue())))


def write_csv(path: Path, fields: tuple[str, ...], rows: list[dict[str, Any]]) -> None:
    with replacing(path) as partial:
        with open(partial, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(rows)


def _round(value: Any) -> Any:
    return round(value, 5) if isinstance(value, float) else value


def check_rows(out: Path, metrics: list[dict[str, Any]], matches: list[dict[str, Any]], anchors: tuple[str, ...],
               upto: int) -> None:
    """DataError unless `metrics` hold iterations 0..upto once each, in order, and `matches` the
    match of every evaluation they record: a checkpoint from before checkpoints kept the rows
    cannot give them back, so files that lost some are refused rather than continued without."""
    found = [int(row["iteration"]) for row in metrics]
    advice = f"{LATEST} is too old to hold them; restore the file or start the run again"
    if found != list(range(upto + 1)):
        raise DataError(f"{out / 'metrics.csv'} holds the rows of iterations {_spans(found)}, not 0..{upto}: it is "
                        f"damaged or cut short, and {advice}")
    played = {(row["iteration"], row.get("opponent")) for row in matches}
    for row in metrics:
        for anchor in anchors:
            if row.get(f"score_vs_{anchor}") not in (None, "") and (row["iteration"], anchor) not in played:
                raise DataError(f"{out / 'matches.csv'} lacks the match of iteration {row['iteration']} against "
                                f"{anchor}: it is damaged or cut short, and {advice}")


def _spans(numbers: list[int]) -> str:
    if not numbers:
        return "none"
    return ", ".join(map(str, numbers)) if len(numbers) < 8 else f"{numbers[0]}..{numbers[-1]} ({len(numbers)} rows)"


# ---------------------------------------------------------------------------------------------
# The trainer


class Trainer:
    """Runs a training run one iteration at a time on a back end of `runner` (see `runner`), the
    learner on `config.learner_threads` torch threads.

    `begin()` evaluates the untrained network of a new run, `step()` plays, learns and (every
    `eval_every` iterations) evaluates one iteration and writes its checkpoint and metrics, and
    `finish()` plays the final evaluation. Stopped anywhere, the run resumes from its last
    checkpoint as if it had not stopped.
    """

    def __init__(self, config: TrainConfig, state: State, runner: Any = None,
                 anchors: Optional[dict[str, PlayerConfig]] = None) -> None:
        self.config = config
        # The opponents of every evaluation, by the name that labels their columns and matches.
        self.anchors = anchors if anchors is not None else {name: load_player(name) for name in ANCHORS}
        # The learning curve's heading.
        self.title = f"quellor-selfplay train --rules {config.game.rules} --observation {config.game.observation}"
        self.settings = settings_of(config)
        self.state = state
        self.runner = runner
        self.metrics_fields = metric_fields(tuple(self.anchors))
        self.metrics: list[dict[str, Any]]
        self.matches: list[dict[str, Any]]
        if state.metrics is not None and state.matches is not None:
            # The checkpoint's rows are the run's: files cut short, damaged or written past the
            # checkpoint are written again from them.
            self.metrics, self.matches = list(state.metrics), list(state.matches)
            write_csv(config.out / "metrics.csv", self.metrics_fields, self.metrics)
            write_csv(config.out / "matches.csv", MATCHES, self.matches)
        else:
            self.metrics = read_csv(config.out / "metrics.csv", state.iteration)
            self.matches = read_csv(config.out / "matches.csv", state.iteration)
            if state.evaluated >= 0:
                check_rows(config.out, self.metrics, self.matches, tuple(self.anchors), state.iteration)
        self.overlap = config.overlapped
        self.bots = bot_players(config)
        self.started = time.perf_counter()
        self.seconds_before = state.seconds
        self.saved_iteration = state.iteration
        self.pending_row: dict[str, Any] = {}
        # Whether the newest metrics row replaced the one before, until save() sends it to
        # TensorBoard; None when it has been sent.
        self.unsent: Optional[bool] = None
        self.pending: Optional[tuple[Job, Pending, float]] = None
        # A resumed run's event folder goes on after the checkpoint's iteration; a new one starts over.
        self.scalars = None if config.tensorboard is None else Scalars(
            config.tensorboard, 0 if state.evaluated < 0 else state.iteration + 1,
            tags(self.anchors, MEASURES, measure_column))
        # Data written past the checkpoint belongs to iterations that will be played again.
        for folder in (config.out / "data").glob("iter-*"):
            found = DATA_FOLDER.fullmatch(folder.name)
            if found and int(found.group(1)) >= state.iteration:
                shutil.rmtree(folder, ignore_errors=True)

    @property
    def last_iteration(self) -> float:
        """Seconds the last iteration took (this run's, or the resumed run's)."""
        return self.state.iteration_seconds

    @property
    def last_evaluation(self) -> float:
        return self.state.evaluation_seconds

    def close(self) -> None:
        """Closes the TensorBoard event file, if the run writes one."""
        if self.scalars is not None:
            self.scalars.close()

    def elapsed(self) -> float:
        return self.seconds_before + time.perf_counter() - self.started

    def minutes(self) -> float:
        return round(self.elapsed() / 60, 3)

    def save(self) -> None:
        """Writes the checkpoint, the metrics rows so far in it, then the CSV files."""
        self.state.metrics = csv_rows(self.metrics_fields, self.metrics)
        self.state.matches = csv_rows(MATCHES, self.matches)
        with part("checkpoint"):
            save_state(self.state, self.config, self.settings)
            write_csv(self.config.out / "metrics.csv", self.metrics_fields, self.metrics)
            write_csv(self.config.out / "matches.csv", MATCHES, self.matches)
            if any(self.metrics[-1].get(f"score_vs_{anchor}") not in (None, "") for anchor in self.anchors):
                draw(self.metrics, self.config.out / "learning-curve.png", self.title, tuple(self.anchors))
            if self.scalars is not None and self.unsent is not None:
                self.scalars.add(self.metrics[-1], self.state.iteration, replace=self.unsent)
        self.unsent = None
        self.saved_iteration = self.state.iteration

    def begin(self) -> None:
        """Evaluates the first network of a new run (nothing on a resumed one)."""
        if self.state.evaluated < 0:
            with Threads(self.config.learner_threads):
                self.evaluate()
                self.add_metrics({})
                self.save()

    def step(self) -> dict[str, Any]:
        """Plays and learns one iteration; returns its statistics (losses, positions_per_second)."""
        with Threads(self.config.learner_threads):
            return self._step()

    def _step(self) -> dict[str, Any]:
        config, state = self.config, self.state
        began = time.perf_counter()
        if self.pending is None:
            self.pending = self.submit(state.iteration)
        job, waiting, submitted = self.pending
        shards = waiting.results()
        # The next iteration's games its segments started, which its own segments play on.
        handed_in = _carried_rows(state.carried)
        state.carried = {}
        for j, shard in enumerate(shards):
            handed = {key: shard.pop(key) for key in CARRY_KEYS if key in shard}
            if handed:
                state.carried[j] = handed
        played = sum(len(s["ply"]) for s in shards)
        # The positions these games decided: the iteration's rows but those played before they
        # were handed on, and the rows of the games they hand on.
        rate = (played - handed_in + _carried_rows(state.carried)) / max(time.perf_counter() - submitted, 1e-9)
        stats = self.learn(job, shards)
        state.games += config.games
        state.positions += played
        if state.iteration % config.eval_every == 0:
            self.evaluate()
        state.seconds = self.elapsed()
        # What is left of the iteration (the checkpoint, the metrics) costs far less than this.
        state.iteration_seconds = time.perf_counter() - began
        stats["positions_per_second"] = rate
        self.add_metrics(stats)
        self.save()
        return stats

    def finish(self) -> None:
        """The final evaluation, unless a resumed run already made it."""
        if self.final_pending():
            with Threads(self.config.learner_threads):
                self.evaluate(final=True)
                self.state.seconds = self.elapsed()
                self.add_metrics({}, replace=True)
                self.save()

    def final_pending(self) -> bool:
        return not all(any(m["opponent"] == anchor and int(m["iteration"]) == self.state.iteration
                           and int(m["games"]) >= self.config.final_games for m in self.matches)
                       for anchor in self.anchors)

    def last_evaluated(self, anchor: str) -> Optional[dict[str, Any]]:
        """The metrics row of the last evaluation against `anchor`, or None before the first."""
        return next((row for row in reversed(self.metrics) if row.get(f"score_vs_{anchor}") not in (None, "")), None)

    def last_score(self, anchor: str = "random") -> float:
        row = self.last_evaluated(anchor)
        return float("nan") if row is None else float(row[f"score_vs_{anchor}"])

    def finished(self) -> bool:
        if self.state.iteration >= self.config.iterations:
            return True
        if self.config.minutes is not None:
            # Stop while the next iteration and the final evaluation (about twice an ordinary
            # one) still fit in the time given.
            left = self.config.minutes * 60 - self.elapsed()
            return bool(left < self.last_iteration + 2 * self.last_evaluation)
        return False

    def submit(self, iteration: int) -> tuple[Job, Pending, float]:
        with part("players"):
            job, segments = rollout(self.state, self.config, iteration, self.bots)
        return job, self.runner.submit(job, segments), time.perf_counter()

    def learn(self, job: Job, shards: list[data.Arrays]) -> dict[str, Any]:
        config, state = self.config, self.state
        k = state.iteration
        self.pending = None
        if self.overlap:
            # The next games are played by the network as it is now, while it learns.
            state.behaviour, state.behaviour_pool = _weights(state.net), list(state.pool)
            if k + 1 < config.iterations:
                self.pending = self.submit(k + 1)
        with part("data writing"):
            write_data(config, k, job, shards)
        generator = torch.Generator().manual_seed(derive_seed(config.run.seed, "learn", k))
        with part("learner data"):
            experience = gather(shards)
        stats: dict[str, Any] = update(state.net, state.optimizer, experience, str(config.game.observation),
                                       config.ppo, generator, config.shaping)
        state.iteration = k + 1
        if state.iteration % config.pool_every == 0:
            state.pool = (state.pool + [(state.iteration, _weights(state.net))])[-config.pool_size:]
        if not self.overlap:
            state.behaviour, state.behaviour_pool = _weights(state.net), list(state.pool)
        return stats

    def evaluate(self, final: bool = False) -> None:
        """Matches the network against the anchors, random play and the greedy bot, with
        `eval_games` games each (`final_games` at the end of the run), and saves it as
        checkpoints/iter-NNNNN.pt."""
        with part("evaluation", whole=True):
            self._evaluate(final)

    def _evaluate(self, final: bool) -> None:
        began = time.perf_counter()
        config, state = self.config, self.state
        k = state.iteration
        me = _player_config(state.net, _weights(state.net), "learner", config.game.observation,
                            acting_precision(config))
        games = config.final_games if final else config.eval_games
        row: dict[str, Any] = {}
        for anchor, opponent in self.anchors.items():
            result = play_match(me, opponent, games, config.game, config.run.batch,
                                derive_seed(config.run.seed, "eval", k, anchor), config.run.device)
            self.record_match(anchor, result)
            figures = dict(zip(MEASURES, (result.games, result.wins, result.draws, result.losses, result.score,
                                          *result.score_interval, result.elo, *result.elo_interval)))
            row.update({measure_column(m, anchor): value for m, value in figures.items()})
        if not final:
            state.evaluated = k
        save_checkpoint(state.net, config.out / f"checkpoints/iter-{k:05d}.pt", observation=config.game.observation,
                        rules=config.game.rules, iteration=k)
        self.pending_row = row
        if not final:
            # The final evaluation plays more games; finished() allows twice an ordinary one for it.
            state.evaluation_seconds = time.perf_counter() - began

    def record_match(self, opponent: str, result: Any) -> None:
        low, high = result.elo_interval
        self.matches.append({"iteration": self.state.iteration, "minutes": self.minutes(), "opponent": opponent,
                             "games": result.games, "wins": result.wins, "draws": result.draws,
                             "losses": result.losses, "score": round(result.score, 5), "elo": round(result.elo, 2),
                             "elo_low": round(low, 2), "elo_high": round(high, 2)})
        write_csv(self.config.out / "matches.csv", MATCHES, self.matches)

    def add_metrics(self, stats: dict[str, Any], replace: bool = False) -> None:
        state = self.state
        row = {"iteration": state.iteration, "minutes": self.minutes(), "games": state.games,
               "positions": state.positions, **stats, **self.pending_row}
        self.pending_row = {}
        replaced = replace and bool(self.metrics) and int(self.metrics[-1]["iteration"]) == state.iteration
        if replaced:
            row = {**self.metrics[-1], **{k: v for k, v in row.items() if v not in (None, "")}}
            self.metrics[-1] = row
        else:
            self.metrics.append(row)
        self.metrics[-1] = {k: _round(v) for k, v in self.metrics[-1].items()}
        self.unsent = replaced

    def best_match(self, anchor: str) -> Optional[dict[str, Any]]:
        """The metrics row of the evaluation that scored best against `anchor` (the latest of
        equals), or None before the first."""
        best = None
        for row in self.metrics:
            if row.get(f"score_vs_{anchor}") not in (None, ""):
                if best is None or float(row[f"score_vs_{anchor}"]) >= float(best[f"score_vs_{anchor}"]):
                    best = row
        return best

    def last_match(self, anchor: str) -> Optional[dict[str, Any]]:
        return next((m for m in reversed(self.matches) if m["opponent"] == anchor), None)
