"""Fog-of-war chess as Gymnasium environments.

    from quellor_selfplay.envs.gymnasium import OpponentEnv, OpponentVectorEnv, SelfPlayVectorEnv

    envs = gymnasium.wrappers.vector.RecordEpisodeStatistics(OpponentVectorEnv(64, opponent="greedy"))
    obs, info = envs.reset(seed=0)
    while ...:
        actions = sample_masked(policy(obs["observation"]), obs["action_mask"])[0]
        obs, rewards, terminated, truncated, info = envs.step(actions)

Three environments over one `GameBatch`, with the same spaces:

- :class:`SelfPlayVectorEnv`: N games in which the agent moves for whichever side is to move
  (``info["to_move"]`` says which: True for White). The reward of a step is the mover's.
- :class:`OpponentVectorEnv`: N games of the agent against a fixed opponent (``"random"``,
  ``"greedy"``, ``"bold"``, a checkpoint path, ``"module:callable"``, or any player object as
  `players.Player` describes). The opponent moves inside `step`, so every observation is the
  agent's and every reward its own. The agent's colour is ``"white"``, ``"black"`` or
  ``"alternate"`` (each environment changes colour with every game, the even ones starting as
  White); ``info["white"]`` gives it.
- :class:`OpponentEnv`: the same as a single `gymnasium.Env`, one game at a time.

Observations are dicts: ``observation``, 64 x 106 (``GameBatch``'s ``"own"`` or ``"history"``
layout, uint8 or float32), and ``action_mask``, 4352 bools, True on the agent's legal slots
and all False once the game is over. Actions are policy slots 0..4351. An illegal slot ends
the game as a loss for the side that played it (reward -1, ``info["illegal"]``), as
PettingZoo's classic games do; ``illegal="raise"`` raises ValueError instead and changes
nothing. Rewards are +1, -1 or 0 on the step that ends a game; ``terminated`` is set by the
rules (king captured, no move), ``truncated`` at ``max_plies`` (counted in plies of both sides).

The vector environments reset a finished game on the next call of `step`, whose action for it
is ignored (Gymnasium's ``AutoresetMode.NEXT_STEP``), and report on the step that ends a game
``info["result"]`` (White's result) and ``info["ending"]`` (an index into
`quellor_selfplay.codes.ENDINGS`), each with its ``_result``/``_ending`` mask, and
``info["plies"]``. `gymnasium.wrappers.vector.RecordEpisodeStatistics` adds returns and
lengths. A terminal observation is never the other side's: where the agent's own move ended
the game, it is the observation the agent moved from.

Observations are copies unless ``copy=False``, which returns views of the batch's buffers that
the next step rewrites.

`sample_masked` draws legal slots for a batch of logits and masks and never gives NaN, also for
rows of finished games (it gives -1 there, which `step` ignores).
"""

from __future__ import annotations

from typing import Any, Optional

import gymnasium
import numpy as np
import numpy.typing as npt
import torch
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space
from torch import nn

from quellor_selfplay.batch import GameBatch, _choice
from quellor_selfplay.codes import ACTION_SLOTS, OBS_COLS, OBS_ROWS
from quellor_selfplay.players import NetPlayer, PlayerError, as_player, load_player, masked_logits, sample_masked
from quellor_selfplay.turn import Player, batch_turn

__all__ = ["SelfPlayVectorEnv", "OpponentVectorEnv", "OpponentEnv", "observation_space", "sample_masked",
           "masked_logits", "COLOURS"]

COLOURS = ("white", "black", "alternate")
ILLEGAL = ("lose", "raise")
DTYPES = {"uint8": np.uint8, "float32": np.float32}

Obs = dict[str, npt.NDArray[Any]]


def observation_space(dtype: str = "uint8") -> spaces.Dict:
    """One environment's observation space."""
    if dtype not in DTYPES:
        raise ValueError(f"unknown dtype {dtype!r} (expected 'uint8' or 'float32')")
    return spaces.Dict({
        "observation": spaces.Box(0, 1, (OBS_ROWS, OBS_COLS), DTYPES[dtype]),
        "action_mask": spaces.Box(0, 1, (ACTION_SLOTS,), np.bool_),
    })


def _player(opponent: Any) -> Player:
    """A player from a name, a path, a `module:callable`, a network or a player object."""
    if isinstance(opponent, str):
        return load_player(opponent).build()
    if isinstance(opponent, nn.Module):
        return NetPlayer(opponent)
    try:
        return as_player(opponent, "the opponent")
    except PlayerError:
        raise TypeError(f"opponent must be a player name, a checkpoint path, a network or a player, not "
                        f"{type(opponent).__name__}") from None


def _slot(action: Any) -> int:
    """One action as an int; -1, an illegal slot, where it is out of range."""
    value = action.item() if isinstance(action, (np.ndarray, torch.Tensor)) and action.ndim == 0 else action
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"action must be an int, not {type(action).__name__}")
    return int(value) if 0 <= value < ACTION_SLOTS else -1


def _seed_of(seed: Optional[int]) -> Optional[int]:
    if seed is None:
        return None
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an int or None, not {type(seed).__name__}")
    if not 0 <= int(seed) < 2**63:
        raise ValueError(f"seed must be in 0..2**63-1, got {seed}")
    return int(seed)


def _reset_mask(options: Optional[dict[str, Any]], n: int) -> Optional[npt.NDArray[np.bool_]]:
    """Gymnasium's partial reset: options["reset_mask"], a bool array of shape (n,)."""
    if not options or options.get("reset_mask") is None:
        return None
    mask = np.asarray(options["reset_mask"])
    if mask.dtype != np.bool_ or mask.shape != (n,):
        raise ValueError(f"options['reset_mask'] must be a bool array of shape ({n},)")
    return mask


def _with_mask(info: dict[str, Any], key: str, values: npt.NDArray[Any], where: npt.NDArray[np.bool_]) -> None:
    """Adds `key` in the vector environments' layout: values, and a mask of the entries set."""
    info[key] = np.where(where, values, np.zeros_like(values))
    info[f"_{key}"] = where.copy()


class _Games:
    """What the environments share: a GameBatch whose games wait for the agent between calls,
    the games that finished and restart on the next step, and the opponent's moves."""

    def __init__(self, n: int, opponent: Optional[Player], colour: str, rules: str, observation: str, dtype: str,
                 max_plies: Optional[int], threads: Optional[int], illegal: str, copy: bool) -> None:
        self.n = n
        self.opponent = opponent
        self.colour = _choice("colour", colour, COLOURS)
        self.illegal = _choice("illegal", illegal, ILLEGAL)
        self.copy = bool(copy)
        if dtype not in DTYPES:
            raise ValueError(f"unknown dtype {dtype!r} (expected 'uint8' or 'float32')")
        self.batch = GameBatch(n, rules=rules, observation=observation, dtype=dtype, max_plies=max_plies,
                               threads=threads)
        if bool(self.batch.terminated.any()):
            raise ValueError("the start position leaves the side to move no move: the game is over")
        self.generator = torch.Generator().manual_seed(0)
        # The agent's colour in each game (True: White), and the games it has started per slot.
        self.white = np.ones(n, dtype=np.bool_)
        self.started = np.zeros(n, dtype=np.int64)
        # Games that ended on the last step: they restart on the next one.
        self.done = np.zeros(n, dtype=np.bool_)
        self.all = np.ones(n, dtype=np.bool_)

    # -- restarting

    def restart(self, which: npt.NDArray[np.bool_], seed: Optional[int] = None) -> None:
        """Restarts the games in `which` (with a seed: every game, the streams from it) and, in
        those where the agent plays Black, plays the opponent's first move."""
        if seed is not None:
            self.batch.reset(seed=seed)
            self.generator.manual_seed(seed)
            self.started[:] = 0
        else:
            self.batch.reset(games=which)
        if self.opponent is not None:
            if self.colour == "alternate":
                self.white[which] = (np.flatnonzero(which) + self.started[which]) % 2 == 0
            else:
                self.white[which] = self.colour == "white"
        self.started[which] += 1
        self.done[which] = False
        if self.opponent is not None:
            self.reply(which & ~self.white)

    def over(self) -> npt.NDArray[np.bool_]:
        return (self.batch.terminated | self.batch.truncated).numpy()

    def reply(self, which: npt.NDArray[np.bool_]) -> bool:
        """The opponent's move in the games of `which` that go on; whether there was any."""
        live = which & ~self.over()
        if not live.any():
            return False
        assert self.opponent is not None
        decision = self.opponent.decide(batch_turn(self.opponent, self.batch, np.flatnonzero(live), self.generator))
        entries = np.zeros(self.n, dtype=np.int64)
        entries[live] = decision.slots
        self.batch.step(entries, games=live)
        return True

    # -- the agent's step

    def entries(self, actions: Any, active: npt.NDArray[np.bool_]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.bool_]]:
        """The agent's actions as int64 entries, and the games in `active` whose entry is not a
        legal slot (ValueError for them under illegal="raise")."""
        values = np.asarray(actions.numpy() if isinstance(actions, torch.Tensor) else actions)
        if values.shape != (self.n,):
            raise ValueError(f"actions must have shape ({self.n},), got {tuple(values.shape)}")
        if values.dtype.kind not in "iu":
            raise TypeError(f"actions must hold integers, not {values.dtype}")
        inside = (values >= 0) & (values < ACTION_SLOTS)
        entries = np.where(inside, values, 0).astype(np.int64)
        mask = self.batch.legal_action_mask.numpy()
        legal = inside & mask[np.arange(self.n), entries]
        wrong = active & ~legal
        if wrong.any() and self.illegal == "raise":
            i = int(np.flatnonzero(wrong)[0])
            raise ValueError(f"game {i}: action {int(values[i])} is not a legal slot")
        return entries, wrong

    def results(self, illegal: npt.NDArray[np.bool_]) -> npt.NDArray[np.int64]:
        """White's result in each game, where an illegal slot lost the game for its side."""
        result = self.batch.result.numpy().astype(np.int64)
        return np.where(illegal, np.where(self.batch.to_move.numpy(), -1, 1), result)

    def observations(self) -> Obs:
        obs = {"observation": self.batch.observation.numpy(), "action_mask": self.batch.legal_action_mask.numpy()}
        return {k: v.copy() for k, v in obs.items()} if self.copy else obs


# ---------------------------------------------------------------------------------------------
# The vector environments


class _VectorBase(VectorEnv):
    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}
    _games: _Games

    def _spaces(self, n: int, dtype: str) -> None:
        self.num_envs = n
        self.single_observation_space = observation_space(dtype)
        self.single_action_space = spaces.Discrete(ACTION_SLOTS)
        self.observation_space = batch_space(self.single_observation_space, n)
        self.action_space = batch_space(self.single_action_space, n)

    @property
    def batch(self) -> GameBatch:
        """The GameBatch that holds the games (read it, don't step it)."""
        return self._games.batch

    def _info(self, ended: npt.NDArray[np.bool_], illegal: npt.NDArray[np.bool_]) -> dict[str, Any]:
        b = self._games.batch
        info: dict[str, Any] = {"to_move": b.to_move.numpy().copy(), "_to_move": self._games.all.copy()}
        if ended.any():
            _with_mask(info, "result", self._games.results(illegal), ended)
            _with_mask(info, "ending", b.ending.numpy().astype(np.int64), ended & ~illegal)
            _with_mask(info, "plies", b.plies.numpy().copy(), ended)
        if illegal.any():
            _with_mask(info, "illegal", illegal, illegal)
        return info

    def close_extras(self, **kwargs: Any) -> None:
        pass


class SelfPlayVectorEnv(_VectorBase):
    """SelfPlayVectorEnv(num_envs, *, rules="dark", observation="own", dtype="uint8",
    max_plies=None, threads=None, illegal="lose", copy=True)

    N games; each step plays the agent's action for the side to move in every game, and the
    reward is that side's.
    """

    def __init__(self, num_envs: int, *, rules: str = "dark", observation: str = "own", dtype: str = "uint8",
                 max_plies: Optional[int] = None, threads: Optional[int] = None, illegal: str = "lose",
                 copy: bool = True) -> None:
        self._games = _Games(num_envs, None, "white", rules, observation, dtype, max_plies, threads, illegal, copy)
        self._spaces(num_envs, dtype)

    def reset(self, *, seed: Optional[int] = None, options: Optional[dict[str, Any]] = None) -> tuple[Obs, dict[str, Any]]:
        seed = _seed_of(seed)
        super().reset(seed=seed)
        which = _reset_mask(options, self.num_envs)
        self._games.restart(self._games.all if which is None else which, seed if which is None else None)
        if which is not None:
            self._games.done &= ~which
        return self._games.observations(), self._info(np.zeros(self.num_envs, np.bool_), np.zeros(self.num_envs, np.bool_))

    def step(self, actions: Any) -> tuple[Obs, npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_],
                                          dict[str, Any]]:
        g = self._games
        restart = g.done.copy()
        active = ~restart & ~g.over()
        entries, illegal = g.entries(actions, active)
        mover_white = g.batch.to_move.numpy().copy()
        if restart.any():
            g.restart(restart)
        g.batch.step(entries, games=active & ~illegal)
        rewards = g.batch.rewards.numpy()
        reward = np.where(mover_white, rewards[:, 0], rewards[:, 1]).astype(np.float64)
        reward[illegal] = -1.0
        # Every game reported over restarts on the next step, so a game over now ended in
        # this one (or before its first move, at its restart).
        terminated = g.batch.terminated.numpy() | illegal
        truncated = g.batch.truncated.numpy() & ~illegal
        g.done = terminated | truncated
        return g.observations(), reward, terminated, truncated, self._info(g.done, illegal)


class OpponentVectorEnv(_VectorBase):
    """OpponentVectorEnv(num_envs, opponent="random", *, colour="alternate", rules="dark",
    observation="own", dtype="uint8", max_plies=None, threads=None, illegal="lose", copy=True)

    N games of the agent against `opponent`, which moves inside `step`.
    """

    def __init__(self, num_envs: int, opponent: Any = "random", *, colour: str = "alternate", rules: str = "dark",
                 observation: str = "own", dtype: str = "uint8", max_plies: Optional[int] = None,
                 threads: Optional[int] = None, illegal: str = "lose", copy: bool = True) -> None:
        self._games = _Games(num_envs, _player(opponent), colour, rules, observation, dtype, max_plies, threads,
                             illegal, copy)
        self._spaces(num_envs, dtype)
        self._games.restart(self._games.all)

    @property
    def white(self) -> npt.NDArray[np.bool_]:
        """(n,) bool: the agent plays White in the game each environment is playing."""
        return self._games.white.copy()

    def reset(self, *, seed: Optional[int] = None, options: Optional[dict[str, Any]] = None) -> tuple[Obs, dict[str, Any]]:
        seed = _seed_of(seed)
        super().reset(seed=seed)
        which = _reset_mask(options, self.num_envs)
        g = self._games
        if which is None:
            g.restart(g.all, seed)
        else:
            g.restart(which)
        none = np.zeros(self.num_envs, np.bool_)
        return g.observations(), self._info(none, none)

    def _info(self, ended: npt.NDArray[np.bool_], illegal: npt.NDArray[np.bool_]) -> dict[str, Any]:
        info = super()._info(ended, illegal)
        info["white"] = self._games.white.copy()
        info["_white"] = self._games.all.copy()
        return info

    def step(self, actions: Any) -> tuple[Obs, npt.NDArray[np.float64], npt.NDArray[np.bool_], npt.NDArray[np.bool_],
                                          dict[str, Any]]:
        obs, reward, terminated, truncated, illegal = _duel_step(self._games, actions)
        return obs, reward, terminated, truncated, self._info(self._games.done, illegal)


def _duel_step(g: _Games, actions: Any) -> tuple[Obs, npt.NDArray[np.float64], npt.NDArray[np.bool_],
                                                 npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """One step of the agent against the opponent: restart what ended on the last step, the
    agent's move, the opponent's reply. Returns the observations, the agent's rewards, the
    flags, and the games its illegal slot ended."""
    restart = g.done.copy()
    active = ~restart & ~g.over()
    entries, illegal = g.entries(actions, active)
    moving = active & ~illegal
    before = g.batch.observation.numpy()[moving].copy() if moving.any() else None
    if restart.any():
        g.restart(restart)
    g.batch.step(entries, games=moving)
    total = g.batch.rewards.numpy().copy()
    if g.reply(moving):
        total += g.batch.rewards.numpy()
    reward = np.where(g.white, total[:, 0], total[:, 1]).astype(np.float64)
    reward[illegal] = -1.0
    terminated = g.batch.terminated.numpy() | illegal
    truncated = g.batch.truncated.numpy() & ~illegal
    g.done = terminated | truncated
    obs = g.observations()
    # Where the agent's own move ended the game, the batch shows the opponent's view: the agent
    # keeps the one it moved from.
    theirs = moving & g.done & (g.batch.to_move.numpy() != g.white)
    if theirs.any():
        assert before is not None
        if not g.copy:
            obs = {k: v.copy() for k, v in obs.items()}
        obs["observation"][theirs] = before[theirs[moving]]
    return obs, reward, terminated, truncated, illegal


# ---------------------------------------------------------------------------------------------
# One game


class OpponentEnv(gymnasium.Env):
    """OpponentEnv(opponent="random", *, colour="alternate", rules="dark", observation="own",
    dtype="uint8", max_plies=None, illegal="lose")

    One game of the agent against `opponent` at a time; `reset` starts the next (with
    "alternate", the agent changes colour with every game, starting as White).
    """

    metadata = {"render_modes": []}

    def __init__(self, opponent: Any = "random", *, colour: str = "alternate", rules: str = "dark",
                 observation: str = "own", dtype: str = "uint8", max_plies: Optional[int] = None,
                 illegal: str = "lose") -> None:
        self._games = _Games(1, _player(opponent), colour, rules, observation, dtype, max_plies, 1, illegal, True)
        self.observation_space = observation_space(dtype)
        self.action_space = spaces.Discrete(ACTION_SLOTS)
        self._ready = False

    @property
    def batch(self) -> GameBatch:
        return self._games.batch

    @property
    def white(self) -> bool:
        """Whether the agent plays White in the current game."""
        return bool(self._games.white[0])

    def reset(self, *, seed: Optional[int] = None, options: Optional[dict[str, Any]] = None) -> tuple[Obs, dict[str, Any]]:
        seed = _seed_of(seed)
        super().reset(seed=seed)
        self._games.restart(self._games.all, seed)
        self._ready = True
        return self._one(self._games.observations()), {"white": self.white}

    def step(self, action: Any) -> tuple[Obs, float, bool, bool, dict[str, Any]]:
        if not self._ready:
            raise RuntimeError("the game is over: call reset() to start the next" if self._games.done[0]
                               else "call reset() before step()")
        obs, reward, terminated, truncated, illegal = _duel_step(self._games, np.array([_slot(action)], np.int64))
        b = self._games.batch
        info: dict[str, Any] = {"white": self.white}
        if self._games.done[0]:
            self._ready = False
            info["plies"] = int(b.plies[0])
            info["result"] = int(self._games.results(illegal)[0])
            if illegal[0]:
                info["illegal"] = True
            else:
                info["ending"] = int(b.ending[0])
        return self._one(obs), float(reward[0]), bool(terminated[0]), bool(truncated[0]), info

    @staticmethod
    def _one(obs: Obs) -> Obs:
        return {k: v[0] for k, v in obs.items()}



# gymnasium.make("quellor/FogChess-v0", opponent="greedy") and make_vec(..., num_envs=N,
# vectorization_mode="vector_entry_point") once this module is imported, or by the name
# "quellor_selfplay.envs.gymnasium:quellor/FogChess-v0", which imports it.
ENV_ID = "quellor/FogChess-v0"
if ENV_ID not in gymnasium.registry:
    gymnasium.register(ENV_ID, entry_point=f"{__name__}:OpponentEnv", vector_entry_point=f"{__name__}:OpponentVectorEnv")
__all__ += ["ENV_ID"]
