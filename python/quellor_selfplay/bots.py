"""Hand-written players that decide from the mover's own view: the greedy yardstick, and its
bold variant.

`GreedyPlayer` looks one ply deep. It reads only the newest frame of the observation (what the
mover sees now) and the legal-action mask, so it can be given exactly what a network is given
and needs nothing else. For every legal move of every game it builds the view after the move
and scores it as bitboards, in the batch module (one call for all games and moves):

    score = material won - material left hanging + a small positional bonus

- A move that takes a seen enemy king scores KING_CAPTURE, above everything else.
- Material won: the seen enemy piece on the target square (en passant: a pawn), plus the
  promoted piece less the pawn for a promotion (a queen: +8). Values P 1, N 3, B 3, R 5, Q 9.
- Hanging: after the move, each piece of ours that a seen enemy piece attacks loses its value
  when nothing of ours defends its square, and the exchange, value - value of the cheapest
  seen attacker (never below 0), when something does; the move is charged the largest of
  these, the one piece the enemy would take next. A king left attacked charges KING_LOSS.
- The enemy's attacks come from its seen pieces alone, their rays running through hidden
  squares as if they were empty: a threat we cannot rule out counts. Our own rays stop at a
  hidden square, so a defence we cannot see does not count either.
- The bonus makes quiet moves sensible: develop knights and bishops off the back rank and
  towards the centre, push pawns (further up, more), castle, keep the king at home while
  pieces are on the board, attack a seen enemy king, and look into hidden squares (a side that
  sees more finds the enemy king sooner). It is held within +-BONUS_LIMIT, under half a pawn,
  so that it only ever orders moves that win and risk the same material.

The bold variant (`GreedyPlayer(bold=True)`, the player "bold") charges only what the move
itself puts at risk, the moved piece where it lands and the king, and has no taste in quiet
moves: it picks among the safe ones at random. It takes a capture that looks safe even when
another of its pieces is left hanging, where greedy, which guards every piece, declines it,
and its rooks and queen roam where greedy's stay home. A learner trained against greedy alone
learns greedy's habits (that a piece is safe while something of greedy's is attacked, that
the heavy pieces never come), which are worth nothing against players without them; bold has
none of them, so the two keep a league honest.

Moves whose scores lie within NEAR_TIE of the best are chosen between at random with the
caller's torch generator: the same views, masks and generator state give the same moves. The
choice is a deterministic function of the seed, not a sample of a distribution the player could
state, so `act` returns a log-probability of 0.0 for every move.

Squares are rows of the view: seen from the mover, a1 = 0 for White, ranks mirrored for Black,
so our pawns always move towards higher rows. A bitboard has bit r set for row r, as in the
packed frames.
"""

from __future__ import annotations

from typing import Optional, Union

import numpy as np
import numpy.typing as npt
import torch

from quellor_selfplay import _batch
from quellor_selfplay.codes import FRAME_CHANNELS, NEWEST_FRAME
from quellor_selfplay.inference import legal_entries
from quellor_selfplay.turn import Decision, Player, Reads, Turn

Bitboards = npt.NDArray[np.uint64]
Ints = npt.NDArray[np.int64]
Floats = npt.NDArray[np.float64]

KING_CAPTURE = 1e6
# What leaving the king attacked costs, and the bound of the positional bonus: the batch
# module's, which reckons every move.
KING_LOSS = float(_batch.GREEDY_KING_LOSS)
BONUS_LIMIT = float(_batch.GREEDY_BONUS_LIMIT)
NEAR_TIE = 0.05


def view_boards(observations: Union[torch.Tensor, npt.NDArray[np.generic]]) -> Bitboards:
    """(k, 13) bitboards of the newest frame of k observations (k, 64, 106), uint8 or float:
    ours by kind (pawn, knight, bishop, rook, queen, king), the enemy's, then the hidden squares."""
    frame = observations[:, :, NEWEST_FRAME]
    seen = (frame.numpy() if isinstance(frame, torch.Tensor) else np.asarray(frame)) != 0
    k = len(seen)
    packed = np.packbits(seen.transpose(0, 2, 1), axis=2, bitorder="little")
    return np.ascontiguousarray(packed).view("<u8").reshape(k, FRAME_CHANNELS).astype(np.uint64)


def legal_slots(masks: Union[torch.Tensor, npt.NDArray[np.bool_]]) -> tuple[Ints, Ints]:
    """(rows, slots) of the True entries of (k, 4352) bool masks, row by row."""
    legal = masks if isinstance(masks, torch.Tensor) else torch.from_numpy(np.ascontiguousarray(masks))
    rows, slots = legal_entries(legal)
    return rows.numpy(), slots.numpy()


class Scores:
    """Every legal move of k games, scored: entry i is slot `slots[i]` of game `rows[i]`;
    `total` = `gain` - `loss` + `bonus`, or KING_CAPTURE where the move takes the king."""

    def __init__(self, rows: Ints, slots: Ints, gain: Floats, loss: Floats, bonus: Floats,
                 king_capture: npt.NDArray[np.bool_]) -> None:
        self.rows, self.slots = rows, slots
        self.gain, self.loss, self.bonus = gain, loss, bonus
        self.total = np.where(king_capture, KING_CAPTURE, gain - loss + bonus)


def score_moves(observations: Union[torch.Tensor, npt.NDArray[np.generic]],
                masks: Union[torch.Tensor, npt.NDArray[np.bool_]], bold: bool = False) -> Scores:
    """Scores each legal slot of `masks` (k, 4352) from the views in `observations` (the batch
    module reckons each move as the notes above say); `bold` charges only the moved piece's
    risk (and the king's), not every piece's."""
    return score_entries(view_boards(observations), *legal_slots(masks), bold)


def score_entries(boards: Bitboards, rows: Ints, slots: Ints, bold: bool = False) -> Scores:
    """score_moves() from the views as bitboards (view_boards(), or the newest frames that
    GameBatch.gather packs) and the legal entries (rows[i], slots[i])."""
    m = len(rows)
    gain, loss, bonus = np.empty(m), np.empty(m), np.empty(m)
    king_capture = np.empty(m, dtype=np.bool_)
    _batch.greedy_scores(boards, rows, slots, bold, gain, loss, bonus, king_capture)
    return Scores(rows, slots, gain, loss, bonus, king_capture)


class GreedyPlayer(Player):
    """The best move one ply deep from the mover's own view (see the module's notes); moves
    within NEAR_TIE of the best are chosen between with the caller's generator, and the
    log-probability returned is 0.0: the choice is deterministic given the seed. `bold`: the
    bold variant. It reads nothing but the newest frames and legal entries every turn holds."""

    reads = Reads.NOTHING
    uses_random_actions = False

    def __init__(self, bold: bool = False) -> None:
        self.bold = bold

    def decide(self, turn: Turn) -> Decision:
        slots, log_probs = self.act_on_entries(turn.boards, turn.rows.numpy(), turn.slots.numpy(), turn.generator)
        return Decision(slots, log_probs)

    def act(self, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
            random_slots: Optional[torch.Tensor]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        if len(masks) == 0:
            return np.zeros(0, np.int64), np.zeros(0, np.float32)
        return self.act_on_entries(view_boards(observations), *legal_slots(masks), generator)

    def act_on_entries(self, boards: Bitboards, rows: Ints, slots: Ints,
                       generator: torch.Generator) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        """act() given the views as bitboards (score_entries) and the legal entries of the
        masks rather than the observations and masks: what GameBatch.gather reads."""
        k = len(boards)
        if k == 0:
            return np.zeros(0, np.int64), np.zeros(0, np.float32)
        scores = score_entries(boards, rows, slots, self.bold)
        rows = scores.rows
        counts = np.bincount(rows, minlength=k)
        if not (counts > 0).all():
            raise ValueError("a game to move has no legal slot")
        noise = torch.rand(len(rows), generator=generator, dtype=torch.float64).numpy()
        if self.bold:
            # No taste: a uniform draw over the bonus's range in its place.
            value = np.where(scores.total >= KING_CAPTURE, KING_CAPTURE,
                             scores.gain - scores.loss + BONUS_LIMIT * (2 * noise - 1))
        else:
            value = scores.total + NEAR_TIE * noise
        starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
        best = np.maximum.reduceat(value, starts)
        # Entries come row by row: the first entry of each row at its row's best value.
        top = np.flatnonzero(value == best[rows])
        first = top[np.unique(rows[top], return_index=True)[1]]
        return scores.slots[first], np.zeros(k, np.float32)
