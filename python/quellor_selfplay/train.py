"""quellor-selfplay train: self-play reinforcement learning with PPO against a pool of earlier
networks.

An iteration plays --games games with the current network (the learner): --pool-games of them
against networks from the pool of earlier checkpoints (the learner taking White and Black in
turn), the rest against itself. The learner then takes --epochs PPO passes over its own
decisions (both sides of its self-play games, its side of the pool games). Every --pool-every
iterations the network joins the pool, whose oldest member leaves once it holds --pool-size;
the first member is the untrained network, which plays uniformly over the legal moves.

Every random choice of iteration k (the games' streams and sampling, the pool opponents, the
minibatch order) is drawn from the run's seed and k, and the checkpoint written after every
iteration holds all that the next one needs (the weights that play its games, the pool, the
optimizer). An interrupted run resumed from its checkpoint therefore plays and learns exactly
what the uninterrupted run would have, and so does a run whose games play on Ray actors.

With --overlap the games of iteration k + 1 are played by the network of iteration k while
the learner trains on the games of iteration k: the actors never wait for the learner, and PPO's
ratio to the behaviour policy corrects for the one iteration the games lag behind.

Output in --out:
    checkpoints/latest.pt      the network and the trainer's state after the last iteration
    checkpoints/iter-NNNNN.pt  the network at each evaluation (a play/match checkpoint)
    data/iter-NNNNN/           the games of the last --keep-data iterations (play's format)
    metrics.csv, matches.csv   a row per iteration, a row per evaluation match
    learning-curve.png         score against random play, Elo against the first checkpoint,
                               losses, positions per second
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import csv
import dataclasses
import math
import shutil
import time
from pathlib import Path
from typing import Any

import numpy as np


@dataclasses.dataclass(frozen=True)
class Defaults:
    iterations: int = 1000
    games: int = 256
    batch: int = 128
    net: str = "squares"
    channels: int = 32
    blocks: int = 2
    hidden: int = 256
    lr: float = 1e-3
    epochs: int = 2
    minibatch: int = 512
    clip: float = 0.2
    value_coef: float = 0.5
    entropy: float = 0.01
    gamma: float = 0.99
    lam: float = 0.95
    pool_size: int = 8
    pool_every: int = 5
    pool_games: float = 0.5
    eval_every: int = 5
    eval_games: int = 200
    final_games: int = 400
    keep_data: int = 1


DEFAULTS = Defaults()
# The options that decide what a run plays and learns: a resumed run must be given the same.
DECISIVE = ("seed", "games", "batch", "max_plies", "rules", "observation", "net", "channels", "blocks",
            "hidden", "init", "lr", "epochs", "minibatch", "clip", "value_coef", "entropy", "gamma", "lam",
            "pool_size", "pool_every", "pool_games", "eval_every", "eval_games", "overlap")
METRICS = ("iteration", "minutes", "games", "positions", "positions_per_second", "policy_loss", "value_loss",
           "entropy", "kl", "clip_fraction", "games_vs_random", "wins_vs_random", "draws_vs_random",
           "losses_vs_random", "score_vs_random", "elo_vs_random", "elo_vs_previous", "elo_vs_first",
           "elo_vs_first_low", "elo_vs_first_high")
MATCHES = ("iteration", "minutes", "opponent", "games", "wins", "draws", "losses", "score", "elo", "elo_low",
           "elo_high")
LATEST = "checkpoints/latest.pt"
Z95 = 1.959963984540054


def settings_of(args: argparse.Namespace) -> dict[str, Any]:
    values = {key: getattr(args, key) for key in DECISIVE if key not in ("init", "overlap")}
    values["init"] = None
    if args.init is not None:
        from quellor_selfplay.play import file_digest

        values["init"] = file_digest(args.init)
    values["overlap"] = overlap_of(args)
    return values


def overlap_of(args: argparse.Namespace) -> bool:
    return bool(args.overlap) if args.overlap is not None else args.ray is not None


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
    # --overlap, the network of the iteration before).
    behaviour: dict[str, Any]
    behaviour_pool: list[tuple[int, dict[str, Any]]]
    previous: tuple[int, dict[str, Any]]
    elo_first: float = 0.0
    elo_first_variance: float = 0.0
    seconds: float = 0.0
    games: int = 0
    positions: int = 0
    evaluated: int = -1


def _weights(net: Any) -> dict[str, Any]:
    return {k: v.detach().clone() for k, v in net.state_dict().items()}


def _new_state(args: argparse.Namespace) -> State:
    import torch

    from quellor_selfplay.cli import UsageError
    from quellor_selfplay.net import CheckpointError, read_checkpoint, seeded_net

    if args.init is not None:
        try:
            net, _ = read_checkpoint(args.init)
        except CheckpointError as err:
            raise UsageError(f"--init: {err}") from None
    else:
        config = {"hidden": args.hidden} if args.net == "mlp" else {
            "channels": args.channels, "blocks": args.blocks, "keys": 16}
        net = seeded_net(args.seed, arch=args.net, config=config)
        if args.net == "mlp":
            # A new network plays uniformly, as the squares network does from its start.
            head = net.get_submodule("policy")
            with torch.no_grad():
                for parameter in head.parameters():
                    parameter.zero_()
    net.to(args.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=args.lr)
    first = _weights(net)
    return State(0, net, optimizer, [(0, first)], first, [(0, first)], (0, first))


def _save(state: State, args: argparse.Namespace, settings: dict[str, Any]) -> None:
    from quellor_selfplay.net import save_checkpoint

    train = {
        "settings": settings,
        "iteration": state.iteration,
        "optimizer": state.optimizer.state_dict(),
        "pool": [{"iteration": i, "state_dict": w} for i, w in state.pool],
        "behaviour": state.behaviour,
        "behaviour_pool": [{"iteration": i, "state_dict": w} for i, w in state.behaviour_pool],
        "previous": {"iteration": state.previous[0], "state_dict": state.previous[1]},
        "elo_first": state.elo_first,
        "elo_first_variance": state.elo_first_variance,
        "seconds": state.seconds,
        "games": state.games,
        "positions": state.positions,
        "evaluated": state.evaluated,
    }
    save_checkpoint(state.net, args.out / LATEST, observation=args.observation, rules=args.rules,
                    iteration=state.iteration, train=train)


def _load(args: argparse.Namespace, settings: dict[str, Any]) -> State:
    import torch

    from quellor_selfplay.cli import UsageError
    from quellor_selfplay.net import CheckpointError, read_checkpoint

    path = args.out / LATEST
    try:
        net, blob = read_checkpoint(path)
    except CheckpointError as err:
        raise UsageError(f"--resume: {err}") from None
    train = blob.get("train")
    if not isinstance(train, dict) or not isinstance(train.get("settings"), dict):
        raise UsageError(f"--resume: {path} holds no trainer state")
    earlier = train["settings"]
    for key in DECISIVE:
        if earlier.get(key) != settings.get(key):
            raise UsageError(f"--resume: the run in {args.out} was made with {key} = {earlier.get(key)!r}, "
                             f"not {settings.get(key)!r}; give the options it was started with")
    net.to(args.device)
    optimizer = torch.optim.Adam(net.parameters(), lr=args.lr)
    optimizer.load_state_dict(train["optimizer"])

    def pool(entries: list[dict[str, Any]]) -> list[tuple[int, dict[str, Any]]]:
        return [(int(e["iteration"]), e["state_dict"]) for e in entries]

    return State(
        iteration=int(train["iteration"]), net=net, optimizer=optimizer, pool=pool(train["pool"]),
        behaviour=train["behaviour"], behaviour_pool=pool(train["behaviour_pool"]),
        previous=(int(train["previous"]["iteration"]), train["previous"]["state_dict"]),
        elo_first=float(train["elo_first"]), elo_first_variance=float(train["elo_first_variance"]),
        seconds=float(train["seconds"]), games=int(train["games"]), positions=int(train["positions"]),
        evaluated=int(train["evaluated"]),
    )


# ---------------------------------------------------------------------------------------------
# Games of an iteration


def _player_config(net: Any, weights: dict[str, Any], name: str, observation: str) -> Any:
    from quellor_selfplay.players import PlayerConfig

    model = copy.deepcopy(net).cpu()
    model.load_state_dict(weights)
    return PlayerConfig.of_net(model, name, observation)


def rollout(state: State, args: argparse.Namespace, iteration: int) -> tuple[Any, list[Any]]:
    """The job and segments of iteration `iteration`'s games: the learner (player 0) against
    itself, and against pool members (players 1..) in --pool-games of them."""
    from quellor_selfplay.arena import Table, derive_seed
    from quellor_selfplay.runner import Job, Segment

    players = [_player_config(state.net, state.behaviour, "learner", args.observation)]
    players += [_player_config(state.net, w, f"pool:iter-{i}", args.observation) for i, w in state.behaviour_pool]
    against_pool = round(args.games * args.pool_games) if state.behaviour_pool else 0
    rng = np.random.default_rng(derive_seed(args.seed, "opponents", iteration))
    opponents = rng.integers(1, len(players), size=against_pool).tolist() if against_pool else []
    schedule = []
    for g in range(args.games):
        if g < against_pool:
            other = int(opponents[g])
            schedule.append((g, 0, other) if g % 2 == 0 else (g, other, 0))
        else:
            schedule.append((g, 0, 0))
    segments = [
        Segment(j, tuple(schedule[start: start + args.batch]), derive_seed(args.seed, "rollout", iteration, j))
        for j, start in enumerate(range(0, args.games, args.batch))
    ]
    table = Table(args.rules, args.observation, args.max_plies, None)
    return Job(table, tuple(players), args.batch, args.device), segments


def _write_data(args: argparse.Namespace, iteration: int, job: Any, shards: list[Any]) -> None:
    from quellor_selfplay import data

    if args.keep_data == 0:
        return
    root = args.out / "data"
    folder = root / f"iter-{iteration:05d}"
    shutil.rmtree(folder, ignore_errors=True)
    run = {"iteration": iteration, "games": args.games, "seed": args.seed, "rules": args.rules,
           "observation": args.observation, "max_plies": args.max_plies, "batch": args.batch,
           "start_fen": None}
    manifest = data.new_manifest(run, [p.name for p in job.players])
    first = 0
    for j, arrays in enumerate(shards):
        name = data.shard_name(j)
        size = data.write_shard(arrays, folder / name)
        count = len(arrays["game_index"])
        manifest["shards"].append({"index": j, "file": name, "first_game": first, "games": count,
                                   "rows": int(len(arrays["ply"])), "bytes": size})
        data.write_json(manifest, folder / data.MANIFEST)
        first += count
    manifest["complete"] = True
    data.write_json(manifest, folder / data.MANIFEST)
    for old in sorted(root.glob("iter-*"))[: -args.keep_data]:
        shutil.rmtree(old, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Metrics files


def _read_csv(path: Path, upto: int) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    with open(path, newline="", encoding="utf-8") as f:
        return [row for row in csv.DictReader(f) if int(row["iteration"]) <= upto]


def _write_csv(path: Path, fields: tuple[str, ...], rows: list[dict[str, Any]]) -> None:
    partial = path.with_name(f".{path.name}.partial")
    try:
        with open(partial, "w", newline="", encoding="utf-8") as f:
            writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
            writer.writeheader()
            writer.writerows(rows)
        partial.replace(path)
    finally:
        partial.unlink(missing_ok=True)


def _round(value: Any) -> Any:
    return round(value, 5) if isinstance(value, float) else value


# ---------------------------------------------------------------------------------------------
# The command


def _check(args: argparse.Namespace) -> None:
    from quellor_selfplay.cli import UsageError
    from quellor_selfplay.play import check_device

    check_device(args.device)
    if args.resume and args.overwrite:
        raise UsageError("--resume continues the run in --out; --overwrite replaces it: pick one")
    if args.ray is not None and not args.ray.strip():
        raise UsageError("--ray needs an address, 'auto' or 'local'")
    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    if args.init is not None and args.resume:
        raise UsageError("--init starts a new run; --resume continues one: pick one")
    if args.resume:
        if not (args.out / LATEST).exists():
            raise UsageError(f"--resume: {args.out} holds no {LATEST} to resume from")
    elif not args.overwrite and ((args.out / LATEST).exists() or (args.out / "metrics.csv").exists()):
        raise UsageError(f"{args.out} already holds a training run; pass --overwrite to replace it or "
                         f"--resume to continue it")
    if args.init is not None and not args.init.exists():
        raise UsageError(f"--init: checkpoint {args.init} does not exist")


def train(args: argparse.Namespace, stop_on_sigterm: Any) -> int:
    _check(args)
    from quellor_selfplay.runner import RunError, import_ray

    if args.ray is not None:
        try:
            import_ray()
        except RunError as err:
            from quellor_selfplay.cli import UsageError

            raise UsageError(str(err)) from None
    settings = settings_of(args)
    if args.resume:
        state = _load(args, settings)
    else:
        state = _new_state(args)
        for stale in ("checkpoints", "data"):
            shutil.rmtree(args.out / stale, ignore_errors=True)
        for name in ("metrics.csv", "matches.csv", "learning-curve.png"):
            (args.out / name).unlink(missing_ok=True)
    (args.out / "checkpoints").mkdir(parents=True, exist_ok=True)
    from quellor_selfplay.runner import Threads

    with Threads(args.threads):
        return Trainer(args, settings, state, stop_on_sigterm).run()


class Trainer:
    def __init__(self, args: argparse.Namespace, settings: dict[str, Any], state: State, stop_on_sigterm: Any) -> None:
        from quellor_selfplay.learn import Hyper

        self.args = args
        self.settings = settings
        self.state = state
        self.stop_on_sigterm = stop_on_sigterm
        self.hyper = Hyper(args.lr, args.epochs, args.minibatch, args.clip, args.value_coef, args.entropy,
                           args.gamma, args.lam)
        self.metrics = _read_csv(args.out / "metrics.csv", state.iteration)
        self.matches = _read_csv(args.out / "matches.csv", state.iteration)
        self.overlap = settings["overlap"]
        self.started = time.perf_counter()
        self.seconds_before = state.seconds
        self.last_iteration = 0.0
        self.last_evaluation = 0.0
        self.saved_iteration = state.iteration
        self.pending_row: dict[str, Any] = {}

    def elapsed(self) -> float:
        return self.seconds_before + time.perf_counter() - self.started

    def minutes(self) -> float:
        return round(self.elapsed() / 60, 3)

    def run(self) -> int:
        from tqdm import tqdm

        from quellor_selfplay.cli import Stopped
        from quellor_selfplay.runner import backend, default_workers, ray_connection

        args, state = self.args, self.state
        # Data written past the checkpoint belongs to iterations that will be played again.
        for folder in (args.out / "data").glob("iter-*"):
            if int(folder.name[5:]) >= state.iteration:
                shutil.rmtree(folder, ignore_errors=True)
        workers = args.workers or default_workers()
        with contextlib.ExitStack() as stack:
            bar = stack.enter_context(tqdm(total=args.iterations, initial=min(state.iteration, args.iterations),
                                           unit="iteration", desc="train", disable=not args.progress,
                                           dynamic_ncols=True))
            try:
                ray = None
                if args.ray is not None:
                    ray = stack.enter_context(ray_connection(args.ray, workers))
                    self.stop_on_sigterm()
                runner = stack.enter_context(backend(workers if ray is None else args.workers, ray))
                if state.evaluated < 0:
                    self.evaluate()
                    _save(state, args, self.settings)
                    self.saved_iteration = state.iteration
                    self.write_metrics({})
                pending = None
                while not self.finished():
                    began = time.perf_counter()
                    if pending is None:
                        pending = self.submit(runner, state.iteration)
                    job, waiting, submitted = pending
                    shards = waiting.results()
                    played = sum(len(s["ply"]) for s in shards)
                    rate = played / max(time.perf_counter() - submitted, 1e-9)
                    stats = self.learn(runner, job, shards)
                    pending = stats.pop("pending")
                    state.games += args.games
                    state.positions += played
                    if state.iteration % args.eval_every == 0:
                        self.evaluate()
                    state.seconds = self.elapsed()
                    _save(state, args, self.settings)
                    self.saved_iteration = state.iteration
                    self.write_metrics({**stats, "positions_per_second": rate})
                    self.last_iteration = time.perf_counter() - began
                    bar.update(1)
                    bar.set_postfix_str(f"{rate:,.0f} positions/s, score vs random {self.last_score():.3f}",
                                        refresh=False)
                if self.final_pending():
                    self.evaluate(final=True)
                    state.seconds = self.elapsed()
                    _save(state, args, self.settings)
                    self.saved_iteration = state.iteration
                    self.write_metrics({}, replace=True)
            except KeyboardInterrupt:
                if not (args.out / LATEST).exists():
                    raise
                saved = int(self.saved_iteration)
                raise Stopped(f"the checkpoint of iteration {saved} is kept in {args.out / LATEST}; "
                              f"run the same command with --resume to continue") from None
        self.report()
        return 0

    def final_pending(self) -> bool:
        return not any(m["opponent"] == "random" and int(m["iteration"]) == self.state.iteration
                       and int(m["games"]) >= self.args.final_games for m in self.matches)

    def last_score(self) -> float:
        for row in reversed(self.metrics):
            if row.get("score_vs_random") not in (None, ""):
                return float(row["score_vs_random"])
        return float("nan")

    def finished(self) -> bool:
        if self.state.iteration >= self.args.iterations:
            return True
        if self.args.minutes is not None:
            # Stop while the next iteration and the final evaluation (about twice an ordinary
            # one) still fit in the time given.
            left = self.args.minutes * 60 - self.elapsed()
            return bool(left < self.last_iteration + 2 * self.last_evaluation)
        return False

    def submit(self, runner: Any, iteration: int) -> tuple[Any, Any, float]:
        job, segments = rollout(self.state, self.args, iteration)
        return job, runner.submit(job, segments), time.perf_counter()

    def learn(self, runner: Any, job: Any, shards: list[Any]) -> dict[str, Any]:
        import torch

        from quellor_selfplay.arena import derive_seed
        from quellor_selfplay.learn import gather, update

        args, state = self.args, self.state
        k = state.iteration
        pending = None
        if self.overlap:
            # The next games are played by the network as it is now, while it learns.
            state.behaviour, state.behaviour_pool = _weights(state.net), list(state.pool)
            if k + 1 < args.iterations:
                pending = self.submit(runner, k + 1)
        _write_data(args, k, job, shards)
        generator = torch.Generator().manual_seed(derive_seed(args.seed, "learn", k))
        stats: dict[str, Any] = update(state.net, state.optimizer, gather(shards), args.observation, self.hyper,
                                       generator)
        state.iteration = k + 1
        if state.iteration % args.pool_every == 0:
            state.pool = (state.pool + [(state.iteration, _weights(state.net))])[-args.pool_size:]
        if not self.overlap:
            state.behaviour, state.behaviour_pool = _weights(state.net), list(state.pool)
        stats["pending"] = pending
        return stats

    def evaluate(self, final: bool = False) -> None:
        """Matches the network against random play and against the network of the last
        evaluation, whose Elo difference extends the chain back to the first checkpoint.

        The final evaluation of a run (with --final-games) leaves the chain as it was: a run
        resumed past it must measure what an uninterrupted run measures.
        """
        from quellor_selfplay.arena import Table, derive_seed
        from quellor_selfplay.match import play_match
        from quellor_selfplay.net import save_checkpoint
        from quellor_selfplay.players import PlayerConfig

        began = time.perf_counter()
        args, state = self.args, self.state
        k = state.iteration
        table = Table(args.rules, args.observation, args.max_plies, None)
        me = _player_config(state.net, _weights(state.net), "learner", args.observation)
        games = args.final_games if final else args.eval_games
        against_random = play_match(me, PlayerConfig.random(), games, table, args.batch,
                                    derive_seed(args.seed, "eval", k, "random"), args.device)
        self.record_match("random", against_random)
        row: dict[str, Any] = {"games_vs_random": against_random.games, "wins_vs_random": against_random.wins,
                               "draws_vs_random": against_random.draws, "losses_vs_random": against_random.losses,
                               "score_vs_random": against_random.score, "elo_vs_random": against_random.elo}
        if state.evaluated >= 0 and state.evaluated != k:
            before, weights = state.previous
            previous = _player_config(state.net, weights, f"iter-{before}", args.observation)
            against_previous = play_match(me, previous, args.eval_games, table, args.batch,
                                          derive_seed(args.seed, "eval", k, "previous"), args.device)
            self.record_match(f"iter-{before}", against_previous)
            low, high = against_previous.elo_interval
            chain = state.elo_first + against_previous.elo
            variance = state.elo_first_variance + ((high - low) / (2 * Z95)) ** 2
            row["elo_vs_previous"] = against_previous.elo
        else:
            chain, variance = state.elo_first, state.elo_first_variance
        spread = Z95 * math.sqrt(variance)
        row.update({"elo_vs_first": chain, "elo_vs_first_low": chain - spread, "elo_vs_first_high": chain + spread})
        if not final:
            state.elo_first, state.elo_first_variance = chain, variance
            state.previous = (k, _weights(state.net))
            state.evaluated = k
        save_checkpoint(state.net, args.out / f"checkpoints/iter-{k:05d}.pt", observation=args.observation,
                        rules=args.rules, iteration=k)
        self.pending_row = row
        self.last_evaluation = time.perf_counter() - began

    def record_match(self, opponent: str, result: Any) -> None:
        low, high = result.elo_interval
        self.matches.append({"iteration": self.state.iteration, "minutes": self.minutes(), "opponent": opponent,
                             "games": result.games, "wins": result.wins, "draws": result.draws,
                             "losses": result.losses, "score": round(result.score, 5), "elo": round(result.elo, 2),
                             "elo_low": round(low, 2), "elo_high": round(high, 2)})
        _write_csv(self.args.out / "matches.csv", MATCHES, self.matches)

    def write_metrics(self, stats: dict[str, Any], replace: bool = False) -> None:
        from quellor_selfplay.curve import draw

        state = self.state
        row = {"iteration": state.iteration, "minutes": self.minutes(), "games": state.games,
               "positions": state.positions, **stats, **self.pending_row}
        self.pending_row = {}
        if replace and self.metrics and int(self.metrics[-1]["iteration"]) == state.iteration:
            row = {**self.metrics[-1], **{k: v for k, v in row.items() if v not in (None, "")}}
            self.metrics[-1] = row
        else:
            self.metrics.append(row)
        self.metrics[-1] = {k: _round(v) for k, v in self.metrics[-1].items()}
        _write_csv(self.args.out / "metrics.csv", METRICS, self.metrics)
        if self.metrics[-1].get("score_vs_random") not in (None, ""):
            draw(self.metrics, self.args.out / "learning-curve.png",
                 f"quellor-selfplay train --rules {self.args.rules} --observation {self.args.observation}")

    def report(self) -> None:
        last = next((m for m in reversed(self.matches) if m["opponent"] == "random"), None)
        state = self.state
        print(f"{state.iteration} iterations, {state.games:,} games, {state.positions:,} positions in "
              f"{self.elapsed() / 60:.1f} minutes")
        if last is not None:
            print(f"Against random play ({last['games']} games): {last['wins']} won, {last['draws']} drawn, "
                  f"{last['losses']} lost, score {float(last['score']):.3f}, Elo {float(last['elo']):+.0f} "
                  f"({float(last['elo_low']):+.0f} .. {float(last['elo_high']):+.0f})")
        chain = next((r["elo_vs_first"] for r in reversed(self.metrics) if r.get("elo_vs_first") not in (None, "")),
                     state.elo_first)
        print(f"Elo against the first checkpoint: {float(chain):+.0f}")
        print(f"Wrote {self.args.out / LATEST}, metrics.csv, matches.csv and learning-curve.png in {self.args.out}")
