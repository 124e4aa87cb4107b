"""Policies that move many games at once: the random policy, the greedy bot and any network.

A player (`turn.Player`) is handed a Turn, every game where it is to move and what it declared
it reads of them, and returns a Decision: one slot per game with the log-probability its policy
gave that slot. A network player evaluates all of them in one forward pass.

Players are named by text in one place, PLAYER_FORMS: "random", "greedy", "bold", a checkpoint,
"script:PATH", "search[...]:PATH" and "module:callable". `load_player` resolves a name there for
the commands, the trainer and the environments alike, and refuses a name of no form.

Players travel to worker processes and Ray actors as `PlayerConfig`s: plain data (the network's
architecture, sizes and weights as numpy arrays, or a TorchScript file's bytes) that pickle by
value and rebuild the same player on the other side.
"""

from __future__ import annotations

import dataclasses
import importlib
import io
import os
import re
import warnings
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

from quellor_selfplay import _batch
from quellor_selfplay.belief import BELIEF_CAP
from quellor_selfplay.bots import GreedyPlayer
from quellor_selfplay.codes import ACTION_SLOTS
from quellor_selfplay.inference import acting_copy, legal_entries
from quellor_selfplay.ledger import count, part
from quellor_selfplay.net import CheckpointError, architecture, build_net, is_torchscript, read_checkpoint
from quellor_selfplay.search import SearchPlayer, SearchSettings
from quellor_selfplay.turn import Decision, Player, Reads, Turn

RANDOM = "random"
GREEDY = "greedy"
BOLD = "bold"
# What a TorchScript module is named by: loading one runs its code, so the user asks for it.
SCRIPT_PREFIX = "script:"
# The search player of a checkpoint's network (see `search`): "search:PATH", or with settings
# of its own, "search[nodes=4096,samples=48]:PATH".
SEARCH_PREFIX = "search:"
SEARCH_FORM = re.compile(r"search(?:\[([^\]]*)\])?:(.+)", re.DOTALL)
# A player of the user's own: "package.module:factory", the factory called with no arguments.
CALLABLE_FORM = re.compile(r"[A-Za-z_]\w*(\.[A-Za-z_]\w*)*:[A-Za-z_]\w*(\.[A-Za-z_]\w*)*")


class PlayerError(ValueError):
    """A player that cannot be made: a `module:callable` that does not import, name a callable
    or make an object with the player interface."""


class ActPlayer(Player):
    """A player of the older interface as a Player: `act(observations, masks, generator,
    random_slots)` -> (slots, log-probabilities), with a bool `uses_random_actions` saying whether
    it is given the batch's random draws; one whose `uses_beliefs` is True is also given
    `beliefs=`, the mover's Belief of each game, capped at its `belief_cap`."""

    def __init__(self, inner: Any) -> None:
        self.inner = inner
        self.believes = getattr(inner, "uses_beliefs", False) is True
        self.reads = Reads.OBSERVATIONS | Reads.MASKS
        if inner.uses_random_actions:
            self.reads |= Reads.RANDOM
        if self.believes:
            self.reads |= Reads.BELIEFS
            self.belief_cap = int(getattr(inner, "belief_cap", BELIEF_CAP))

    def decide(self, turn: Turn) -> Decision:
        extra = {"beliefs": list(turn.beliefs or ())} if self.believes else {}
        slots, log_probs = self.inner.act(turn.observations, turn.masks, turn.generator, turn.random, **extra)
        return Decision(np.asarray(slots, dtype=np.int64), np.asarray(log_probs, dtype=np.float32))


class RandomPlayer(Player):
    """Uniform over the legal slots, drawn by the batch's own per-game random streams."""

    reads = Reads.RANDOM
    uses_random_actions = True

    def decide(self, turn: Turn) -> Decision:
        assert turn.random is not None
        return Decision(turn.random.numpy().astype(np.int64), (-np.log(turn.legal_counts())).astype(np.float32))

    def act(self, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
            random_slots: Optional[torch.Tensor]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        assert random_slots is not None
        counts = masks.sum(dim=1).numpy()
        return random_slots.numpy().astype(np.int64), (-np.log(counts)).astype(np.float32)


class NetPlayer(Player):
    """Samples from a network's softmax over the legal slots.

    `model` maps float32 observations (B, 64, 106) to logits (B, 4352), or to a tuple whose
    first element they are (the tool's own networks also return values). The logits are read
    on the CPU and sampled there with the caller's generator, so that a run's games are the same
    whatever device evaluates the network. On the CPU, `precision` "bfloat16" plays a copy of a
    squares network whose convolutions run in bfloat16 (see `inference`); `logits()` always
    gives the float32 network's.
    """

    uses_random_actions = False
    # What a ledger counts the time of act() as, outside its forward passes.
    ledger_part = "sampling"

    def __init__(self, model: nn.Module, device: Union[str, torch.device] = "cpu", precision: str = "float32") -> None:
        self.device = torch.device(device)
        self.model = model.to(self.device).eval()
        self.precision = precision
        self.acting = acting_copy(self.model, precision) if self.device.type == "cpu" else self.model
        # Whether it reads square codes (GameBatch.gather) in place of observations: a network
        # on the CPU with a stem that takes them.
        self.reads_codes = self.device.type == "cpu" and callable(getattr(self.acting, "legal_logits_of_codes", None))

    @property
    def reads_codes(self) -> bool:
        return self.reads == Reads.CODES

    @reads_codes.setter
    def reads_codes(self, value: bool) -> None:
        self.reads = Reads.CODES if value else Reads.OBSERVATIONS

    def decide(self, turn: Turn) -> Decision:
        if turn.codes is not None and self.reads_codes:
            slots, log_probs = self.act_on_codes(turn.codes, turn.rows, turn.slots, turn.generator)
        else:
            turn.need(Reads.OBSERVATIONS)
            assert turn.observations is not None
            slots, log_probs = self.act_on_entries(turn.observations, turn.rows, turn.slots, turn.generator)
        return Decision(slots, log_probs)

    def logits(self, observations: torch.Tensor) -> torch.Tensor:
        with torch.inference_mode():
            out = self.model(observations.to(self.device, torch.float32))
            if isinstance(out, (tuple, list)):
                out = out[0]
            if not isinstance(out, torch.Tensor) or out.shape != (len(observations), ACTION_SLOTS):
                shape = tuple(out.shape) if isinstance(out, torch.Tensor) else type(out).__name__
                raise ValueError(f"the network must return logits of shape ({len(observations)}, {ACTION_SLOTS}), "
                                 f"got {shape}")
            return out.float().cpu()

    def act(self, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
            random_slots: Optional[torch.Tensor]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        rows, cols = legal_entries(masks)
        return self.act_on_entries(observations, rows, cols, generator)

    def act_on_entries(self, observations: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor,
                       generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        """act() given the legal entries of the masks (legal_entries' rows and slots) rather
        than the masks: what GameBatch.gather finds along with the observations."""
        k = len(observations)
        partial = getattr(self.acting, "legal_logits", None)
        with part("forward"):
            count("forward rows", k)
            count("forward calls", 1)
            if partial is not None and self.device.type == "cpu":
                with torch.inference_mode():
                    values = partial(observations, rows, slots).float()
            else:
                values = self.logits(observations)[rows, slots]
        return sample_entries(values, rows, slots, k, generator)

    def act_on_codes(self, codes: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor,
                     generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        """act_on_entries() given square codes (GameBatch.gather) for the observations; only
        for a player that reads_codes."""
        if not self.reads_codes:
            raise ValueError("this player's network does not read square codes")
        k = len(codes)
        with part("forward"):
            count("forward rows", k)
            count("forward calls", 1)
            with torch.inference_mode():
                forward: Any = getattr(self.acting, "legal_logits_of_codes")
                values = forward(codes, rows, slots).float()
        return sample_entries(values, rows, slots, k, generator)


def sample_legal(logits: torch.Tensor, masks: torch.Tensor, generator: torch.Generator
                 ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """One slot per row drawn from the softmax of `logits` over the row's legal slots, and its
    log-probability; ValueError when a legal slot's logit is not finite."""
    rows, cols = legal_entries(masks)
    return sample_entries(logits[rows, cols], rows, cols, len(masks), generator)


def sample_entries(values: torch.Tensor, rows: torch.Tensor, cols: torch.Tensor, k: int,
                   generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """The draw of sample_legal from the logits of the legal entries (rows[i], cols[i]) alone.

    Only the legal entries (some thirty a row out of 4352) are touched: in the batch module,
    each row's softmax in double precision and an inverse-CDF draw at one uniform of
    `generator` per row, in one call whatever the number of rows.
    """
    if k == 0:
        return np.zeros(0, np.int64), np.zeros(0, np.float32)
    uniform = torch.rand(k, generator=generator, dtype=torch.float64).numpy()
    picked = np.empty(k, dtype=np.int64)
    log_probs = np.empty(k, dtype=np.float32)
    flat = np.ascontiguousarray(values.detach().float().numpy())
    _batch.sample_entries(flat, np.ascontiguousarray(rows.numpy(), dtype=np.int64), uniform, picked, log_probs)
    return cols.numpy()[picked].astype(np.int64), log_probs


def masked_logits(logits: torch.Tensor, masks: torch.Tensor) -> torch.Tensor:
    """`logits` with every illegal slot at the lowest finite value of their dtype, and rows
    without a legal slot (finished games) all zero: a `torch.distributions.Categorical` over
    them gives probability 0 to illegal slots and never NaN, where filling with -inf would give
    NaN in every row of a finished game."""
    masks = torch.as_tensor(masks, device=logits.device).bool()
    if masks.shape != logits.shape:
        raise ValueError(f"masks must have the shape of the logits {tuple(logits.shape)}, got {tuple(masks.shape)}")
    filled = logits.masked_fill(~masks, torch.finfo(logits.dtype).min)
    return torch.where(masks.any(dim=-1, keepdim=True), filled, torch.zeros_like(logits))


def sample_masked(logits: torch.Tensor, masks: Any, generator: Optional[torch.Generator] = None
                  ) -> tuple[torch.Tensor, torch.Tensor]:
    """(slots, log-probabilities): one slot per row drawn from the softmax of `logits` (k, 4352)
    over the row's legal slots; -1 and 0 for rows without one, which GameBatch.step and the
    Gymnasium environments ignore. Never NaN; `generator` makes the draw repeatable."""
    safe = masked_logits(logits.detach().float(), masks)
    log_probs = torch.log_softmax(safe, dim=-1)
    slots = torch.multinomial(log_probs.exp(), 1, generator=generator).squeeze(-1)
    chosen = log_probs.gather(-1, slots.unsqueeze(-1)).squeeze(-1)
    live = torch.as_tensor(masks, device=logits.device).bool().any(dim=-1)
    return torch.where(live, slots, -1), torch.where(live, chosen, torch.zeros_like(chosen))


def masked_log_softmax(logits: torch.Tensor, masks: torch.Tensor) -> torch.Tensor:
    """Log-probabilities over the legal slots, -inf elsewhere (the learner's form)."""
    return torch.log_softmax(logits.masked_fill(~masks, float("-inf")), dim=1)


# ---------------------------------------------------------------------------------------------
# Player configurations: players as plain data


@dataclasses.dataclass(frozen=True)
class PlayerConfig:
    """A player as plain data. kind "random"; "greedy" or "bold" (bots.GreedyPlayer); "net" with arch,
    config and weights; "script" with the bytes of a TorchScript file; or "callable" with the
    `module:callable` `target` that makes a player of the user's own in each process that plays."""

    kind: str
    name: str = RANDOM
    arch: Optional[str] = None
    config: Optional[dict[str, int]] = None
    weights: Optional[dict[str, npt.NDArray[Any]]] = None
    script: Optional[bytes] = None
    observation: Optional[str] = None
    target: Optional[str] = None
    # How a network player runs its network on the CPU (see `inference`).
    precision: str = "float32"
    # A "search" player's SearchSettings, as a dict.
    search: Optional[dict[str, Any]] = None
    # Whether a "callable" player reads beliefs (Reads.BELIEFS), found when its name was loaded:
    # beliefs follow only fog-of-war games, so the commands refuse other rules before any game.
    beliefs: bool = False

    @property
    def reads_beliefs(self) -> bool:
        """Whether the player reads its side's beliefs, which only the dark rules have."""
        return self.kind == "search" or self.beliefs

    @staticmethod
    def random() -> PlayerConfig:
        return PlayerConfig(RANDOM)

    @staticmethod
    def greedy() -> PlayerConfig:
        return PlayerConfig(GREEDY, GREEDY)

    @staticmethod
    def bold() -> PlayerConfig:
        return PlayerConfig(BOLD, BOLD)

    @staticmethod
    def of_net(net: nn.Module, name: str = "net", observation: Optional[str] = None,
               precision: str = "float32") -> PlayerConfig:
        weights = {k: v.detach().cpu().numpy().copy() for k, v in net.state_dict().items()}
        arch, config = architecture(net)
        return PlayerConfig("net", name, arch, config, weights, observation=observation, precision=precision)

    def build(self, device: Union[str, torch.device] = "cpu") -> Player:
        if self.kind == RANDOM:
            return RandomPlayer()
        if self.kind in (GREEDY, BOLD):
            return GreedyPlayer(bold=self.kind == BOLD)
        if self.kind == "callable":
            assert self.target is not None
            return user_player(self.target)
        if self.kind == "search":
            return SearchPlayer(self.model(), SearchSettings(**(self.search or {})), self.observation or "own",
                                device, self.precision)
        return NetPlayer(self.model(), device, self.precision)

    def model(self) -> nn.Module:
        if self.kind in ("net", "search"):
            assert self.arch is not None and self.weights is not None
            net = build_net(self.arch, self.config or {})
            net.load_state_dict({k: torch.from_numpy(np.array(v)) for k, v in self.weights.items()})
            return net
        if self.kind == "script":
            assert self.script is not None
            return load_script(self.script)
        raise ValueError(f"a {self.kind} player has no model")


def load_script(data: bytes) -> nn.Module:
    """A TorchScript module from a file's bytes, on the CPU."""
    # torch 2.13 marks TorchScript deprecated; a user's module still loads and runs, and the
    # warning would only repeat in every worker.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        module: nn.Module = torch.jit.load(io.BytesIO(data), map_location="cpu")  # type: ignore[no-untyped-call]
    return module


def user_player(target: str) -> Player:
    """The player that `target`, "module:callable", makes when called with no arguments;
    PlayerError says what is wrong with one that cannot make a player."""
    module_name, _, attribute = target.partition(":")
    try:
        found: Any = importlib.import_module(module_name)
    except ImportError as err:
        raise PlayerError(f"player {target}: cannot import {module_name}: {err}") from None
    for part in attribute.split("."):
        if not hasattr(found, part):
            raise PlayerError(f"player {target}: {module_name} has no {attribute}")
        found = getattr(found, part)
    if not callable(found):
        raise PlayerError(f"player {target}: {attribute} is not callable")
    try:
        player = found()
    except Exception as err:
        raise PlayerError(f"player {target}: {attribute}() failed: {type(err).__name__}: {err}") from None
    return as_player(player, f"player {target}: {attribute}()")


def as_player(player: Any, what: str = "the player") -> Player:
    """`player` as a Player: one already, or one of the older interface (see ActPlayer);
    PlayerError for anything else."""
    if isinstance(player, Player):
        if not isinstance(player.reads, Reads):
            raise PlayerError(f"{what} made a {type(player).__name__} whose reads is not a Reads")
        return player
    if callable(getattr(player, "act", None)) and isinstance(getattr(player, "uses_random_actions", None), bool):
        return ActPlayer(player)
    if callable(getattr(player, "decide", None)):
        # The segment reads reads, belief_cap and ledger_part of every player; the base class
        # gives the defaults, so a decide() of its own is not enough.
        raise PlayerError(f"{what} made a {type(player).__name__}, which has decide() but is no "
                          f"quellor_selfplay.Player: subclass Player and set its reads (or give it "
                          f"act(observations, masks, generator, random_slots) and a bool uses_random_actions)")
    raise PlayerError(f"{what} made a {type(player).__name__}, which lacks the player interface: a "
                      f"quellor_selfplay.Player with decide(turn), or act(observations, masks, generator, "
                      f"random_slots) and a bool uses_random_actions")


def checkpoint_player(source: str, name: Optional[str] = None) -> PlayerConfig:
    """The network player of the checkpoint at `source`; CheckpointError says why there is none."""
    path = Path(source)
    if not path.exists():
        raise CheckpointError(f"checkpoint {source} does not exist")
    if path.is_dir():
        raise CheckpointError(f"checkpoint {source} is a directory, not a file")
    net, blob = read_checkpoint(path)
    return PlayerConfig.of_net(net, name or source, blob.get("observation"))


def search_settings(text: str) -> dict[str, Any]:
    """The settings of "search[nodes=4096,samples=48]:PATH" from the text between the brackets:
    each SearchSettings field once, ints for the counts, numbers for prior and temperature.
    PlayerError says what is wrong."""
    types = {f.name: f.type for f in dataclasses.fields(SearchSettings)}
    settings: dict[str, Any] = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        key, equals, value = (piece.strip() for piece in item.partition("="))
        if not equals or key not in types:
            raise PlayerError(f"search setting {item!r}: expected NAME=VALUE with NAME one of {', '.join(types)}")
        if key in settings:
            raise PlayerError(f"search setting {key} is given twice")
        try:
            settings[key] = int(value) if types[key] in (int, "int") else float(value)
        except ValueError:
            raise PlayerError(f"search setting {key}={value}: not a number") from None
    return settings


def search_player(checkpoint: str, name: Optional[str] = None, **settings: Any) -> PlayerConfig:
    """The search player (see `search`) of the network in `checkpoint`, with SearchSettings'
    fields given as keywords (PlayerError, a ValueError, names a wrong one)."""
    try:
        checked = SearchSettings(**settings)
    except TypeError:
        known = ", ".join(f.name for f in dataclasses.fields(SearchSettings))
        raise PlayerError(f"unknown search setting among {sorted(settings)} (known: {known})") from None
    except ValueError as err:
        raise PlayerError(str(err)) from None
    config = checkpoint_player(checkpoint, name or SEARCH_PREFIX + checkpoint)
    return dataclasses.replace(config, kind="search", search=checked.as_dict())


def _script_player(source: str, name: Optional[str]) -> PlayerConfig:
    path = Path(source[len(SCRIPT_PREFIX):])
    if not path.is_file():
        raise CheckpointError(f"TorchScript module {path} does not exist")
    if not is_torchscript(path):
        raise CheckpointError(f"{source}: {path} is not a TorchScript module")
    data = path.read_bytes()
    try:
        load_script(data)
    except Exception as err:
        raise CheckpointError(f"TorchScript module {path} cannot be loaded: {err}") from None
    return PlayerConfig("script", name or source, script=data)


def _callable_player(source: str, name: Optional[str]) -> PlayerConfig:
    # Made once here, so that a name that cannot make a player is refused before any game.
    made = user_player(source)
    return PlayerConfig("callable", name or source, target=source, beliefs=Reads.BELIEFS in made.reads)


def _searched(source: str, name: Optional[str]) -> PlayerConfig:
    searched = SEARCH_FORM.fullmatch(source)
    assert searched is not None
    return search_player(searched.group(2), name or source, **search_settings(searched.group(1) or ""))


def _search_file(source: str) -> Optional[str]:
    searched = SEARCH_FORM.fullmatch(source)
    return searched.group(2) if searched else None


def _names_callable(source: str) -> bool:
    # A file of that name is read as a checkpoint: the user may name their files as they like.
    return CALLABLE_FORM.fullmatch(source) is not None and not Path(source).exists()


def _names_checkpoint(source: str) -> bool:
    """Whether `source` is read as a checkpoint's path: a file or directory that is there, or
    text that looks like a path (a separator or a suffix), so that a missing file is reported as
    missing while a mistyped bare name such as 'grredy' is reported as no player at all."""
    if not source:
        return False
    path = Path(source)
    return path.exists() or any(sep and sep in source for sep in ("/", os.sep, os.altsep)) or bool(path.suffix)


@dataclasses.dataclass(frozen=True)
class PlayerForm:
    """One form a player's name takes: how messages write it, which names have it, what makes
    their PlayerConfig (from the name and the name to give the player), and the file a name of
    this form reads (None for a form that reads none)."""

    form: str
    names: Callable[[str], bool]
    make: Callable[[str, Optional[str]], PlayerConfig]
    file: Callable[[str], Optional[str]] = lambda source: None


# Every name of a player resolves here, tried in this order, the first form that has it making
# the player: the command line, the Gymnasium opponents, the trainer's bots and anchors all
# resolve through load_player. The prefixed forms come before a checkpoint, so that
# script:PATH is never read as a file named "script:PATH"; a module:callable only where no
# file of that name is there.
PLAYER_FORMS: tuple[PlayerForm, ...] = (
    PlayerForm(RANDOM, lambda source: source == RANDOM, lambda source, name: PlayerConfig.random()),
    PlayerForm(GREEDY, lambda source: source == GREEDY, lambda source, name: PlayerConfig.greedy()),
    PlayerForm(BOLD, lambda source: source == BOLD, lambda source, name: PlayerConfig.bold()),
    PlayerForm("script:PATH", lambda source: source.startswith(SCRIPT_PREFIX), _script_player,
               lambda source: source[len(SCRIPT_PREFIX):]),
    PlayerForm("search[...]:PATH", lambda source: SEARCH_FORM.fullmatch(source) is not None, _searched, _search_file),
    PlayerForm("module:callable", _names_callable, _callable_player),
    PlayerForm("a checkpoint file", _names_checkpoint, checkpoint_player, lambda source: source),
)


def player_form(source: str) -> Optional[PlayerForm]:
    """The form of player that `source` names, or None for a name of none."""
    return next((form for form in PLAYER_FORMS if form.names(source)), None)


def expected_players() -> str:
    """The forms of player a name may take, as a message lists them."""
    forms = [form.form for form in PLAYER_FORMS]
    return f"{', '.join(forms[:-1])} or {forms[-1]}"


def load_player(source: str, name: Optional[str] = None) -> PlayerConfig:
    """The player named `source`, in one of the forms of PLAYER_FORMS: "random"; "greedy"; "bold";
    "script:PATH", a TorchScript module; "search:PATH" / "search[nodes=4096,samples=48]:PATH",
    the search player of a checkpoint; "module:callable", a player of the user's own (see
    `Player`); or the path of a checkpoint of the tool's networks. `name` names the player in
    results (by default `source`).

    Code runs only where the name says so: a checkpoint is weights (a TorchScript file given as
    one is refused, whatever its name), while script:PATH and module:callable run the code they
    name. CheckpointError says why a file cannot be used, PlayerError why a `module:callable`
    cannot make a player (it is made here once to find out), or that `source` is no player's name.
    """
    form = player_form(source)
    if form is None:
        raise PlayerError(f"unknown player {source!r}: expected {expected_players()}")
    return form.make(source, name)


def player_file(source: str) -> Optional[Path]:
    """The file a player named `source` is read from (a checkpoint, the module of script:PATH,
    the checkpoint of search:PATH), or None for a player that is no file."""
    form = player_form(source)
    found = form.file(source) if form is not None else None
    path = Path(found) if found else None
    return path if path is not None and path.is_file() else None
