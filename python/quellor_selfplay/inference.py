"""The acting network made fast on the CPU, within a stated tolerance of float32 eager.

A network player needs, once a step, the logits of the legal slots of every game where it is
to move. How it gets them is a choice between ways that give the same outputs, or outputs
within a tolerance of float32 eager (`TV_TOLERANCE`, `AGREEMENT`):

- ``float32``: the body in float32 and, for a network with a `legal_logits` shortcut (both of
  the tool's networks), the heads at the legal slots only. Equal to forward() up to rounding.
- ``bfloat16``: the same with the body's 3 x 3 convolutions in bfloat16 (a copy of their
  weights made once per player; the CPU's AVX-512 BF16 instructions run them at about twice
  the float32 rate), while the stem, the residual stream, the board means and the heads stay in
  float32. With the residual stream in bfloat16 too, or the stem, the policy moves two to three
  times further for a few per cent more speed.

The trainer's acting network uses `train --acting-precision` (see `config.TrainConfig`);
`bench/train_bench.py` measures each candidate's forward rate against float32 eager at the same
batch and threads, and how far its log-probabilities and greedy choices move, on a trained
network and positions from seeded games. A choice is kept only where it is both faster and
within the tolerance. Checkpoints always hold the float32 weights: a reduced-precision copy
lives only inside a player.
"""

from __future__ import annotations

import copy
import dataclasses
from typing import Union

import torch
from torch import nn

from quellor_selfplay import _batch
from quellor_selfplay.codes import ACTION_SLOTS, MASK_BYTES

PRECISIONS = ("float32", "bfloat16")
# How far an acting copy's policy may be from float32 eager's, at every position: the total
# variation distance between the two distributions over the legal slots. It bounds the share
# of moves that the copy samples differently from float32 under the same random draw, so at
# most one move in fifty. (The largest change of a single log-probability is no measure of
# that: it falls on slots of probability 1e-6 that no game plays; it is reported all the same.)
TV_TOLERANCE = 0.02
# The least share of positions where the copy's most probable slot is float32's: the rest are
# near-ties whose order rounding may swap.
AGREEMENT = 0.99
# Log-probability differences are also reported over the slots at least this probable.
LIKELY = 0.01
# The modules of a squares network whose weights a bfloat16 copy holds in bfloat16.
SQUARES_BODY = ("convs",)


@dataclasses.dataclass(frozen=True)
class Difference:
    """How an acting copy's legal log-probabilities differ from float32 eager's."""

    logp: float         # the largest |log p - log p_float32| over every legal slot
    likely_logp: float  # the same over the slots float32 gives at least LIKELY
    tv: float           # the largest total variation distance of a position
    agreement: float    # share of positions with the same most probable slot

    def within(self) -> bool:
        return self.tv <= TV_TOLERANCE and self.agreement >= AGREEMENT


def acting_copy(model: nn.Module, precision: str) -> nn.Module:
    """The network as a player runs it: `model` itself for float32, a copy with its 3 x 3
    convolutions in bfloat16 (their weights channels-last) for "bfloat16" (only the squares
    network has them: any other model is returned as it is)."""
    if precision not in PRECISIONS:
        raise ValueError(f"unknown precision {precision!r} (expected {' or '.join(PRECISIONS)})")
    if precision == "float32" or getattr(model, "arch", None) != "squares":
        return model
    fast = copy.deepcopy(model)
    for name in SQUARES_BODY:
        body = fast.get_submodule(name).to(torch.bfloat16)
        # Channels-last weights, as the network's view of the observation already is: a pass then
        # makes no channels-last copy of every weight (the same arithmetic, bit for bit).
        for weight in body.parameters():
            if weight.dim() == 4:
                weight.data = weight.data.contiguous(memory_format=torch.channels_last)
    return fast


def legal_log_probs(values: torch.Tensor, rows: torch.Tensor, k: int) -> torch.Tensor:
    """The log-softmax of the legal entries' logits `values` within each of the k rows."""
    values = values.double()
    top = torch.full((k,), float("-inf"), dtype=torch.float64).scatter_reduce(0, rows, values, "amax")
    shifted = values - top[rows]
    totals = torch.zeros(k, dtype=torch.float64).index_add_(0, rows, shifted.exp())
    return shifted - totals.log()[rows]


def difference(reference: torch.Tensor, other: torch.Tensor, rows: torch.Tensor, k: int) -> Difference:
    """How the logits `other` differ from `reference` at the same legal entries of k rows."""
    if k == 0:
        return Difference(0.0, 0.0, 0.0, 1.0)
    a, b = legal_log_probs(reference, rows, k), legal_log_probs(other, rows, k)
    gap = (a - b).abs()
    likely = a.exp() >= LIKELY
    tv = torch.zeros(k, dtype=torch.float64).index_add_(0, rows, (a.exp() - b.exp()).abs()) / 2

    def best(values: torch.Tensor) -> torch.Tensor:
        """The first entry of each row that reaches the row's maximum."""
        top = torch.full((k,), float("-inf"), dtype=torch.float64).scatter_reduce(0, rows, values, "amax")
        hit = torch.where(values == top[rows], torch.arange(len(values)), torch.full_like(rows, len(values)))
        return torch.full((k,), len(values), dtype=torch.int64).scatter_reduce(0, rows, hit, "amin")

    return Difference(float(gap.max()), float(gap[likely].max()), float(tv.max()),
                      float((best(a) == best(b)).double().mean()))


def native_bfloat16() -> bool:
    """Whether this CPU does bfloat16 arithmetic itself (AVX-512 BF16 or AMX tiles)."""
    try:
        return bool(torch.cpu._is_avx512_bf16_supported() or torch.cpu._is_amx_tile_supported())
    except AttributeError:  # a torch without these probes
        return False


def default_precision() -> str:
    """bfloat16 where the CPU runs it natively, else float32 (emulated bfloat16 is slower)."""
    return "bfloat16" if native_bfloat16() else "float32"


def legal_entries(masks: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    """(rows, slots) of the True entries of (k, 4352) bool masks (or rows of any width), row by
    row.

    Found by the batch module sixteen slots at a time (a mask row is 4352 bytes, some thirty of
    them set).
    """
    flat = masks.detach().contiguous().cpu()
    if flat.dtype != torch.bool or flat.dim() != 2:
        raise ValueError(f"masks must be (k, {ACTION_SLOTS}) bool, got {tuple(flat.shape)} {flat.dtype}")
    return _split_entries(_batch.legal_entries(flat.numpy(), flat.shape[1]) if flat.numel() else b"")


def legal_bit_entries(bits: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
    """legal_entries() of (k, 544) uint8 bit-packed masks as the shards keep them (slot s is bit
    s % 8 of byte s // 8), read off the bits without unpacking them: the same entries in the
    same order as legal_entries(unpack_masks(bits))."""
    flat = bits.detach().contiguous().cpu()
    if flat.dtype != torch.uint8 or flat.dim() != 2 or flat.shape[1] != MASK_BYTES:
        raise ValueError(f"bits must be (k, {MASK_BYTES}) uint8, got {tuple(flat.shape)} {flat.dtype}")
    return _split_entries(_batch.bit_entries(flat.numpy()))


def _split_entries(found: Union[bytes, bytearray]) -> tuple[torch.Tensor, torch.Tensor]:
    """The rows and the slots of the batch module's entries: two halves of int64."""
    if not found:
        empty = torch.zeros(0, dtype=torch.int64)
        return empty, empty.clone()
    entries = torch.frombuffer(found, dtype=torch.int64)
    half = len(entries) // 2
    return entries[:half], entries[half:]
