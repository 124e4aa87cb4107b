"""The player interface: a `Turn` in, a `Decision` out.

A player is one method, `decide(turn) -> Decision`, and a declaration of what it reads
(`Player.reads`). Whoever plays the games (a segment of self-play, an environment adapter, the
OpenSpiel bot) gathers exactly that for every game where the player is to move, and hands it
over in one `Turn`:

    every turn      the games' lanes in their batch, their sides and indices in the run, the
                    legal entries of their masks (rows and slots, row by row), their newest
                    frames packed, and the generator every random choice is drawn from
    Reads.OBSERVATIONS  the observations (k, 64, 106) of the batch's dtype
    Reads.CODES     the same as square codes (k, 64, SQUARE_CODES) uint8, a network's fast path
    Reads.MASKS     the legal-action masks (k, 4352) bool
    Reads.RANDOM    a uniformly drawn legal slot per game, from the batch's own streams
    Reads.BELIEFS   the mover's Belief of each game (dark rules), kept at `belief_cap`

The decision is a slot per game, the log-probability the player gave it (0 for a choice that is
no draw from a distribution it could state), and optionally a policy target over the turn's
legal entries (a search's visit distribution, say), in the order of `turn.rows`.
"""

from __future__ import annotations

import dataclasses
import enum
from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay import _batch
from quellor_selfplay.batch import GameBatch, square_codes
from quellor_selfplay.codes import CASTLING_COLUMNS, FRAME_CHANNELS, NEWEST_FRAME
from quellor_selfplay.inference import legal_entries

__all__ = ["Reads", "Turn", "Decision", "Player", "batch_turn", "view_turn"]


class Reads(enum.IntFlag):
    """What a player reads of its games beyond what every turn holds (see the module's notes)."""

    NOTHING = 0
    OBSERVATIONS = _batch.READ_OBSERVATIONS
    CODES = _batch.READ_CODES
    MASKS = _batch.READ_MASKS
    RANDOM = _batch.READ_RANDOM
    BELIEFS = _batch.READ_BELIEFS


@dataclasses.dataclass
class Turn:
    """The k games where a player is to move, and what it asked to read of them."""

    games: npt.NDArray[np.int64]     # their lanes (indices) in the batch that plays them
    white: Optional[npt.NDArray[np.bool_]]  # White is to move (None where the caller cannot tell)
    ids: npt.NDArray[np.int64]       # their indices in the run (a player's memory keys on these)
    rows: torch.Tensor               # int64: the legal entries' rows (0..k-1), row by row
    slots: torch.Tensor              # int64: their slots, ascending within a row
    newest: npt.NDArray[np.int64]    # (k, 14): the newest frame's 13 bitboards, then castling
    generator: torch.Generator
    observations: Optional[torch.Tensor] = None
    codes: Optional[torch.Tensor] = None
    masks: Optional[torch.Tensor] = None
    random: Optional[torch.Tensor] = None
    beliefs: Optional[Sequence[Any]] = None
    # How many of the games are each player's, for a turn that several players take together.
    counts: tuple[int, ...] = ()

    def __len__(self) -> int:
        return len(self.games)

    @property
    def boards(self) -> npt.NDArray[np.uint64]:
        """(k, 13) uint64: the newest frames as bitboards (ours by kind, the enemy's, hidden)."""
        return np.ascontiguousarray(self.newest[:, :FRAME_CHANNELS]).view(np.uint64)

    def legal_counts(self) -> npt.NDArray[np.int64]:
        """(k,) the number of legal slots of each game."""
        return np.bincount(self.rows.numpy(), minlength=len(self))

    def need(self, what: Reads) -> None:
        """ValueError unless the turn holds what a player declared it reads."""
        missing = [flag.name for flag, held in ((Reads.OBSERVATIONS, self.observations), (Reads.CODES, self.codes),
                                                (Reads.MASKS, self.masks), (Reads.RANDOM, self.random),
                                                (Reads.BELIEFS, self.beliefs))
                   if flag in what and held is None]
        if missing:
            raise ValueError(f"the turn does not hold the player's {', '.join(str(m).lower() for m in missing)}")


@dataclasses.dataclass
class Decision:
    """A slot per game of the turn and its log-probability; `policy`, if given, a target over
    the turn's legal entries in the order of its rows and slots."""

    slots: npt.NDArray[np.int64]
    log_probs: npt.NDArray[np.float32]
    policy: Optional[npt.NDArray[np.float32]] = None

    def check(self, turn: Turn) -> None:
        """ValueError unless the decision has one slot and log-probability per game of `turn`
        (and a policy value per legal entry, if any)."""
        k = len(turn)
        if self.slots.shape != (k,) or self.log_probs.shape != (k,):
            raise ValueError(f"a decision for {k} games must hold {k} slots and log-probabilities, got "
                             f"{tuple(self.slots.shape)} and {tuple(self.log_probs.shape)}")
        if self.policy is not None and self.policy.shape != (len(turn.rows),):
            raise ValueError(f"a policy target must give each of the turn's {len(turn.rows)} legal entries a "
                             f"value, got shape {tuple(self.policy.shape)}")


class Player:
    """The base of every player: what it reads, how it decides, and the defaults a player
    declares by overriding them.

    `reads` says what its turns must hold. `belief_cap` is the cap of the beliefs it is given
    (with Reads.BELIEFS). `ledger_part` names what a ledger counts its decisions' time as.
    """

    reads: Reads = Reads.OBSERVATIONS | Reads.MASKS
    belief_cap: int = _batch.BELIEF_CAP
    ledger_part: str = "bots"

    def decide(self, turn: Turn) -> Decision:
        raise NotImplementedError


def batch_turn(player: Player, batch: GameBatch, games: npt.NDArray[np.int64], generator: torch.Generator,
               beliefs: Optional[Sequence[Any]] = None) -> Turn:
    """The turn of `player` in the games `games` of `batch` (where it is to move), holding what
    it reads: a random draw is the batch's own (every game's stream draws, as
    GameBatch.random_actions does), and its beliefs are the caller's to keep."""
    reads = player.reads
    index = np.ascontiguousarray(games, dtype=np.int64)
    found = batch.gather(index, observations=Reads.OBSERVATIONS in reads, codes=Reads.CODES in reads)
    selected = torch.from_numpy(index)
    return Turn(
        games=index, white=batch.to_move.numpy()[index], ids=index, rows=found.rows, slots=found.slots,
        newest=found.newest, generator=generator, observations=found.observations, codes=found.codes,
        masks=torch.index_select(batch.legal_action_mask, 0, selected) if Reads.MASKS in reads else None,
        random=torch.index_select(batch.random_actions(), 0, selected) if Reads.RANDOM in reads else None,
        beliefs=beliefs if Reads.BELIEFS in reads else None)


def view_turn(player: Player, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
              white: Optional[Sequence[bool]] = None, random: Optional[torch.Tensor] = None,
              beliefs: Optional[Sequence[Any]] = None) -> Turn:
    """The turn of `player` in k games known only by the mover's observations (k, 64, 106) and
    masks (k, 4352), and who is to move where the caller knows it: what an environment adapter
    holds. `random` (one legal slot per game) and `beliefs` are the caller's, for a player that
    reads them."""
    reads = player.reads
    masks = masks.bool()
    rows, slots = legal_entries(masks)
    frames = np.asarray(observations[:, :, NEWEST_FRAME]) != 0
    k = len(frames)
    newest = np.empty((k, FRAME_CHANNELS + 1), dtype=np.int64)
    packed = np.packbits(frames.transpose(0, 2, 1), axis=2, bitorder="little")
    newest[:, :FRAME_CHANNELS] = np.ascontiguousarray(packed).view("<i8").reshape(k, FRAME_CHANNELS)
    castling = np.asarray(observations[:, :2, CASTLING_COLUMNS.start]) != 0
    newest[:, FRAME_CHANNELS] = castling[:, 0] | (castling[:, 1].astype(np.int64) << 1)
    if Reads.BELIEFS in reads and beliefs is None:
        raise ValueError("this player searches the positions the mover cannot rule out: it needs their beliefs")
    if Reads.RANDOM in reads and random is None:
        raise ValueError("this player plays the batch's random draws: it needs one per game")
    return Turn(
        games=np.arange(k, dtype=np.int64), white=None if white is None else np.asarray(white, dtype=np.bool_).reshape(k),
        ids=np.arange(k, dtype=np.int64), rows=rows, slots=slots, newest=newest, generator=generator,
        observations=observations if Reads.OBSERVATIONS in reads else None,
        codes=square_codes(observations) if Reads.CODES in reads else None,
        masks=masks if Reads.MASKS in reads else None,
        random=random if Reads.RANDOM in reads else None,
        beliefs=beliefs if Reads.BELIEFS in reads else None)
