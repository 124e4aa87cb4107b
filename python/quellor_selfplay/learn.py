"""The learner's arithmetic: advantages from finished games and the PPO update.

The data of an iteration is one or more shards (see `data`). Only the rows of the learner
(player 0) are learned from; the rows of pool opponents stay in for rebuilding observations.
Each side of a game is its own episode: the mover's decisions at plies p, p + 2, ..., with a
reward at its last decision, the game's result from its side (+1, -1, 0 for a draw or the ply
cap), and a discount `gamma` per own move, so that a quicker win is worth more.

With `shaping` > 0 each decision also earns gamma * F(next) - F(now), where the potential F is
`shaping` times the mover's material lead in pawns (1, 3, 3, 5, 9) and F = 0 once the game is
over. Such a reward leaves the best policy what it was (a game's shaped return is its result
less F of the first position, the same for every policy), but a capture is paid for when it is
made, not only dozens of moves later through the result. The learner is told the true material,
which the mover may not see in full: the opponent's count comes from the opponent's own view.
It feeds the rewards alone, never the policy's input.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

from quellor_selfplay.batch import unpack_observation
from quellor_selfplay.config import PPOConfig
from quellor_selfplay.data import rebuild_packed, unpack_masks
from quellor_selfplay.ledger import count, part
from quellor_selfplay.inference import legal_bit_entries
from quellor_selfplay.players import masked_log_softmax

LEARNER = 0
# A pawn, knight, bishop, rook and queen in pawns; the king is never captured before the end.
PIECE_VALUES = np.array([1, 3, 3, 5, 9], dtype=np.int64)


def material(frames: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """(R,) the material of the mover in pawns, from its frames (R, 13): the own pieces, which
    every frame shows."""
    own = np.ascontiguousarray(frames[:, : len(PIECE_VALUES)]).view(np.uint8).reshape(len(frames), -1, 8)
    counts: npt.NDArray[np.int64] = np.unpackbits(own, axis=2).sum(axis=2, dtype=np.int64)
    return np.asarray(counts @ PIECE_VALUES, dtype=np.int64)


def material_lead(frames: npt.NDArray[np.int64], ply: npt.NDArray[Any], rows: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """(k,) the mover's material lead at `rows` of whole games in ply order.

    The opponent's material is counted in its own frame one ply earlier, before its move (which
    cannot change it but by a promotion, counted at the next ply); the first mover, before whom
    the opponent has no frame, takes it from the opponent's frame one ply later (no first move
    of the usual start captures).
    """
    own = material(frames)
    first = ply[rows] == 0
    before = np.where(first, rows + 1, rows - 1)
    # A game ended at its first ply has no second row: the lead is then even.
    before = np.where(first & ((before >= len(ply)) | (ply[np.minimum(before, len(ply) - 1)] != 1)), rows, before)
    return own[rows] - own[before]


@dataclasses.dataclass
class Experience:
    """The rows of an iteration in the learner's form (torch tensors, compact)."""

    frames: torch.Tensor      # (R, 13) int64, every row of the iteration's games
    castling: torch.Tensor    # (R,) uint8
    ply: torch.Tensor         # (R,) int32
    rows: torch.Tensor        # (L,) int64: the learner's rows among them
    masks: torch.Tensor       # (L, 544) uint8, bit-packed
    actions: torch.Tensor     # (L,) int64
    old_log_probs: torch.Tensor  # (L,) float32
    results: torch.Tensor     # (L,) float32, the game's result from the mover's side
    sequence: torch.Tensor    # (L,) int64: one id per (game, side)
    step: torch.Tensor        # (L,) int64: the decision's place in its side's episode
    lead: torch.Tensor        # (L,) float32: the mover's material lead in pawns

    def __len__(self) -> int:
        return len(self.rows)

    def observations(self, picked: torch.Tensor, layout: str, dtype: torch.dtype = torch.float32) -> torch.Tensor:
        packed = rebuild_packed(self.frames, self.castling, self.ply, self.rows[picked], layout)
        return unpack_observation(packed, dtype)


def gather(shards: Sequence[dict[str, npt.NDArray[Any]]]) -> Experience:
    """The learner's rows of the shards, joined (shards keep their games whole)."""
    join = {k: np.concatenate([s[k] for s in shards]) for k in ("frame", "castling", "ply", "player", "mask",
                                                                  "action", "logp", "value", "game", "white")}
    mine = np.flatnonzero(join["player"] == LEARNER)
    # Games are unique across the shards of an iteration: (game, side) names an episode.
    keys = join["game"][mine] * 2 + join["white"][mine]
    _, sequence = np.unique(keys, return_inverse=True)
    return Experience(
        frames=torch.from_numpy(join["frame"]),
        castling=torch.from_numpy(join["castling"]),
        ply=torch.from_numpy(join["ply"]),
        rows=torch.from_numpy(mine.astype(np.int64)),
        masks=torch.from_numpy(join["mask"][mine]),
        actions=torch.from_numpy(join["action"][mine].astype(np.int64)),
        old_log_probs=torch.from_numpy(join["logp"][mine]),
        results=torch.from_numpy(join["value"][mine].astype(np.float32)),
        sequence=torch.from_numpy(sequence.astype(np.int64)),
        step=torch.from_numpy((join["ply"][mine] // 2).astype(np.int64)),
        lead=torch.from_numpy(material_lead(join["frame"], join["ply"], mine).astype(np.float32)),
    )


def advantages(experience: Experience, values: torch.Tensor, gamma: float, lam: float,
               shaping: float = 0.0) -> tuple[torch.Tensor, torch.Tensor]:
    """(advantages, returns) by generalised advantage estimation along each side's episode.

    The last decision of an episode is followed by its reward and nothing else; every earlier
    one by the discounted value of the side's next decision. `shaping` adds the material
    potential's difference to every decision's reward (see the module's notes).
    """
    count = int(experience.sequence.max()) + 1 if len(experience) else 0
    length = int(experience.step.max()) + 1 if len(experience) else 0
    grid = torch.zeros((count, length + 1))
    present = torch.zeros((count, length + 1), dtype=torch.bool)
    grid[experience.sequence, experience.step] = values.float()
    present[experience.sequence, experience.step] = True
    last = torch.zeros(count, dtype=torch.int64).scatter_reduce(0, experience.sequence, experience.step, "amax")
    reward = torch.zeros((count, length + 1))
    reward[torch.arange(count), last] = torch.zeros(count).scatter_reduce(
        0, experience.sequence, experience.results, "amax", include_self=False)
    if shaping:
        # F after the last decision is 0: the game is over.
        potential = torch.zeros((count, length + 1))
        potential[experience.sequence, experience.step] = shaping * experience.lead
        reward[:, :-1] += gamma * potential[:, 1:] - potential[:, :-1]
    running = torch.zeros(count)
    out = torch.zeros((count, length + 1))
    for t in range(length - 1, -1, -1):
        following = torch.where(present[:, t + 1], grid[:, t + 1], torch.zeros(()))
        delta = reward[:, t] + gamma * following - grid[:, t]
        running = delta + gamma * lam * torch.where(present[:, t + 1], running, torch.zeros(()))
        out[:, t] = running
    adv = out[experience.sequence, experience.step]
    return adv, adv + values.float()


# Positions a value pass takes at a time. A squares network's features of 128 positions (1 MiB
# a layer in float32) about fit a core's own cache; 1,024 at a time ran at three quarters of the
# speed, 512 at four fifths (interleaved rounds on the two-core machine).
VALUE_CHUNK = 128


def evaluate_values(net: nn.Module, experience: Experience, layout: str, chunk: int = VALUE_CHUNK) -> torch.Tensor:
    values = []
    # A network that gives its values apart from its policy is asked for those alone.
    value_only = getattr(net, "values_of", None)
    with torch.inference_mode():
        for start in range(0, len(experience), chunk):
            picked = torch.arange(start, min(start + chunk, len(experience)))
            with part("learner data"):
                # 0/1 planes are exact in uint8, and the networks convert their input themselves.
                observations = experience.observations(picked, layout, torch.uint8)
            with part("values"):
                if value_only is not None:
                    values.append(value_only(getattr(net, "squares")(observations)).float())
                else:
                    values.append(net(observations)[1].float())
    return torch.cat(values) if values else torch.zeros(0)


def _combined(chosen: torch.Tensor, old_log_probs: torch.Tensor, adv: torch.Tensor, values: torch.Tensor,
              returns: torch.Tensor, entropy: torch.Tensor, hyper: PPOConfig) -> tuple[torch.Tensor, dict[str, float]]:
    """The clipped surrogate and value error from the chosen moves' log-probabilities and the
    values, the entropy bonus, and the statistics of all three."""
    ratio = torch.exp(chosen - old_log_probs)
    policy = -torch.min(ratio * adv, torch.clamp(ratio, 1 - hyper.clip, 1 + hyper.clip) * adv).mean()
    value = (values - returns).pow(2).mean()
    loss = policy + hyper.value_coef * value - hyper.entropy * entropy
    with torch.no_grad():
        stats = {
            "policy_loss": policy.item(),
            "value_loss": value.item(),
            "entropy": entropy.item(),
            "kl": (old_log_probs - chosen).mean().item(),
            "clip_fraction": ((ratio - 1).abs() > hyper.clip).float().mean().item(),
            "loss": loss.item(),
        }
    return loss, stats


def ppo_loss(net: nn.Module, observations: torch.Tensor, masks: torch.Tensor, actions: torch.Tensor,
             old_log_probs: torch.Tensor, adv: torch.Tensor, returns: torch.Tensor,
             hyper: PPOConfig) -> tuple[torch.Tensor, dict[str, float]]:
    """The clipped surrogate, the value error and the entropy bonus on one minibatch."""
    logits, values = net(observations)
    log_probs = masked_log_softmax(logits.float(), masks)
    chosen = log_probs.gather(1, actions[:, None]).squeeze(1)
    # Illegal slots hold -inf: zero them before the product, or its gradient is 0 x inf.
    entropy = -(log_probs.exp() * log_probs.masked_fill(~masks, 0.0)).sum(dim=1).mean()
    return _combined(chosen, old_log_probs, adv, values.float(), returns, entropy, hyper)


def ppo_loss_legal(net: nn.Module, observations: torch.Tensor, bits: torch.Tensor, actions: torch.Tensor,
                   old_log_probs: torch.Tensor, adv: torch.Tensor, returns: torch.Tensor,
                   hyper: PPOConfig) -> tuple[torch.Tensor, dict[str, float]]:
    """ppo_loss for a network with a `legal_head` (the squares network): the policy taken at the
    legal slots alone, some thirty a row, instead of all 4352. The same loss up to rounding.

    The legal slots come from `bits`, the (k, 544) uint8 bit-packed masks the shards keep
    (`Experience.masks`), read as they are: bool masks of 4352 bytes a row are never made.
    """
    model: Any = net
    squares = model.squares(observations)
    rows, cols = legal_bit_entries(bits)
    k = len(bits)
    logits = model.legal_head(squares, rows, cols).float()
    values = model.values_of(squares).float()
    with torch.no_grad():
        top = torch.full((k,), float("-inf")).scatter_reduce(0, rows, logits, "amax")
        picked = torch.nonzero(cols == actions[rows]).squeeze(1)
    if len(picked) != k:
        raise ValueError("an action of the learner's rows is not among its legal slots")
    # Gathers by index_select: an indexed read's gradient is added with atomic adds on several
    # threads, whose order (and so the learned weights) would change from run to run.
    shifted = logits - torch.index_select(top, 0, rows)
    totals = torch.zeros(k).index_add(0, rows, shifted.exp())
    log_probs = shifted - torch.index_select(totals.log(), 0, rows)
    chosen = torch.index_select(log_probs, 0, picked)
    entropy = -torch.zeros(k).index_add(0, rows, log_probs.exp() * log_probs).mean()
    return _combined(chosen, old_log_probs, adv, values, returns, entropy, hyper)


def update(net: nn.Module, optimizer: torch.optim.Optimizer, experience: Experience, layout: str, hyper: PPOConfig,
           generator: torch.Generator, shaping: float = 0.0) -> dict[str, float]:
    """PPO epochs over the learner's rows; returns the mean of each statistic."""
    values = evaluate_values(net, experience, layout)
    with part("learner data"):
        adv, returns = advantages(experience, values, hyper.gamma, hyper.lam, shaping)
    legal = getattr(net, "legal_head", None) is not None
    totals: dict[str, float] = {}
    steps = 0
    net.train()
    for _ in range(hyper.epochs):
        order = torch.randperm(len(experience), generator=generator)
        for start in range(0, len(experience), hyper.minibatch):
            with part("learner data"):
                picked = order[start: start + hyper.minibatch]
                a = adv[picked]
                a = (a - a.mean()) / (a.std(unbiased=False) + 1e-8) if len(a) > 1 else a
                # The squares network reads its legal slots off the stored bits; the generic loss
                # masks all 4352 logits and needs them as bool.
                bits = experience.masks[picked]
                inputs = (experience.observations(picked, layout, torch.uint8), bits if legal else unpack_masks(bits),
                          experience.actions[picked], experience.old_log_probs[picked], a, returns[picked], hyper)
            count("samples", len(picked))
            with part("forward+backward"):
                loss, stats = (ppo_loss_legal if legal else ppo_loss)(net, *inputs)
                optimizer.zero_grad(set_to_none=True)
                loss.backward()  # type: ignore[no-untyped-call]
            with part("optimizer"):
                nn.utils.clip_grad_norm_(net.parameters(), hyper.max_grad_norm)
                optimizer.step()
            for key, value in stats.items():
                totals[key] = totals.get(key, 0.0) + value
            steps += 1
    net.eval()
    return {key: value / max(steps, 1) for key, value in totals.items()}
