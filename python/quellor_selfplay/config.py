"""Typed settings: the game, the run, the learner, and one configuration per command.

Every setting is a field of a frozen dataclass that carries, in one place, its type, its default,
its help text, how its command-line text is read, and whether ``--resume`` requires it unchanged.
The command line is built from these classes (`add_options`) and read back into them
(`from_namespace`), so a library user builds the same objects directly:

    config = TrainConfig(iterations=10, games=64, ppo=PPOConfig(lr=3e-4), out=Path("runs/a"))

A field that holds another configuration (`nested`) contributes that class's options, with the
defaults the enclosing command gives it: ``play`` plays the legal rules for 100 plies by default,
``train`` and ``match`` the fog-of-war rules for 300.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import Any, Optional

from quellor_selfplay.codes import OBSERVATIONS, RULES

ARCHES = ("squares", "mlp")
# Names every form of players.PLAYER_FORMS (a test holds the two together; this module does not
# import torch, which the players need).
PLAYER_HELP = ("random, greedy, bold, a checkpoint file, script:PATH (a TorchScript module, whose code runs: only "
               "one you trust), search[...]:PATH (a checkpoint's network searching what its side cannot rule out, "
               "as search:PATH or search[nodes=4096,samples=48]:PATH), or module:callable, a class or function of "
               "your own that makes a player")
POLICIES = ("random", "greedy", "bold", "net")
MINUTES_HELP = ("time budget of the whole run, final evaluation included: an iteration starts only while it and the "
                "final evaluation are expected to fit in what is left (as long as the last iteration and twice the "
                "last evaluation took); a resumed run counts the minutes already spent")
TENSORBOARD_HELP = ("also write metrics.csv's figures as TensorBoard scalars (step: the iteration) into DIR, for "
                    "tensorboard --logdir DIR; a resumed run goes on in the same DIR (off by default; needs "
                    "pip install 'quellor[tensorboard]')")


# ---------------------------------------------------------------------------------------------
# Reading option text


def positive(text: str) -> int:
    value = _whole(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def non_negative(text: str) -> int:
    value = _whole(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def ply_cap(text: str) -> int:
    """A ply count as GameBatch's max_plies takes it: refused beyond 64 bits rather than wrapped."""
    value = positive(text)
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be at most 2**64-1, got {value}")
    return value


def seed_number(text: str) -> int:
    value = _whole(text)
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"must lie in 0..2**63-1, got {value}")
    return value


def game_ply(text: str) -> tuple[int, int]:
    game, sep, ply = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected GAME:PLY, got {text!r}")
    return non_negative(game), non_negative(ply)


def fraction(text: str) -> float:
    value = _number(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie in 0..1, got {value}")
    return value


def positive_float(text: str) -> float:
    value = _number(text)
    if not value > 0.0 or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def non_negative_float(text: str) -> float:
    value = _number(text)
    if not value >= 0.0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a non-negative number, got {text}")
    return value


def player_list(text: str) -> tuple[str, ...]:
    """Comma-separated player names; empty parts are dropped, so '' is no player at all."""
    return tuple(part.strip() for part in text.split(",") if part.strip())


def cpu_count() -> int:
    """The CPUs this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):  # not on every platform
        return max(1, os.cpu_count() or 1)


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


# ---------------------------------------------------------------------------------------------
# Fields


def option(default: Any, help: str, *, parse: Optional[Callable[[str], Any]] = None,
           choices: Optional[tuple[str, ...]] = None, flag: Optional[str] = None, metavar: Optional[str] = None,
           action: Any = None, positional: bool = False, resume: bool = False, key: Optional[str] = None,
           unset: Optional[str] = None, cli: bool = True) -> Any:
    """A setting. `help` may name its default as ``{default}`` (`unset` stands in for None);
    `flag` is the option's spelling when it is not the field's name; `resume` marks a setting
    that a resumed run must be given unchanged, stored under `key` (default: the field's name);
    `cli=False` keeps it off the command line."""
    meta = {"help": help, "parse": parse, "choices": choices, "flag": flag, "metavar": metavar, "action": action,
            "positional": positional, "resume": resume, "key": key, "unset": unset, "cli": cli}
    return dataclasses.field(default=default, metadata=meta)


def nested(config: type, *, omit: tuple[str, ...] = (), unset: Optional[Mapping[str, str]] = None,
           **defaults: Any) -> Any:
    """A field holding a `config` made with `defaults`; its options join the enclosing command's,
    but for those in `omit`. `unset` gives the help text of defaults that are None."""
    meta = {"config": config, "omit": frozenset(omit), "unset": dict(unset or {})}
    return dataclasses.field(default_factory=lambda: config(**defaults), metadata=meta)


# ---------------------------------------------------------------------------------------------
# The parts


@dataclasses.dataclass(frozen=True)
class GameConfig:
    """The game every batch of a run plays."""

    rules: str = option("dark", "dark: fog-of-war rules, every pseudo-legal move, a captured king loses; "
                        "legal: fully legal moves, checkmate loses (default {default})", choices=RULES, resume=True)
    observation: Optional[str] = option(
        "own", "own: the mover's own last eight views (leak-free); history: exactly SelfPlayGame.encode() "
        "(default {default})", choices=OBSERVATIONS, resume=True)
    max_plies: Optional[int] = option(None, "a game still running after this many plies is a draw (default {default})",
                                      parse=ply_cap, resume=True, unset="none")
    start_fen: Optional[str] = option(None, "start every game from this position instead of the usual one",
                                      metavar="FEN", resume=True)
    dtype: str = option("uint8", "the observations' type in the batch", cli=False)


@dataclasses.dataclass(frozen=True)
class RunConfig:
    """How a command's games run: how many at once, where networks run, the seed."""

    batch: int = option(256, "games played at once in one GameBatch (default {default})", parse=positive,
                        resume=True)
    device: str = option("cpu", "where networks run (default {default})")
    seed: int = option(0, "seed of the whole run (default {default})", parse=seed_number, resume=True)
    progress: bool = option(True, "no progress bar", flag="--no-progress", action="store_false")


@dataclasses.dataclass(frozen=True)
class ScaleConfig:
    """Where the games are played: local worker processes or Ray actors."""

    workers: Optional[int] = option(None, "local worker processes (default: one per CPU); with --ray, the number "
                                          "of actors (default: one per CPU of the cluster)", parse=positive)
    ray: Optional[str] = option(None, "play the games on Ray actors: a cluster address, 'auto' for the running "
                                      "cluster, or 'local' for a private one on this machine with --workers CPUs",
                                metavar="ADDRESS")


@dataclasses.dataclass(frozen=True)
class PPOConfig:
    """The learner's PPO settings."""

    lr: float = option(1e-3, "learning rate (default {default})", parse=positive_float, resume=True)
    epochs: int = option(2, "passes over each iteration's games (default {default})", parse=positive, resume=True)
    minibatch: int = option(512, "positions per gradient step (default {default})", parse=positive, resume=True)
    clip: float = option(0.2, "PPO ratio clip (default {default})", parse=positive_float, resume=True)
    value_coef: float = option(0.5, "weight of the value loss (default {default})", parse=non_negative_float,
                               resume=True)
    entropy: float = option(0.01, "weight of the entropy bonus (default {default})", parse=non_negative_float,
                            resume=True)
    gamma: float = option(0.99, "discount per own move (default {default})", parse=fraction, resume=True)
    lam: float = option(0.95, "GAE lambda (default {default})", parse=fraction, resume=True)
    max_grad_norm: float = option(0.5, "gradients are clipped to this norm", cli=False)


@dataclasses.dataclass(frozen=True)
class NetConfig:
    """The architecture of a new network."""

    net: str = option("squares", "architecture of a new network (default {default})", choices=ARCHES, resume=True)
    channels: int = option(32, "squares: channels per square (default {default})", parse=positive, resume=True)
    blocks: int = option(3, "squares: 3 x 3 convolution blocks (default {default})", parse=non_negative,
                         resume=True)
    hidden: int = option(256, "mlp: hidden width (default {default})", parse=positive, resume=True)
    reach: bool = option(True, "squares: blocks that look further (dilated, with the whole board's mean) "
                               "instead of 3 x 3 neighbours (default: on)", action=argparse.BooleanOptionalAction,
                         resume=True)

    def sizes(self) -> dict[str, int]:
        """The `net.build_net` sizes of this architecture."""
        if self.net == "mlp":
            return {"hidden": self.hidden}
        return {"channels": self.channels, "blocks": self.blocks, "keys": 16, **({"reach": 1} if self.reach else {})}


# ---------------------------------------------------------------------------------------------
# The commands


@dataclasses.dataclass(frozen=True)
class PlayConfig:
    """quellor-selfplay play: games written as training data."""

    games: int = option(200, "games to play (default {default})", parse=positive, resume=True)
    policy: str = option("random", "random: uniform over the legal actions; greedy or bold: the one-ply bots; "
                                   "net: a policy network (default {default})",
                         choices=POLICIES, resume=True)
    checkpoint: Optional[Path] = option(None, "network for --policy net: a checkpoint of this tool, or script:PATH for "
                                              "a TorchScript module you trust (its code runs) (default: a network "
                                              "initialised from --seed)", parse=Path,
                                        resume=True)
    hidden: Optional[int] = option(None, "hidden width of a freshly initialised network (default 256)",
                                   parse=positive)
    save_net: Optional[Path] = option(None, "also write the network used to PATH, as a checkpoint", parse=Path,
                                      metavar="PATH")
    game: GameConfig = nested(GameConfig, rules="legal", observation=None, max_plies=100,
                              unset={"observation": "the checkpoint's, else history"})
    run: RunConfig = nested(RunConfig)
    shard_size: int = option(256, "games per shard file (default {default}); at most this many games are held in "
                                  "memory per worker", parse=positive, resume=True)
    scale: ScaleConfig = nested(ScaleConfig)
    out: Path = option(Path("selfplay-out"), "output directory (default {default})", parse=Path)
    overwrite: bool = option(False, "replace an earlier run's files in --out", action="store_true")
    resume: bool = option(False, "finish the interrupted run in --out (give the options it was started with)",
                          action="store_true")
    compress: bool = option(True, "store the shards uncompressed (faster to write and read, larger)",
                            flag="--no-compress", action="store_false", resume=True, key="compressed")
    show: Optional[tuple[int, int]] = option(None, "position to picture (default: game 0, ply 20 or its last)",
                                             parse=game_ply, metavar="GAME:PLY")


@dataclasses.dataclass(frozen=True)
class TrainConfig:
    """quellor-selfplay train: PPO self-play against a pool of earlier networks."""

    iterations: int = option(1000, "training iterations (default {default})", parse=positive)
    minutes: Optional[float] = option(None, MINUTES_HELP, parse=positive_float)
    games: int = option(256, "games played per iteration (default {default})", parse=positive, resume=True)
    game: GameConfig = nested(GameConfig, rules="dark", observation="own", max_plies=300, omit=("start_fen",))
    run: RunConfig = nested(RunConfig, batch=128)
    scale: ScaleConfig = nested(ScaleConfig)
    overlap: Optional[bool] = option(None, "play the next iteration's games (with the weights one iteration behind) "
                                           "while the learner trains on one torch thread: on Ray's actors with "
                                           "--ray, in --workers processes, else in a thread of this process "
                                           "(default: on with --ray or two or more CPUs)",
                                     action=argparse.BooleanOptionalAction, resume=True)
    acting_precision: Optional[str] = option(
        None, "how the networks that play the games run on the CPU: float32, or bfloat16 convolutions (faster, each "
              "policy within 0.02 in total variation of float32's; checkpoints stay float32; default: bfloat16 "
              "where the CPU has bfloat16 instructions, else float32)", choices=("float32", "bfloat16"), resume=True)
    net: NetConfig = nested(NetConfig)
    init: Optional[Path] = option(None, "start from this checkpoint's network instead of a new one", parse=Path,
                                  metavar="CHECKPOINT", resume=True)
    ppo: PPOConfig = nested(PPOConfig)
    pool_size: int = option(8, "earlier networks kept as opponents (default {default})", parse=positive, resume=True)
    pool_every: int = option(5, "iterations between additions to the pool (default {default})", parse=positive,
                             resume=True)
    pool_games: float = option(0.5, "share of each iteration's games played against the pool (default {default})",
                               parse=fraction, resume=True)
    bots: tuple[str, ...] = option(("greedy", "bold"), "fixed opponents that stay in the pool for the whole run, "
                                   "comma-separated, each a player as match takes it (default greedy,bold)",
                                   parse=player_list, metavar="PLAYERS", resume=True)
    bot_games: float = option(0.25, "share of each iteration's games played against the fixed opponents "
                                    "(default {default})", parse=fraction, resume=True)
    shaping: float = option(0.02, "reward shaping from material: the potential of a position is this much per "
                                  "pawn of material lead (0: rewards from the result alone; default {default})",
                            parse=non_negative_float, resume=True)
    eval_every: int = option(5, "iterations between evaluations (default {default})", parse=positive, resume=True)
    eval_games: int = option(200, "games per evaluation match, against random play and against the greedy bot "
                                  "(default {default})", parse=positive, resume=True)
    threads: Optional[int] = option(None, "torch threads of the learner (default: 1 with --overlap, where the "
                                          "games take the other cores; one per CPU without)", parse=positive)
    final_games: int = option(400, "games of the last evaluation against each of random play and the greedy bot "
                                   "(default {default})",
                              parse=positive)
    keep_data: int = option(1, "iterations whose games stay on disk as shards (default {default})",
                            parse=non_negative)
    tensorboard: Optional[Path] = option(None, TENSORBOARD_HELP, parse=Path, metavar="DIR")
    out: Path = option(Path("train-out"), "output directory (default {default})", parse=Path)
    overwrite: bool = option(False, "replace an earlier run in --out", action="store_true")
    resume: bool = option(False, "continue the run in --out from its last checkpoint", action="store_true")

    @property
    def overlapped(self) -> bool:
        """Whether the games of the next iteration play while the learner trains: by default
        wherever a second CPU can take them (measured in the README: an iteration of the
        defaults took 9 s on two busy cores, 17 to 30 s with the games in two worker
        processes after them and the learner on two threads)."""
        if self.overlap is not None:
            return bool(self.overlap)
        return self.scale.ray is not None or cpu_count() >= 2

    @property
    def learner_threads(self) -> int:
        """The learner's torch threads: every CPU, unless the games play beside it."""
        if self.threads is not None:
            return self.threads
        return 1 if self.overlapped else cpu_count()


@dataclasses.dataclass(frozen=True)
class MatchConfig:
    """quellor-selfplay match: one player against another."""

    a: str = option("random", PLAYER_HELP, positional=True, metavar="A")
    b: str = option("random", PLAYER_HELP, positional=True, metavar="B")
    games: int = option(400, "games to play (default {default})", parse=positive)
    game: GameConfig = nested(GameConfig, rules="dark", observation=None, max_plies=300, omit=("start_fen",),
                              unset={"observation": "the checkpoints', else own"})
    run: RunConfig = nested(RunConfig)
    json: Optional[Path] = option(None, "also write the result as JSON", parse=Path, metavar="PATH")


# An interval longer than any run: the exploiting learner keeps no pool of its own.
NEVER = 1 << 40


@dataclasses.dataclass(frozen=True)
class ExploitConfig:
    """quellor-selfplay exploit: a fresh learner trained against one frozen agent alone."""

    agent: str = option("greedy", "the frozen agent: " + PLAYER_HELP, positional=True, metavar="AGENT")
    minutes: Optional[float] = option(10.0, MINUTES_HELP + " (default {default})", parse=positive_float)
    iterations: int = option(1000, "training iterations at most (default {default})", parse=positive)
    games: int = option(256, "games played per iteration (default {default})", parse=positive, resume=True)
    game: GameConfig = nested(GameConfig, rules="dark", observation=None, max_plies=300, omit=("start_fen",),
                              unset={"observation": "the agent's, else own"})
    run: RunConfig = nested(RunConfig, batch=128)
    scale: ScaleConfig = nested(ScaleConfig)
    net: NetConfig = nested(NetConfig)
    ppo: PPOConfig = nested(PPOConfig)
    shaping: float = option(0.02, "reward shaping from material, as train's (default {default})",
                            parse=non_negative_float, resume=True)
    eval_every: int = option(5, "iterations between evaluations against the agent (default {default})",
                             parse=positive, resume=True)
    eval_games: int = option(200, "games per evaluation (default {default})", parse=positive, resume=True)
    final_games: int = option(400, "games of the last evaluation (default {default})", parse=positive)
    threads: Optional[int] = option(None, "torch threads of the learner (default: one per CPU)", parse=positive)
    tensorboard: Optional[Path] = option(None, TENSORBOARD_HELP, parse=Path, metavar="DIR")
    out: Path = option(Path("exploit-out"), "output directory (default {default})", parse=Path)
    overwrite: bool = option(False, "replace an earlier run in --out", action="store_true")
    resume: bool = option(False, "continue the run in --out from its last checkpoint", action="store_true")

    def training(self, observation: str) -> TrainConfig:
        """The training run that does it: every game against the agent, no pool of its own."""
        return TrainConfig(
            iterations=self.iterations, minutes=self.minutes, games=self.games,
            game=dataclasses.replace(self.game, observation=observation), run=self.run, scale=self.scale,
            overlap=False, net=self.net, ppo=self.ppo, pool_size=1, pool_every=NEVER, pool_games=0.0,
            bots=(self.agent,), bot_games=1.0, shaping=self.shaping, eval_every=self.eval_every,
            eval_games=self.eval_games, threads=self.threads, final_games=self.final_games, keep_data=0,
            tensorboard=self.tensorboard, out=self.out, overwrite=self.overwrite, resume=self.resume)


@dataclasses.dataclass(frozen=True)
class ShowConfig:
    """quellor-selfplay show: what each side saw at one ply of a recorded game."""

    run: Path = option(Path("."), "directory of a play run, or data/iter-NNNNN of a train run", parse=Path,
                       positional=True)
    game: int = option(0, "game index (default {default})", parse=non_negative)
    ply: int = option(0, "ply (default {default})", parse=non_negative)
    html: bool = option(False, "write a page that steps through the whole game (opening at --ply) instead, as "
                               "replay-gGAME.html beside the data", action="store_true")


# ---------------------------------------------------------------------------------------------
# Between configurations and the command line


class ResumeError(ValueError):
    """A run that cannot be continued as asked: no state to continue, or other settings."""


def check_resume(earlier: Mapping[str, Any], now: Mapping[str, Any], out: Path) -> None:
    """ResumeError naming the first setting of `now` that the run in `out` was made without."""
    for key, value in now.items():
        if earlier.get(key) != value:
            raise ResumeError(f"the run in {out} was made with {key} = {earlier.get(key)!r}, not {value!r}; "
                              f"give the options it was started with")


def _leaves(config: type, defaults: Any, omit: frozenset[str] = frozenset(),
            unset: Optional[Mapping[str, str]] = None) -> list[tuple[dataclasses.Field[Any], Any, Optional[str]]]:
    """(field, default, unset text) of every command-line setting of `config`, nested ones
    flattened, in declaration order."""
    out: list[tuple[dataclasses.Field[Any], Any, Optional[str]]] = []
    for f in dataclasses.fields(config):
        value = getattr(defaults, f.name)
        if "config" in f.metadata:
            out += _leaves(f.metadata["config"], value, f.metadata["omit"], f.metadata["unset"])
        elif f.metadata.get("cli", True) and f.name not in omit:
            out.append((f, value, (unset or {}).get(f.name, f.metadata.get("unset"))))
    return out


def add_options(parser: argparse.ArgumentParser, config: type) -> None:
    """Adds an option (or positional argument) for every command-line setting of `config`."""
    for f, default, unset in _leaves(config, config()):
        meta = f.metadata
        text = meta["help"]
        if "{default}" in text:
            text = text.format(default=unset if default is None else default)
        if meta["positional"]:
            parser.add_argument(f.name, metavar=meta["metavar"], type=meta["parse"], help=text)
            continue
        kwargs: dict[str, Any] = {"dest": f.name, "default": default, "help": text}
        if meta["action"] is not None:
            kwargs["action"] = meta["action"]
        else:
            kwargs.update({k: meta[k] for k in ("choices", "metavar") if meta[k] is not None})
            if meta["parse"] is not None:
                kwargs["type"] = meta["parse"]
        parser.add_argument(meta["flag"] or "--" + f.name.replace("_", "-"), **kwargs)


def from_namespace(config: type, namespace: argparse.Namespace, defaults: Any = None) -> Any:
    """The `config` that parsed options describe; settings without an option keep their defaults."""
    defaults = config() if defaults is None else defaults
    values = {}
    for f in dataclasses.fields(config):
        if "config" in f.metadata:
            values[f.name] = from_namespace(f.metadata["config"], namespace, getattr(defaults, f.name))
        elif f.metadata.get("cli", True) and hasattr(namespace, f.name):
            values[f.name] = getattr(namespace, f.name)
        else:
            values[f.name] = getattr(defaults, f.name)
    return config(**values)


def resume_settings(config: Any, omit: frozenset[str] = frozenset()) -> dict[str, Any]:
    """The settings a resumed run must be given unchanged, by name, nested ones flattened (those
    a command leaves off its command line are not among them)."""
    out: dict[str, Any] = {}
    for f in dataclasses.fields(config):
        value = getattr(config, f.name)
        if "config" in f.metadata:
            out.update(resume_settings(value, f.metadata["omit"]))
        elif f.metadata.get("resume") and f.name not in omit:
            out[f.metadata["key"] or f.name] = value
    return out
