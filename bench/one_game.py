"""One game at a time: SelfPlayGame played move by move, the way quellor-selfplay played before
GameBatch. The benchmarks measure the batched players against it; nothing in the package uses it.

A policy picks every move and every decision is recorded.

A game ends when a king has been captured, when the side to move has no legal action
(checkmate if its king is attacked, stalemate otherwise) or when the ply cap is reached.
Each decision keeps the observation the mover was given, the policy slot of the move it chose
and, once the game is over, the final result seen from the mover's side.
"""

from __future__ import annotations

import dataclasses
import hashlib
import math
import random
from typing import Optional, Protocol

import chess
import numpy as np
import numpy.typing as npt
import torch
from torch import nn

import quellor
from quellor_selfplay.codes import ACTION_SLOTS, CHECKMATE, KING_CAPTURED, OBS_COLS, OBS_LEN, OBS_ROWS, PLY_CAP, STALEMATE
from quellor_selfplay.endings import king_attacked

def game_seed(seed: int, game: int) -> int:
    """A 63-bit seed for one game of a run, the same in every process and on every machine."""
    digest = hashlib.sha256(f"quellor-selfplay:{seed}:{game}".encode()).digest()
    return int.from_bytes(digest[:8], "little") >> 1


class Policy(Protocol):
    """Chooses a move among the legal ones, given the mover's observation."""

    def choose(
        self,
        game: quellor.SelfPlayGame,
        observation: torch.Tensor,
        moves: list[chess.Move],
        rng: random.Random,
    ) -> chess.Move: ...


class RandomPolicy:
    """Uniform over the legal actions."""

    def choose(
        self,
        game: quellor.SelfPlayGame,
        observation: torch.Tensor,
        moves: list[chess.Move],
        rng: random.Random,
    ) -> chess.Move:
        return rng.choice(moves)


@dataclasses.dataclass
class GameRecord:
    """Everything one finished game contributes to the training set.

    Observations travel bit-packed (each value is 0.0 or 1.0): row i of `packed_observations`
    is `numpy.packbits` of decision i's 64 x 106 observation, flattened row by row.
    """

    game: int
    start_fen: Optional[str]
    moves: list[str]
    actions: npt.NDArray[np.int64]
    movers_white: npt.NDArray[np.bool_]
    values: npt.NDArray[np.float32]
    packed_observations: npt.NDArray[np.uint8]
    ending: str
    winner: Optional[bool]

    @property
    def plies(self) -> int:
        return len(self.moves)

    @property
    def result(self) -> str:
        if self.winner is None:
            return "1/2-1/2"
        return "1-0" if self.winner else "0-1"


def pack_observations(observations: list[torch.Tensor]) -> npt.NDArray[np.uint8]:
    """Bit-packs a game's observations; refuses any value other than 0.0 and 1.0."""
    if not observations:
        return np.zeros((0, (OBS_LEN + 7) // 8), dtype=np.uint8)
    flat = np.stack([obs.numpy().reshape(OBS_LEN) for obs in observations])
    ones = flat == 1.0
    if not np.all(ones | (flat == 0.0)):
        raise ValueError("observation holds a value other than 0.0 and 1.0; cannot pack it")
    return np.packbits(ones, axis=1)


def unpack_observations(packed: npt.NDArray[np.uint8]) -> npt.NDArray[np.float32]:
    """The float32 N x 64 x 106 observations of `pack_observations`' output."""
    bits = np.unpackbits(packed, axis=1, count=OBS_LEN)
    return bits.reshape(len(packed), OBS_ROWS, OBS_COLS).astype(np.float32)


def play_game(
    policy: Policy,
    game_index: int,
    seed: int,
    max_plies: int,
    start_fen: Optional[str] = None,
) -> GameRecord:
    """Plays one game from the start position (or `start_fen`) and records each decision."""
    rng = random.Random(game_seed(seed, game_index))
    game = quellor.SelfPlayGame(start_fen)
    observations: list[torch.Tensor] = []
    actions: list[int] = []
    movers: list[bool] = []
    moves: list[str] = []
    winner: Optional[bool] = None
    while True:
        if game.is_terminal():
            ending = KING_CAPTURED
            break
        legal = game.legal_actions()
        if not legal:
            # Nothing to play: a mated side has lost, a stalemated one has drawn.
            if king_attacked(game.board, game.turn):
                ending, winner = CHECKMATE, not game.turn
            else:
                ending = STALEMATE
            break
        if len(moves) >= max_plies:
            ending = PLY_CAP
            break
        observation = game.encode()
        move = policy.choose(game, observation, legal, rng)
        observations.append(observation)
        actions.append(game.action_index(move))
        movers.append(game.turn)
        moves.append(move.uci())
        game.apply(move)

    movers_white = np.array(movers, dtype=np.bool_)
    if ending == KING_CAPTURED:
        values = [game.terminal_value(mover) for mover in movers]
        white_value = game.terminal_value(True)
        winner = None if white_value == 0.0 else white_value > 0.0
    elif winner is None:
        values = [0.0] * len(movers)
    else:
        values = [1.0 if mover == winner else -1.0 for mover in movers]
    return GameRecord(
        game=game_index,
        start_fen=start_fen,
        moves=moves,
        actions=np.array(actions, dtype=np.int64),
        movers_white=movers_white,
        values=np.array(values, dtype=np.float32),
        packed_observations=pack_observations(observations),
        ending=ending,
        winner=winner,
    )


class NetPolicy:
    """One position at a time: samples a move from the network's softmax, masked to the legal
    actions' slots. `play` no longer uses it (it evaluates all waiting games in one forward pass,
    see players.NetPlayer); the benchmarks measure the batched player against it."""

    def __init__(self, net: nn.Module) -> None:
        self.net = net.eval()

    def slot_probabilities(
        self, observation: torch.Tensor, slots: list[int]
    ) -> list[float]:
        """The masked softmax's probability of each slot in `slots`, in that order."""
        with torch.inference_mode():
            logits, _ = self.net(observation.unsqueeze(0))
            mask = torch.full((ACTION_SLOTS,), float("-inf"))
            mask[slots] = 0.0
            probabilities = torch.softmax(logits[0] + mask, dim=0)
            picked: list[float] = probabilities[slots].tolist()
        return picked

    def choose(
        self,
        game: quellor.SelfPlayGame,
        observation: torch.Tensor,
        moves: list[chess.Move],
        rng: random.Random,
    ) -> chess.Move:
        # A straight and a capturing promotion to the same piece share a slot: draw the
        # slot, then one of the moves behind it.
        by_slot: dict[int, list[chess.Move]] = {}
        for move in moves:
            by_slot.setdefault(game.action_index(move), []).append(move)
        slots = list(by_slot)
        weights = self.slot_probabilities(observation, slots)
        if not all(math.isfinite(w) for w in weights) or sum(weights) <= 0.0:
            raise ValueError("the network's policy gives no finite probabilities")
        (slot,) = rng.choices(slots, weights=weights)
        return rng.choice(by_slot[slot])
