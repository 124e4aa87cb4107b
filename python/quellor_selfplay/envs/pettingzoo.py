"""Fog-of-war chess as a PettingZoo AEC environment.

    from quellor_selfplay.envs.pettingzoo import env

    game = env(rules="dark", observation="own", max_plies=300)
    game.reset(seed=0)
    for agent in game.agent_iter():
        obs, reward, terminated, truncated, info = game.last()
        action = None if terminated or truncated else policy(obs["observation"], obs["action_mask"])
        game.step(action)

Agents are ``player_0`` (White) and ``player_1`` (Black), the names PettingZoo's own classic
games use (its API test recommends ``<name>_<number>``). Actions are policy slots 0..4351
(``SelfPlayGame.action_index``, mirrored for Black). Each observation is a dict:
``observation``, 64 x 106 (``GameBatch``'s ``"own"`` or ``"history"`` layout), and
``action_mask``, 4352 int8 entries, 1 on the mover's legal slots.

What an agent is shown:
- the agent to move: its observation of the position now, and its mask;
- the other agent: the observation it was given when it last moved, unchanged (it learns nothing
  new while the other side thinks), and a mask of zeros; before its first move, an observation
  with every square hidden. Nothing of the mover's view ever reaches it.

A slot that two legal moves share (a straight and a capturing promotion to the same piece)
plays the first of them in ``legal_moves()`` order, which is ``GameBatch``'s generation order.

Rewards are +1 and -1 on the step that ends the game (0 for a draw), ``truncations`` are set at
``max_plies``. ``env()`` wraps the game the way PettingZoo wraps its classic games: an illegal
slot ends the game with -1 for the agent that played it (``TerminateIllegalWrapper``).
``raw_env`` raises ValueError for it instead and changes nothing.
"""

from __future__ import annotations

from typing import Any, Optional

import chess
import gymnasium
import numpy as np
import torch
from gymnasium import spaces
# PettingZoo ships no type information: AECEnv is Any to the type checker.
from pettingzoo import AECEnv  # type: ignore[import-untyped, unused-ignore]
from pettingzoo.utils import wrappers  # type: ignore[import-untyped, unused-ignore]

from quellor_selfplay import codes, fog
from quellor_selfplay.batch import GameBatch
from quellor_selfplay.belief import BELIEF_CAP, Belief, BeliefTracker
from quellor_selfplay.codes import ACTION_SLOTS, OBS_COLS, OBS_ROWS
from quellor_selfplay.players import as_player
from quellor_selfplay.turn import Reads, view_turn

__all__ = ["env", "raw_env", "AGENTS", "player_action"]

AGENTS = ("player_0", "player_1")  # White, Black
RENDER_MODES = ("ansi", "rgb_array")
DTYPES = {"uint8": np.uint8, "float32": np.float32}


def env(**kwargs: Any) -> AECEnv:
    """The environment wrapped as PettingZoo's classic games are."""
    game: AECEnv = raw_env(**kwargs)
    game = wrappers.TerminateIllegalWrapper(game, illegal_reward=-1)
    game = wrappers.AssertOutOfBoundsWrapper(game)
    return wrappers.OrderEnforcingWrapper(game)


class raw_env(AECEnv):  # type: ignore[misc]  # noqa: N801 - PettingZoo's name for it
    """raw_env(rules="dark", observation="own", max_plies=None, render_mode=None, fen=None,
    dtype="uint8")"""

    metadata = {
        "render_modes": list(RENDER_MODES),
        "name": "quellor_fog_chess_v0",
        "is_parallelizable": False,
        "render_fps": 2,
    }

    def __init__(
        self,
        rules: str = "dark",
        observation: str = "own",
        max_plies: Optional[int] = None,
        render_mode: Optional[str] = None,
        fen: Optional[str] = None,
        dtype: str = "uint8",
    ) -> None:
        super().__init__()
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"unknown render_mode {render_mode!r} (expected 'ansi', 'rgb_array' or None)")
        if dtype not in DTYPES:
            raise ValueError(f"unknown dtype {dtype!r} (expected 'uint8' or 'float32')")
        self.render_mode = render_mode
        self._batch = GameBatch(
            1, rules=rules, observation=observation, dtype=dtype, max_plies=max_plies,
            threads=1, fens=fen,
        )
        self._max_plies, self._fen = max_plies, fen
        self._trackers: dict[tuple[str, int, int], BeliefTracker] = {}
        if self._batch.terminated[0]:
            raise ValueError("the start position leaves the side to move no move: the game is over")
        self._dtype = DTYPES[dtype]
        self._unseen = codes.unseen_observation(self._dtype)
        self.possible_agents = list(AGENTS)
        self.agents = list(AGENTS)
        obs_space = spaces.Dict({
            "observation": spaces.Box(0, 1, (OBS_ROWS, OBS_COLS), self._dtype),
            "action_mask": spaces.Box(0, 1, (ACTION_SLOTS,), np.int8),
        })
        self.observation_spaces = {a: obs_space for a in AGENTS}
        self.action_spaces = {a: spaces.Discrete(ACTION_SLOTS) for a in AGENTS}
        self._start()

    # ------------------------------------------------------------------------------------------
    # The AEC interface

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        return self.action_spaces[agent]

    def reset(self, seed: Optional[int] = None, options: Optional[dict[str, Any]] = None) -> None:
        """Starts the game again. A seed restarts the random stream of `random_action()`."""
        self._batch.reset(seed=seed)
        self._start()

    def _start(self) -> None:
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(AGENTS, 0.0)
        self._cumulative_rewards = dict.fromkeys(AGENTS, 0.0)
        self.terminations = dict.fromkeys(AGENTS, False)
        self.truncations = dict.fromkeys(AGENTS, False)
        self.infos: dict[str, dict[str, Any]] = {a: {} for a in AGENTS}
        self.agent_selection = self._mover()
        # What each agent was last shown, and at which ply.
        self._seen: dict[str, Optional[tuple[np.ndarray, int]]] = dict.fromkeys(AGENTS)
        self._last_move: Optional[str] = None
        self._moves: list[int] = []

    def _mover(self) -> str:
        return AGENTS[0] if bool(self._batch.to_move[0]) else AGENTS[1]

    def _over(self) -> bool:
        return bool(self._batch.terminated[0] or self._batch.truncated[0])

    def observe(self, agent: str) -> dict[str, np.ndarray]:
        mask = np.zeros(ACTION_SLOTS, dtype=np.int8)
        if agent == self._mover():
            obs = self._batch.observation[0].numpy().copy()
            if not self._over():
                mask[:] = self._batch.legal_action_mask[0].numpy()
        else:
            seen = self._seen[agent]
            obs = (seen[0] if seen is not None else self._unseen).copy()
        return {"observation": obs, "action_mask": mask}

    def step(self, action: Any) -> None:
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        slot = _slot(action)
        shown = self._batch.observation[0].numpy().copy()
        ply = int(self._batch.plies[0])
        # step() refuses an illegal slot and changes nothing; the move it played is the core's.
        self._batch.step(np.array([slot], dtype=np.int64))

        self._seen[agent] = (shown, ply)
        self._moves.append(int(self._batch.last_move[0]))
        self._last_move = codes.code_move(self._moves[-1]).uci()
        self._cumulative_rewards[agent] = 0.0
        rewards = self._batch.rewards[0].tolist()
        self.rewards = {AGENTS[0]: rewards[0], AGENTS[1]: rewards[1]}
        if self._batch.terminated[0]:
            self.terminations = dict.fromkeys(AGENTS, True)
        elif self._batch.truncated[0]:
            self.truncations = dict.fromkeys(AGENTS, True)
        self.agent_selection = self._mover()
        self._accumulate_rewards()

    def render(self) -> Any:
        if self.render_mode is None:
            gymnasium.logger.warn("render() was called without a render_mode")
            return None
        if self.render_mode == "ansi":
            return fog.render_text(self.fog_view())
        view = self.fog_view()
        return fog_image(view.mover)

    def close(self) -> None:
        pass

    # ------------------------------------------------------------------------------------------
    # Beyond the AEC interface

    @property
    def batch(self) -> GameBatch:
        """The one-game batch that holds the game (read it, don't step it)."""
        return self._batch

    def fen(self) -> str:
        return self._batch.fen(0)

    def belief(self, agent: str, cap: int = BELIEF_CAP, seed: int = 0) -> Belief:
        """The positions `agent` cannot rule out now (dark rules only), kept up with the game
        from one call to the next: a Belief of the agent's side, replayed from the game's start
        in a game of its own. Read it, don't update it."""
        if agent not in AGENTS:
            raise ValueError(f"unknown agent {agent!r} (expected {' or '.join(AGENTS)})")
        key = (agent, cap, seed)
        tracker = self._trackers.get(key)
        if tracker is None:
            tracker = BeliefTracker(agent == AGENTS[0], rules=self._batch.rules, max_plies=self._max_plies,
                                    fen=self._fen, cap=cap, seed=seed)
            self._trackers[key] = tracker
        return tracker.follow(self._moves)

    def legal_moves(self) -> list[chess.Move]:
        """The mover's legal moves in generation order (the order that settles shared slots)."""
        return self._batch.legal_moves(0)

    def random_action(self) -> Optional[int]:
        """A uniformly drawn legal slot from the stream `reset(seed=...)` starts; None once
        the game is over."""
        slot = int(self._batch.random_actions()[0])
        return None if slot < 0 else slot

    def fog_view(self) -> fog.FogView:
        """The true board beside what each side was last shown, as `quellor-selfplay show`
        draws it."""
        ply = int(self._batch.plies[0])
        white = bool(self._batch.to_move[0])
        mover = _side(self._batch.observation[0].numpy(), white, ply)
        seen = self._seen[AGENTS[1] if white else AGENTS[0]]
        other = None if seen is None else _side(seen[0], not white, seen[1])
        board = chess.Board(self._batch.fen(0))
        rows = [
            [_code(board.piece_at(chess.square(f, r))) for f in range(8)] for r in range(7, -1, -1)
        ]
        return fog.FogView(0, ply, ply, white, self._last_move, rows, mover, other)

    def __str__(self) -> str:
        return str(self.metadata["name"])


def player_action(player: Any, observation: dict[str, np.ndarray], generator: torch.Generator,
                  belief: Optional[Belief] = None, white: Optional[bool] = None) -> int:
    """The slot one of the package's players (a `turn.Player`: the greedy bot, a network, a
    player of your own) chooses from an agent's observation dict, as `step` takes it. A player
    that searches (one that reads Reads.BELIEFS, such as `search.SearchPlayer`) also needs the
    agent's belief: `env.unwrapped.belief(agent)`. `white`, if given, tells the player which
    side the agent plays."""
    player = as_player(player)
    obs = torch.as_tensor(observation["observation"]).unsqueeze(0)
    mask = torch.as_tensor(observation["action_mask"]).bool().unsqueeze(0)
    legal = torch.nonzero(mask[0]).flatten()
    if len(legal) == 0:
        raise ValueError("the agent has no legal slot: it is not its turn, or the game is over")
    drawn = None
    if Reads.RANDOM in player.reads:
        drawn = legal[torch.randint(len(legal), (1,), generator=generator)]
    if Reads.BELIEFS in player.reads and belief is None:
        raise ValueError("this player searches the positions the agent cannot rule out: "
                         "pass belief=env.unwrapped.belief(agent)")
    turn = view_turn(player, obs, mask, generator, None if white is None else [white], drawn,
                     None if belief is None else [belief])
    return int(player.decide(turn).slots[0])


def _slot(action: Any) -> int:
    if isinstance(action, (bool, np.bool_)) or not isinstance(action, (int, np.integer)):
        if not (isinstance(action, np.ndarray) and action.shape == () and action.dtype.kind in "iu"):
            raise TypeError(f"action must be an int slot, not {type(action).__name__}")
    return int(action)


def _code(piece: Optional[chess.Piece]) -> int:
    if piece is None:
        return 0
    return piece.piece_type if piece.color else -piece.piece_type


def _side(obs: np.ndarray, white: bool, ply: int) -> fog.SideView:
    squares = codes.frame_squares(obs[:, codes.NEWEST_FRAME], white)
    values: list[Optional[int]] = []
    for s in squares:
        if s is None or s == "":
            values.append(None if s is None else 0)
        else:
            kind = "pnbrqk".index(s.lower()) + 1
            values.append(kind if s.isupper() else -kind)
    return fog.SideView(white, ply, values)


# ---------------------------------------------------------------------------------------------
# The rgb_array picture: one side's view, drawn from its own seat

CELL = 48
LIGHT, DARK = (240, 217, 181), (181, 136, 99)
HIDDEN = (74, 74, 74)
# 5 x 7 letters for the pieces, drawn on a disc of the piece's colour.
GLYPHS = {
    1: ("11110", "10001", "10001", "11110", "10000", "10000", "10000"),  # P
    2: ("10001", "11001", "10101", "10011", "10001", "10001", "10001"),  # N
    3: ("11110", "10001", "10001", "11110", "10001", "10001", "11110"),  # B
    4: ("11110", "10001", "10001", "11110", "10100", "10010", "10001"),  # R
    5: ("01110", "10001", "10001", "10001", "10101", "10010", "01101"),  # Q
    6: ("10001", "10010", "10100", "11000", "10100", "10010", "10001"),  # K
}


def _piece_stamps() -> dict[int, np.ndarray]:
    """CELL x CELL x 4 pictures (RGB and coverage) of each signed piece code."""
    yy, xx = np.mgrid[0:CELL, 0:CELL]
    r = np.hypot(yy - (CELL - 1) / 2, xx - (CELL - 1) / 2)
    disc, rim = r <= CELL * 0.40, (r <= CELL * 0.40) & (r > CELL * 0.40 - 2)
    stamps = {}
    for kind, rows in GLYPHS.items():
        glyph = np.kron(np.array([[c == "1" for c in row] for row in rows]), np.ones((4, 4), bool))
        letter = np.zeros((CELL, CELL), bool)
        top, left = (CELL - glyph.shape[0]) // 2, (CELL - glyph.shape[1]) // 2
        letter[top : top + glyph.shape[0], left : left + glyph.shape[1]] = glyph
        for sign, body, ink in ((1, 245, 20), (-1, 25, 235)):
            stamp = np.zeros((CELL, CELL, 4), np.uint8)
            stamp[disc] = (body, body, body, 1)
            stamp[rim] = (128, 128, 128, 1)
            stamp[letter] = (ink, ink, ink, 1)
            stamps[sign * kind] = stamp
    return stamps


_STAMPS: dict[int, np.ndarray] = {}


def fog_image(side: fog.SideView) -> np.ndarray:
    """(8 * CELL, 8 * CELL, 3) uint8: the side's view with its own back rank at the bottom;
    hidden squares are dark grey."""
    if not _STAMPS:
        _STAMPS.update(_piece_stamps())
    image = np.zeros((8 * CELL, 8 * CELL, 3), np.uint8)
    for square, shown in enumerate(side.squares):
        rank, file = divmod(square, 8)
        row, col = (7 - rank, file) if side.white else (rank, 7 - file)
        cell = image[row * CELL : (row + 1) * CELL, col * CELL : (col + 1) * CELL]
        if shown is None:
            cell[:] = HIDDEN
            continue
        cell[:] = LIGHT if (rank + file) % 2 else DARK
        if shown:
            stamp = _STAMPS[shown]
            covered = stamp[..., 3] > 0
            cell[covered] = stamp[..., :3][covered]
    return image
