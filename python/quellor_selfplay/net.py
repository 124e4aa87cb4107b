"""The tool's policy/value networks and their checkpoint format.

Two architectures read the 64 x 106 observation and return policy logits over the 4352 action
slots and a value in -1..1 for the side to move:

- ``mlp`` (`PolicyValueNet`): the observation flattened through two hidden layers. It is what
  ``play --policy net`` builds by default, and what every checkpoint without an ``arch`` holds.
- ``squares`` (`SquareNet`): a small convolutional body over the 8 x 8 board that keeps one
  feature vector per square. A move's logit is a from-square score plus a to-square score plus
  the dot product of the two squares' keys, so "take whatever stands on that square" is a
  single weight to learn rather than 4096 of them. ``train`` builds this one.

Checkpoints are plain `torch.save` files holding a dict, read with ``weights_only=True`` so that
loading one never runs code from the file:

    kind         "quellor-policy-value"
    arch         "mlp" or "squares" (absent: "mlp")
    config       the architecture's sizes: {"hidden": H} or {"channels": C, "blocks": B, "keys": K}
                 and, for blocks that look further, "reach": 1 (absent: 0)
    hidden       H again for an mlp (older readers look for it here)
    state_dict   the module's state dict
    observation  optional: "own" or "history", the layout the network was trained on
    rules        optional: "dark" or "legal"
    iteration    optional: the training iteration that wrote it
    train        optional: the trainer's state (optimizer, opponent pool, ...), see train.py
    sha256       the SHA-256 of every other entry (see `content_digest`), checked on loading

A checkpoint without ``sha256`` was written before checkpoints carried one: it loads as before
(there is nothing to check it against), as long as it holds no key this format does not know,
which is what a damaged ``sha256`` key would leave.

A TorchScript module can stand in for these networks, but only where the user names it as one
(``script:PATH``, see `players.load_player`): it is compiled code, and loading it runs that code.
`read_checkpoint` refuses one.
"""

from __future__ import annotations

import hashlib
import math
import os
import struct
import zipfile
from typing import Any, Optional, Union, cast

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

from quellor_selfplay import _batch
from quellor_selfplay.codes import (
    ACTION_SLOTS, FRAME_CHANNELS, OBS_COLS, OBS_LEN, OBSERVATIONS, PROMOTION_BASE, RULES, SQUARE_CODES,
)
from quellor_selfplay.fileio import DataError, replacing

CHECKPOINT_KIND = "quellor-policy-value"
DEFAULT_HIDDEN = 256
ARCHES = ("mlp", "squares")
SQUARES_DEFAULTS = {"channels": 32, "blocks": 2, "keys": 16, "reach": 0}
# Sizes that may be 0; every other one is at least 1.
MAY_BE_ZERO = ("blocks", "reach")
# With reach, block i looks this far (dilation) in a 3 x 3 pattern, cycling.
DILATIONS = (1, 2, 4)


class CheckpointError(DataError):
    """A checkpoint file that cannot be read as one of the tool's networks."""


class PolicyValueNet(nn.Module):
    arch = "mlp"
    __jit_unused_properties__ = ["config"]

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

    @property
    def config(self) -> dict[str, int]:
        return {"hidden": self.hidden}

    def forward(self, observations: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Policy logits (B x 4352) and values (B) for a batch of B x 64 x 106 observations."""
        features = self.body(observations.float())
        return self.policy(features), self.value(features).squeeze(-1)

    @torch.jit.unused
    def legal_logits(self, observations: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        """The logits forward() gives at (rows[i], slots[i]), computed for those entries only.

        A player needs some thirty logits of a row's 4352, and an observation holds a few
        hundred non-zero values of its 6784: the first layer sums the weight columns of the
        non-zero inputs (scaled by them, so any input is exact) and the policy layer is taken
        at the legal slots alone. Equal to forward() up to rounding, at a fraction of its work.
        """
        with torch.no_grad():
            flat = observations.reshape(len(observations), -1)
            where, columns = flat.nonzero(as_tuple=True)
            counts = torch.bincount(where, minlength=len(flat))
            first = self.body[1]
            assert isinstance(first, nn.Linear)
            scale = torch.take(flat, where * flat.shape[1] + columns).float()
            hidden = nn.functional.embedding_bag(
                columns, self._columns(first.weight), torch.cumsum(counts, 0) - counts, mode="sum",
                per_sample_weights=scale) + first.bias
            hidden = self.body[4](self.body[3](torch.relu(hidden)))
            weight = torch.index_select(self.policy.weight, 0, slots)
            return (torch.index_select(hidden, 0, rows) * weight).sum(dim=1) + torch.index_select(self.policy.bias, 0, slots)

    def _columns(self, weight: torch.Tensor) -> torch.Tensor:
        """The first layer's weight transposed, kept until the weight changes."""
        key = (weight.data_ptr(), weight._version)
        cached = self.__dict__.get("_transposed")
        if cached is None or cached[0] != key:
            cached = (key, weight.detach().t().contiguous())
            self.__dict__["_transposed"] = cached
        return cached[1]


class SquareNet(nn.Module):
    """Per-square features from 3 x 3 convolutions; moves scored from their two squares.

    The observation's rows are squares as the mover sees the board (a1 = 0 for White, ranks
    mirrored for Black), so row r sits at rank r // 8, file r % 8 of the grid, and move slot
    f * 64 + t names the same squares f and t. A promotion slot 4096 + 4 f + k is scored from
    its from-square alone, as the slot itself is.
    """

    arch = "squares"
    __jit_unused_properties__ = ["config"]

    def __init__(self, channels: int = 32, blocks: int = 2, keys: int = 16, reach: int = 0) -> None:
        super().__init__()
        if min(channels, keys) < 1 or blocks < 0 or reach not in (0, 1):
            raise ValueError("channels and keys must be at least 1, blocks at least 0, reach 0 or 1")
        self.channels, self.blocks, self.keys, self.reach = channels, blocks, keys, reach
        self.columns = OBS_COLS
        self.stem = nn.Conv2d(OBS_COLS, channels, 1)
        # Without reach every block is a 3 x 3 convolution, so a square sees 2 x blocks + 1
        # squares across. With it the blocks spread out (dilations 1, 2, 4: three of them span
        # the board, as a rook or bishop does) and each adds what the whole board holds (its
        # mean over squares) to every square.
        dilations = [DILATIONS[i % len(DILATIONS)] if reach else 1 for i in range(blocks)]
        self.convs = nn.ModuleList(nn.Conv2d(channels, channels, 3, padding=d, dilation=d) for d in dilations)
        self.board = nn.ModuleList(nn.Linear(channels, channels) for _ in range(blocks if reach else 0))
        self.source = nn.Linear(channels, 1)
        self.target = nn.Linear(channels, 1)
        self.query = nn.Linear(channels, keys)
        self.key = nn.Linear(channels, keys)
        self.promotion = nn.Linear(channels, 4)
        self.value = nn.Sequential(nn.Linear(channels, channels), nn.ReLU(), nn.Linear(channels, 1), nn.Tanh())
        self.scale = 1.0 / math.sqrt(keys)
        # A fresh network plays uniformly over the legal slots: the first opponent of a
        # training run is then exactly the random policy, and learning starts from no bias.
        # The query stays random so that the key's gradient is not zero from the start.
        for head in (self.source, self.target, self.key, self.promotion):
            nn.init.zeros_(head.weight)
            nn.init.zeros_(head.bias)

    @property
    def config(self) -> dict[str, int]:
        sizes = {"channels": self.channels, "blocks": self.blocks, "keys": self.keys}
        if self.reach:
            sizes["reach"] = self.reach
        return sizes

    def forward(self, observations: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        squares = self.squares(observations)
        moves = (
            self.source(squares)
            + self.target(squares).transpose(1, 2)
            + torch.bmm(self.query(squares), self.key(squares).transpose(1, 2)) * self.scale
        )
        logits = torch.cat([moves.flatten(1), self.promotion(squares).flatten(1)], dim=1)
        return logits, self.value(squares.mean(dim=1)).squeeze(-1)

    def squares(self, observations: torch.Tensor) -> torch.Tensor:
        """B x 64 x C: the body's features of every square (row = square), in the stem's dtype."""
        batch = observations.shape[0]
        grid = observations.to(self.stem.weight.dtype).view(batch, 8, 8, self.columns).permute(0, 3, 1, 2)
        h = self.stem(grid)
        return self.blocks_of(torch.relu(h) if torch.is_grad_enabled() else torch.relu_(h))

    def blocks_of(self, h: torch.Tensor) -> torch.Tensor:
        """squares() from the stem's output B x C x 8 x 8 after its ReLU."""
        # Without autograd nothing needs the intermediate tensors again: the sums and ReLUs run
        # in place, the same arithmetic with fewer passes over memory.
        keep = torch.is_grad_enabled()
        # The 3 x 3 convolutions may hold their weights in another dtype (an acting copy's
        # bfloat16): the residual stream stays in the stem's.
        if self.reach:
            for conv, board in zip(self.convs, self.board):
                grown = conv(h.to(conv.weight.dtype)).to(h.dtype)  # type: ignore[arg-type]
                whole = board(h.mean(dim=(2, 3)))[:, :, None, None]
                grown = grown + whole if keep else grown.add_(whole)
                h = h + torch.relu(grown) if keep else h.add_(torch.relu_(grown))
        else:
            for conv in self.convs:
                grown = conv(h.to(conv.weight.dtype)).to(h.dtype)  # type: ignore[arg-type]
                h = h + torch.relu(grown) if keep else h.add_(torch.relu_(grown))
        return h.flatten(2).transpose(1, 2)

    @torch.jit.unused
    def legal_logits(self, observations: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        """The logits forward() gives at (rows[i], slots[i]), computed for those entries only.

        A player needs some thirty of a row's 4352 logits: the heads are taken at the squares of
        those moves alone, which skips the 64 x 64 products of every row, the 4352-wide sums
        and the value head. Equal to forward() up to rounding (float32 heads whatever the body's
        dtype)."""
        with torch.no_grad():
            return self.entry_logits(self.squares(observations).float(), rows, slots)

    @torch.jit.unused
    def legal_logits_of_codes(self, codes: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        """legal_logits() of the observations that the square codes `codes` (B x 64 x
        SQUARE_CODES uint8, GameBatch.gather) stand for. An observation's square holds at most
        nine ones among its 106 columns: the stem sums the weight columns of those (a table
        lookup per code) rather than multiplying out the 106 columns of every square, and no
        float copy of the observations is made. Equal to legal_logits() up to rounding."""
        with torch.no_grad():
            batch = codes.shape[0]
            table, offsets = self._code_table()
            index = codes.reshape(-1, SQUARE_CODES).long() + offsets
            h = nn.functional.embedding_bag(index, table, mode="sum")
            if self.stem.bias is not None:
                h.add_(self.stem.bias)
            h.relu_()
            h = h.view(batch, 8, 8, self.channels).permute(0, 3, 1, 2)
            return self.entry_logits(self._acting_blocks(h).float(), rows, slots)

    @torch.jit.unused
    def _acting_blocks(self, h: torch.Tensor) -> torch.Tensor:
        """blocks_of() without autograd, the same arithmetic in the same order: the layers'
        functions called directly, without a module call's hooks and checks a layer."""
        convs = cast(list[nn.Conv2d], list(self.convs))
        boards = cast(list[Optional[nn.Linear]], list(self.board) if self.reach else [None] * len(convs))
        for conv, board in zip(convs, boards):
            grown = nn.functional.conv2d(h.to(conv.weight.dtype), conv.weight, conv.bias, conv.stride,
                                         cast(tuple[int, ...], conv.padding), conv.dilation, conv.groups).to(h.dtype)
            if board is not None:
                whole = nn.functional.linear(h.mean(dim=(2, 3)), board.weight, board.bias)
                grown.add_(whole.view(whole.shape[0], whole.shape[1], 1, 1))
            h.add_(torch.relu_(grown))
        return h.flatten(2).transpose(1, 2)

    @torch.jit.unused
    def _code_table(self) -> tuple[torch.Tensor, torch.Tensor]:
        """The stem's weight columns by square code (frame f's code c at row f * (FRAME_CHANNELS
        + 1) + c, a zero row for "no channel"; then the castling flag 0 and 1), with each code
        column's offset into it; kept until the weight changes."""
        weight = self.stem.weight
        key = (weight.data_ptr(), weight._version)
        cached = self.__dict__.get("_codes")
        if cached is None or cached[0] != key:
            codes = FRAME_CHANNELS + 1
            frames = SQUARE_CODES - 1
            columns = weight.detach().reshape(self.channels, -1).t()
            table = torch.zeros(frames * codes + 2, self.channels, dtype=columns.dtype)
            for f in range(frames):
                table[f * codes: f * codes + FRAME_CHANNELS] = columns[f * FRAME_CHANNELS: (f + 1) * FRAME_CHANNELS]
            # A castling flag sets both castling columns.
            table[frames * codes + 1] = columns[frames * FRAME_CHANNELS:].sum(dim=0)
            offsets = torch.tensor([f * codes for f in range(frames)] + [frames * codes], dtype=torch.int64)
            cached = (key, table, offsets)
            self.__dict__["_codes"] = cached
        return cached[1], cached[2]

    @torch.jit.unused
    def entry_logits(self, squares: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        """legal_head() without autograd, in a few calls: the five heads as two linears (at the
        entries' origins and targets, whose squares the batch module finds), and the logits
        summed up from their outputs there by the batch module. Equal to legal_head() up to
        rounding; a network on another device than the CPU takes legal_head() itself."""
        if squares.device.type != "cpu" or torch.is_grad_enabled():
            return self.legal_head(squares, rows, slots)
        flat = squares.reshape(-1, self.channels)
        rows_np = rows.numpy()
        slots_np = np.ascontiguousarray(slots.numpy(), dtype=np.int64)
        origin = np.empty(len(slots_np), dtype=np.int64)
        target = np.empty(len(slots_np), dtype=np.int64)
        _batch.entry_squares(np.ascontiguousarray(rows_np, dtype=np.int64), slots_np, squares.shape[0], origin, target)
        (from_weight, from_bias), (to_weight, to_bias) = self._entry_heads()
        at_origin = torch.addmm(from_bias, torch.index_select(flat, 0, torch.from_numpy(origin)), from_weight)
        at_target = torch.addmm(to_bias, torch.index_select(flat, 0, torch.from_numpy(target)), to_weight)
        out = np.empty(len(slots_np), dtype=np.float32)
        _batch.entry_logits(at_origin.numpy(), at_target.numpy(), slots_np, self.keys, self.scale, out)
        return torch.from_numpy(out)

    @torch.jit.unused
    def _entry_heads(self) -> tuple[tuple[torch.Tensor, torch.Tensor], tuple[torch.Tensor, torch.Tensor]]:
        """The heads read at an entry's origin (source, query, promotion) and at its target
        (target, key), each as one weight (C x outputs) and bias; kept until a head changes."""
        at_origin = (self.source, self.query, self.promotion)
        at_target = (self.target, self.key)
        key = tuple((p.data_ptr(), p._version) for head in at_origin + at_target for p in (head.weight, head.bias))
        cached = self.__dict__.get("_entry_heads_of")
        if cached is None or cached[0] != key:
            def joined(heads: tuple[nn.Linear, ...]) -> tuple[torch.Tensor, torch.Tensor]:
                weight = torch.cat([h.weight.detach() for h in heads]).float().t().contiguous()
                return weight, torch.cat([h.bias.detach() for h in heads]).float()
            cached = (key, (joined(at_origin), joined(at_target)))
            self.__dict__["_entry_heads_of"] = cached
        heads: tuple[tuple[torch.Tensor, torch.Tensor], tuple[torch.Tensor, torch.Tensor]] = cached[1]
        return heads

    @torch.jit.unused
    def legal_head(self, squares: torch.Tensor, rows: torch.Tensor, slots: torch.Tensor) -> torch.Tensor:
        """forward()'s policy logits at (rows[i], slots[i]) from the body's features B x 64 x C,
        differentiable: the learner's form, which never builds the 4352-wide rows."""
        flat = squares.reshape(-1, self.channels)
        move = slots < PROMOTION_BASE
        promotion = torch.where(move, torch.zeros_like(slots), slots - PROMOTION_BASE)
        base = rows * 64
        # index_select, not indexing: the gradient of an indexed read adds into the squares with
        # atomic adds on several threads, in an order that changes from run to run.
        origin = torch.index_select(flat, 0, base + torch.where(move, slots // 64, promotion // 4))
        target = torch.index_select(flat, 0, base + slots % 64)
        dot = (self.query(origin) * self.key(target)).sum(dim=1) * self.scale
        moves = self.source(origin).squeeze(1) + self.target(target).squeeze(1) + dot
        promoted = self.promotion(origin).gather(1, (promotion % 4)[:, None]).squeeze(1)
        return torch.where(move, moves, promoted)

    @torch.jit.unused
    def values_of(self, squares: torch.Tensor) -> torch.Tensor:
        """forward()'s values from the body's features."""
        values: torch.Tensor = self.value(squares.mean(dim=1)).squeeze(-1)
        return values


class StackedSquares:
    """Several squares networks of one shape, each deciding for games of its own, run as one
    pass: what `legal_logits_of_codes` gives for each network's positions, in three
    convolutions for all of them rather than three a network.

    The networks' 3 x 3 convolutions become one grouped convolution: a group holds up to `depth`
    positions of one network in that network's channels, a network with more positions takes
    several groups and one without any none, and `depth` is chosen for the fewest rows of
    padding (a group costing about a row of its own). The stems are one table, the board means
    one batched product, and each network's heads run on its own entries. Each network's logits
    equal its own pass up to rounding. A player pool whose members each move in a few games a
    round pays the fixed cost of one pass instead of one a member.
    """

    # What a group of the grouped convolution costs besides its rows, in rows.
    GROUP_ROWS = 1

    def __init__(self, nets: list[SquareNet]) -> None:
        if not nets:
            raise ValueError("stacking needs at least one network")
        first = nets[0]
        for net in nets:
            if stacking_shape(net) != stacking_shape(first):
                raise ValueError("stacked networks must have the same architecture and convolution dtype")
        self.nets = nets
        self.channels, self.keys, self.scale = first.channels, first.keys, first.scale
        # The parameters, listed once: walking the modules for them took longer than a pass's
        # heads. (A network given new parameter objects, not new values, needs a new stack.)
        self._parameters = [p for net in nets for p in net.parameters()]
        self._built: Optional[tuple[Any, ...]] = None

    def _weights(self) -> tuple[Any, ...]:
        """The stacked weights, made again whenever a network's parameter has changed."""
        key = tuple((p.data_ptr(), p._version) for p in self._parameters)
        if self._built is not None and self._built[0] == key:
            return self._built
        with torch.no_grad():
            tables = [net._code_table() for net in self.nets]
            offsets = tables[0][1]
            rows = tables[0][0].shape[0]
            table = torch.cat([t for t, _ in tables])
            stem_bias = None if self.nets[0].stem.bias is None else torch.stack(
                [cast(torch.Tensor, net.stem.bias).detach() for net in self.nets])
            layers = []
            for i, conv in enumerate(cast(list[nn.Conv2d], list(self.nets[0].convs))):
                convs = [cast(nn.Conv2d, net.convs[i]) for net in self.nets]
                # Each network's weight as one row of its elements in channels-last order, so
                # that the groups' weights are a selection of rows.
                weight = torch.cat([c.weight.detach() for c in convs]).contiguous(memory_format=torch.channels_last)
                weight = weight.permute(0, 2, 3, 1).reshape(len(convs), -1)
                bias = None if conv.bias is None else torch.stack([cast(torch.Tensor, c.bias).detach() for c in convs])
                board = None
                if self.nets[0].reach:
                    boards = [cast(nn.Linear, net.board[i]) for net in self.nets]
                    board = (torch.stack([b.weight.detach().t() for b in boards]).contiguous(),
                             torch.stack([b.bias.detach() for b in boards]).unsqueeze(1))
                layers.append((weight, bias, conv.padding, conv.dilation, board))
            heads = [net._entry_heads() for net in self.nets]
            origin = [h[0] for h in heads]
            target = [h[1] for h in heads]
        self._built = (key, table, offsets, rows, stem_bias, layers, origin, target)
        return self._built

    def legal_logits_of_codes(self, codes: torch.Tensor, counts: list[int], rows: torch.Tensor,
                              slots: torch.Tensor) -> torch.Tensor:
        """The logits at the legal entries (rows[i], slots[i]) of the positions whose square codes
        are `codes` (B x 64 x SQUARE_CODES uint8): the first counts[0] positions read by the first
        network, the next counts[1] by the second, and so on."""
        _, table, offsets, table_rows, stem_bias, layers, origin_head, target_head = self._weights()
        k, c = len(self.nets), self.channels
        batch = codes.shape[0]
        if len(counts) != k or min(counts) < 0 or sum(counts) != batch:
            raise ValueError(f"counts must split the {batch} positions among the {k} networks")
        if not batch:
            return torch.zeros(0)
        sizes = np.asarray(counts, dtype=np.int64)
        starts = np.concatenate([[0], np.cumsum(sizes)])
        # The depth: the fewest rows, padding and groups' cost included.
        depths = np.arange(1, max(1, int(sizes.max())) + 1)
        groups_at = (-(-sizes[None, :] // depths[:, None])).sum(axis=1)
        depth = int(depths[np.argmin(groups_at * (depths + self.GROUP_ROWS))])
        shares = -(-sizes // depth)
        network = np.repeat(np.arange(k), shares)  # of each group
        groups = len(network)
        first = np.concatenate([[0], np.cumsum(shares)[:-1]])
        # Row (place, square, group) of the grid holds the place-th position of the group: its
        # network's positions in order, `depth` a group; past them, padding (the stem's codes 0,
        # whose outputs no entry reads).
        within = (np.arange(groups) - first[network])[None, :] * depth + np.arange(depth)[:, None]
        source = np.where(within < sizes[network][None, :], starts[network][None, :] + within, batch)
        chosen = torch.from_numpy(network)
        with torch.no_grad():
            padded = torch.cat([codes.reshape(batch, 64, SQUARE_CODES),
                                torch.zeros(1, 64, SQUARE_CODES, dtype=codes.dtype)])
            index = padded[torch.from_numpy(source.reshape(-1))].view(depth, groups, 64, SQUARE_CODES)
            index = index.transpose(1, 2).to(torch.int64, memory_format=torch.contiguous_format)
            index += offsets + (chosen * table_rows).view(1, 1, groups, 1)
            grid = nn.functional.embedding_bag(index.view(-1, SQUARE_CODES), table, mode="sum")
            grid = grid.view(depth, 64, groups, c)
            if stem_bias is not None:
                grid.add_(stem_bias[chosen])
            grid.relu_()
            x = grid.view(depth, 8, 8, groups * c).permute(0, 3, 1, 2)
            for weight, bias, padding, dilation, board in layers:
                kernel = torch.as_strided(weight[chosen], (groups * c, c, 3, 3), (9 * c, 1, 3 * c, c))
                shift = None if bias is None else bias[chosen].view(-1)
                grown = nn.functional.conv2d(x.to(kernel.dtype), kernel, shift, 1, padding, dilation, groups)
                grown = grown.to(x.dtype)
                if board is not None:
                    means = x.mean(dim=(2, 3)).view(depth, groups, c).transpose(0, 1)
                    whole = torch.baddbmm(board[1][chosen], means, board[0][chosen]).transpose(0, 1)
                    grown.add_(whole.reshape(depth, groups * c, 1, 1))
                x.add_(torch.relu_(grown))
            rows_np = np.ascontiguousarray(rows.numpy(), dtype=np.int64)
            slots_np = np.ascontiguousarray(slots.numpy(), dtype=np.int64)
            if len(rows_np) > 1 and bool((rows_np[1:] < rows_np[:-1]).any()):
                raise ValueError("the entries' rows must be in ascending order")
            origin = np.empty(len(slots_np), dtype=np.int64)
            target = np.empty(len(slots_np), dtype=np.int64)
            _batch.entry_squares(rows_np, slots_np, batch, origin, target)
            # An entry's row of the grid: its position's place and group, then the square.
            owner = np.searchsorted(starts, rows_np, side="right") - 1
            rank = rows_np - starts[owner]
            place, group = rank % depth, first[owner] + rank // depth
            flat = grid.view(-1, c)
            bounds = np.searchsorted(rows_np, starts)

            def head(at: npt.NDArray[np.int64], weights: list[tuple[torch.Tensor, torch.Tensor]]) -> torch.Tensor:
                # Each network's own head on its own entries, as its own pass computes them.
                picked = torch.index_select(flat, 0, torch.from_numpy(((place * 64 + at % 64) * groups + group)))
                outputs = torch.empty(len(at), weights[0][0].shape[1])
                for m, (weight, bias) in enumerate(weights):
                    if bounds[m + 1] > bounds[m]:
                        torch.addmm(bias, picked[bounds[m]:bounds[m + 1]], weight, out=outputs[bounds[m]:bounds[m + 1]])
                return outputs

            out = np.empty(len(slots_np), dtype=np.float32)
            _batch.entry_logits(head(origin, origin_head).numpy(), head(target, target_head).numpy(), slots_np,
                                self.keys, self.scale, out)
        return torch.from_numpy(out)


def stacking_shape(net: nn.Module) -> Optional[tuple[Any, ...]]:
    """What networks must share to run as one StackedSquares (None for one that cannot): the
    squares architecture with its sizes, and the dtype of its convolutions."""
    if not isinstance(net, SquareNet) or not net.blocks:
        return None
    conv = cast(nn.Conv2d, net.convs[0])
    return (net.channels, net.blocks, net.keys, net.reach, conv.weight.dtype, net.stem.bias is None,
            conv.bias is None)


def build_net(arch: str, config: dict[str, Any]) -> nn.Module:
    """A fresh network of `arch` with the sizes in `config` (missing ones take defaults)."""
    if arch == "mlp":
        return PolicyValueNet(int(config.get("hidden", DEFAULT_HIDDEN)))
    if arch == "squares":
        sizes = {**SQUARES_DEFAULTS, **config}
        return SquareNet(int(sizes["channels"]), int(sizes["blocks"]), int(sizes["keys"]), int(sizes["reach"]))
    raise ValueError(f"unknown network architecture {arch!r} (expected {' or '.join(ARCHES)})")


def seeded_net(seed: int, hidden: int = DEFAULT_HIDDEN, arch: str = "mlp",
               config: Optional[dict[str, Any]] = None) -> nn.Module:
    """A freshly initialised network whose weights depend only on `seed` and its sizes."""
    sizes = dict(config or {})
    if arch == "mlp":
        sizes.setdefault("hidden", hidden)
    # fork_rng keeps the caller's global torch generator untouched.
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        return build_net(arch, sizes)


def architecture(net: nn.Module) -> tuple[str, dict[str, int]]:
    """The architecture name and sizes of one of the tool's networks."""
    arch, config = getattr(net, "arch", None), getattr(net, "config", None)
    if arch not in ARCHES or not isinstance(config, dict):
        raise ValueError(f"{type(net).__name__} is not one of the tool's networks")
    return arch, dict(config)


def checkpoint_dict(net: nn.Module, **meta: Any) -> dict[str, Any]:
    arch, config = architecture(net)
    blob: dict[str, Any] = {"kind": CHECKPOINT_KIND, "arch": arch, "config": config,
                            "state_dict": net.state_dict()}
    if arch == "mlp":
        blob["hidden"] = config["hidden"]
    blob.update({k: v for k, v in meta.items() if v is not None})
    blob[DIGEST_KEY] = content_digest(blob)
    return blob


DIGEST_KEY = "sha256"
# Every key a checkpoint of this format has held. One without a digest may hold only these.
KNOWN_KEYS = frozenset({"kind", "arch", "config", "hidden", "state_dict", "observation", "rules", "iteration",
                        "train", DIGEST_KEY})


def content_digest(blob: dict[str, Any]) -> str:
    """The SHA-256 of what a checkpoint dict holds (all but its digest): every tensor's dtype,
    shape and bytes, and every other value, walked in a fixed order. It is taken over what
    torch.load gives back rather than over the file, so that a reader checks exactly the weights
    and settings it is about to use, whatever torch's archive layout around them."""
    digest = hashlib.sha256()
    _feed(digest, {k: v for k, v in blob.items() if k != DIGEST_KEY})
    return digest.hexdigest()


def _feed(digest: Any, value: Any) -> None:
    # Each value is tagged with its kind and length, so that no two different contents give the
    # same stream of bytes.
    if isinstance(value, torch.Tensor):
        # Copied into fresh row-major storage: a damaged file can give a tensor strides that
        # contiguous() keeps (those of its length-1 dimensions), which a byte view refuses.
        flat = torch.empty(value.shape, dtype=value.dtype).copy_(value.detach().cpu()).reshape(-1)
        raw = flat.view(torch.uint8).numpy().tobytes() if flat.numel() else b""
        header = f"{value.dtype}{tuple(value.shape)}".encode()
        digest.update(b"T" + struct.pack("<QQ", len(header), len(raw)) + header + raw)
    elif isinstance(value, dict):
        items = sorted(value.items(), key=lambda kv: (type(kv[0]).__name__, repr(kv[0])))
        digest.update(b"D" + struct.pack("<Q", len(items)))
        for key, item in items:
            _feed(digest, key)
            _feed(digest, item)
    elif isinstance(value, (list, tuple)):
        digest.update((b"L" if isinstance(value, list) else b"U") + struct.pack("<Q", len(value)))
        for item in value:
            _feed(digest, item)
    else:
        text = f"{type(value).__name__}:{value!r}".encode()
        digest.update(b"V" + struct.pack("<Q", len(text)) + text)


def save_checkpoint(net: nn.Module, path: Union[str, os.PathLike[str]], **meta: Any) -> None:
    """Writes `net` (and the `meta` keys given, such as observation="own") to `path`,
    through a temporary file, so that a failed write never leaves half a checkpoint."""
    with replacing(path) as partial:
        torch.save(checkpoint_dict(net, **meta), partial)


def _unreadable(path: Union[str, os.PathLike[str]], err: Exception) -> CheckpointError:
    """Why torch could not read the file, in words, not its internal failure."""
    try:
        size = os.path.getsize(path)
    except OSError:
        size = -1
    if size == 0:
        return CheckpointError(f"checkpoint {path} cannot be read: the file is empty")
    text = str(err).strip().splitlines()[0] if str(err).strip() else type(err).__name__
    if not _whole_zip(path):
        # torch's own words for a cut file range from a miniz error to "Invalid argument".
        return CheckpointError(f"checkpoint {path} cannot be read: it is damaged or cut short (no whole zip "
                               f"archive: {text})")
    return CheckpointError(f"checkpoint {path} cannot be read: {text}")


def _whole_zip(path: Union[str, os.PathLike[str]]) -> bool:
    # zipfile's own check raises, rather than answers, for some damaged end records.
    try:
        return zipfile.is_zipfile(path)
    except Exception:  # as in is_torchscript
        return False


def read_checkpoint(path: Union[str, os.PathLike[str]]) -> tuple[nn.Module, dict[str, Any]]:
    """The network of a checkpoint and the whole dict it was read from; CheckpointError says
    what is wrong with a file that is not one, or whose contents are not those written."""
    if is_torchscript(path):
        raise CheckpointError(f"checkpoint {path} is a TorchScript module, not a checkpoint: loading one runs the code "
                              f"inside it. To play it, if you trust it, name it script:{path}")
    try:
        blob: Any = torch.load(path, map_location="cpu", weights_only=True)
    except FileNotFoundError:
        raise CheckpointError(f"checkpoint {path} does not exist") from None
    except MemoryError:
        raise CheckpointError(f"checkpoint {path} cannot be read: it claims more memory than there is") from None
    except Exception as err:  # torch raises many kinds for a file that is not its format
        raise _unreadable(path, err) from None
    if not isinstance(blob, dict) or blob.get("kind") != CHECKPOINT_KIND:
        raise CheckpointError(f"checkpoint {path} is not a {CHECKPOINT_KIND} checkpoint")
    if DIGEST_KEY in blob:
        try:
            digest = content_digest(blob)
        except Exception as err:  # values no writer of this format makes
            raise CheckpointError(f"checkpoint {path} is damaged: its contents cannot be digested ({err})") from None
        if blob[DIGEST_KEY] != digest:
            raise CheckpointError(f"checkpoint {path} is damaged: its contents do not match its SHA-256")
    elif not set(blob) <= KNOWN_KEYS:
        unknown = ", ".join(sorted(repr(k) for k in set(blob) - KNOWN_KEYS))
        raise CheckpointError(f"checkpoint {path} is damaged: it has no SHA-256 and holds unknown keys {unknown}")
    arch = blob.get("arch", "mlp")
    if arch not in ARCHES:
        raise CheckpointError(f"checkpoint {path} has an unknown architecture {arch!r}")
    config = blob.get("config", {})
    if arch == "mlp":
        config = {"hidden": blob.get("hidden", config.get("hidden") if isinstance(config, dict) else None)}
    if not isinstance(config, dict) or not all(
        isinstance(v, int) and not isinstance(v, bool) and v >= (0 if k in MAY_BE_ZERO else 1)
        for k, v in config.items()
    ) or (arch == "mlp" and config["hidden"] is None):
        what = "hidden width" if arch == "mlp" else "sizes"
        raise CheckpointError(f"checkpoint {path} has no valid {what}")
    state = blob.get("state_dict")
    if not isinstance(state, dict):
        raise CheckpointError(f"checkpoint {path} has no state_dict")
    try:
        net = build_net(arch, config)
        net.load_state_dict(state)
    except (RuntimeError, ValueError, TypeError) as err:
        raise CheckpointError(f"checkpoint {path} does not fit the network: {err}") from None
    for key in ("observation", "rules"):
        if key in blob and blob[key] not in (OBSERVATIONS if key == "observation" else RULES):
            raise CheckpointError(f"checkpoint {path} names an unknown {key} {blob[key]!r}")
    return net, blob


def is_torchscript(path: Union[str, os.PathLike[str]]) -> bool:
    """Whether the file is a TorchScript archive (a zip with compiled code in it), found from its
    listing alone: nothing in it is loaded."""
    try:
        with zipfile.ZipFile(path) as archive:
            return any("/code/" in name for name in archive.namelist())
    # A damaged listing raises any of a dozen kinds, NotImplementedError for a version field it
    # cannot read among them: such a file is no TorchScript archive, and torch.load says why.
    except Exception:
        return False


def load_checkpoint(path: Union[str, os.PathLike[str]]) -> nn.Module:
    """Reads a checkpoint written by `save_checkpoint`; CheckpointError says what is wrong."""
    return read_checkpoint(path)[0]
