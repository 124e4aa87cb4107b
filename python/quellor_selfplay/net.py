"""A small policy/value network over `SelfPlayGame.encode()`, and the policy that samples from it.

The network reads the 64 x 106 observation, flattens it and passes it through two hidden layers;
its policy head scores all 4352 action slots and its value head guesses the mover's result.
While playing, the scores of slots that no legal action maps to are masked out before the
softmax, and the move is drawn from what remains.

Checkpoints are plain `torch.save` files holding a dict: {"kind": CHECKPOINT_KIND, "hidden":
the width of the hidden layers, "state_dict": the module's state dict}. They are read with
`weights_only=True`, so loading one never runs code from the file.
"""

from __future__ import annotations

import math
import os
import random
from typing import TYPE_CHECKING, Any, Union

import torch
from torch import nn

import quellor
from quellor_selfplay.episode import ACTION_SLOTS, OBS_LEN

if TYPE_CHECKING:
    import chess

CHECKPOINT_KIND = "quellor-policy-value"
DEFAULT_HIDDEN = 256


class CheckpointError(ValueError):
    """A checkpoint file that cannot be read as this network."""


class PolicyValueNet(nn.Module):
    def __init__(self, hidden: int = DEFAULT_HIDDEN) -> None:
        super().__init__()
        if hidden < 1:
            raise ValueError("hidden must be at least 1")
        self.hidden = hidden
        self.body = nn.Sequential(
            nn.Flatten(),
            nn.Linear(OBS_LEN, hidden),
            nn.ReLU(),
            nn.Linear(hidden, hidden),
            nn.ReLU(),
        )
        self.policy = nn.Linear(hidden, ACTION_SLOTS)
        self.value = nn.Sequential(nn.Linear(hidden, 1), nn.Tanh())

    def forward(self, observations: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Policy logits (B x 4352) and values (B) for a batch of B x 64 x 106 observations."""
        features = self.body(observations)
        return self.policy(features), self.value(features).squeeze(-1)


def seeded_net(seed: int, hidden: int = DEFAULT_HIDDEN) -> PolicyValueNet:
    """A freshly initialised network whose weights depend only on `seed` and `hidden`."""
    # fork_rng keeps the caller's global torch generator untouched.
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        return PolicyValueNet(hidden)


def save_checkpoint(net: PolicyValueNet, path: Union[str, os.PathLike[str]]) -> None:
    torch.save(
        {"kind": CHECKPOINT_KIND, "hidden": net.hidden, "state_dict": net.state_dict()}, path
    )


def load_checkpoint(path: Union[str, os.PathLike[str]]) -> PolicyValueNet:
    """Reads a checkpoint written by `save_checkpoint`; CheckpointError says what is wrong."""
    try:
        blob: Any = torch.load(path, map_location="cpu", weights_only=True)
    except FileNotFoundError:
        raise CheckpointError(f"checkpoint {path} does not exist") from None
    except Exception as err:  # torch raises many kinds for a file that is not its format
        raise CheckpointError(f"checkpoint {path} cannot be read: {err}") from None
    if not isinstance(blob, dict) or blob.get("kind") != CHECKPOINT_KIND:
        raise CheckpointError(f"checkpoint {path} is not a {CHECKPOINT_KIND} checkpoint")
    hidden = blob.get("hidden")
    state = blob.get("state_dict")
    if not isinstance(hidden, int) or isinstance(hidden, bool) or hidden < 1:
        raise CheckpointError(f"checkpoint {path} has no valid hidden width")
    if not isinstance(state, dict):
        raise CheckpointError(f"checkpoint {path} has no state_dict")
    net = PolicyValueNet(hidden)
    try:
        net.load_state_dict(state)
    except RuntimeError as err:
        raise CheckpointError(f"checkpoint {path} does not fit the network: {err}") from None
    return net


class NetPolicy:
    """Samples a move from the network's softmax, masked to the legal actions' slots."""

    def __init__(self, net: PolicyValueNet) -> None:
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
