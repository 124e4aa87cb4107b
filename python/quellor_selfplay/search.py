"""A player that searches the positions it cannot rule out: determinized (PIMC) search with a
network's value and policy.

At each turn the player draws k positions from the mover's :class:`~quellor_selfplay.belief.Belief`
(the full positions that agree with everything the mover has seen) and tries each of its legal
moves in each of them, all k x moves games in one `GameBatch`:

1. the move is played; a move that takes the king scores +1 in that position;
2. at depth 2 (the default) the other side answers with its network's most likely move from
   its own view of that position; a reply that takes our king scores -1;
3. every other position is scored by the network's value of the mover's own view (depth 2), or
   minus its value of the other side's view (depth 1).

A move's score is its mean over the k positions, plus `prior` times the log-probability the
network's policy gives it in the real game, which breaks ties between moves the search cannot
tell apart and keeps the network's judgement where the positions agree. The player then plays
the best move (`temperature` 0), or draws from the softmax of the scores divided by
`temperature`.

Why this search: fog-of-war chess is decided mostly by what the mover cannot see, a hidden
piece that takes a piece left hanging or the king. The belief turns "cannot see" into "in which
of the positions I cannot rule out", and a reply in each of them shows which moves lose
material or the king in how many. A deeper tree (IS-MCTS) costs far more network calls a move,
and on one core at 100 ms a move it would reach a depth of two or three plies in few positions;
this search spends the same calls on more positions at a fixed depth. The strategy fusion PIMC
suffers from (it assumes it will know the position after its move) matters little at depth 2,
where the only later decision searched is the other side's.

Budget: at most `nodes` network evaluations a move (the positions after the move, and after the
reply at depth 2): k is the largest number of drawn positions within it, at most `samples`, at
least one. The search is deterministic given the belief and the generator's state: the same
views give the same move for the same seed. When a capped belief has lost every position (the
random subset it kept was ruled out), the player falls back to the network's own choice.
"""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

from quellor_selfplay.belief import Belief
from quellor_selfplay.codes import FRAME_CHANNELS, NEWEST_FRAME
from quellor_selfplay.inference import acting_copy, legal_entries
from quellor_selfplay.ledger import count, part
from quellor_selfplay.turn import Decision, Player, Reads, Turn

__all__ = ["SearchSettings", "SearchPlayer", "SearchStats"]

# Positions a forward pass of the search takes at once, and the games whose searches share
# their forward passes.
CHUNK = 1024
GROUP = 4


@dataclasses.dataclass(frozen=True)
class SearchSettings:
    """How the search player spends a move."""

    #: Positions drawn from the belief a move, at most.
    samples: int = 24
    #: Network evaluations a move, at most: the budget that sets how many positions are drawn.
    nodes: int = 2048
    #: 1: score the position after the move; 2: after the other side's reply.
    depth: int = 2
    #: Weight of the network's log-probability of a move, added to its searched score.
    prior: float = 0.05
    #: 0 plays the best move; above 0 draws from softmax(score / temperature).
    temperature: float = 0.0
    #: The cap of the beliefs the player is given (see Belief).
    cap: int = 20_000

    def __post_init__(self) -> None:
        for name in ("samples", "nodes", "cap"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"search {name} must be a positive int, got {value!r}")
        if self.depth not in (1, 2):
            raise ValueError(f"search depth must be 1 or 2, got {self.depth!r}")
        for name in ("prior", "temperature"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < float("inf"):
                raise ValueError(f"search {name} must be a finite number of at least 0, got {value!r}")

    def as_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


@dataclasses.dataclass
class SearchStats:
    """What the player's last act() did, per game: the seed of its draw from the belief, the
    positions drawn, the network evaluations spent and each legal move's searched score (in
    the order of the legal slots; None where the player fell back on the network alone)."""

    seeds: list[int] = dataclasses.field(default_factory=list)
    samples: list[int] = dataclasses.field(default_factory=list)
    nodes: list[int] = dataclasses.field(default_factory=list)
    scores: list[Optional[npt.NDArray[np.float64]]] = dataclasses.field(default_factory=list)
    fallbacks: int = 0


class SearchPlayer(Player):
    """SearchPlayer(model, settings=SearchSettings(), observation="own", device="cpu",
    precision="float32"): the search player of `model`, a network of the tool's (it must return
    logits and values), whose observation layout is `observation`.

    It follows the player interface with one addition: it needs each game's belief, so it says
    `uses_beliefs` and takes `act(..., beliefs=[...])`, one Belief of the mover per row, at the
    game's current ply. The arena, the OpenSpiel bot and PettingZoo's `player_action` keep
    them."""

    reads = Reads.OBSERVATIONS | Reads.MASKS | Reads.BELIEFS
    uses_random_actions = False
    uses_beliefs = True
    ledger_part = "search"

    def __init__(self, model: nn.Module, settings: Optional[SearchSettings] = None, observation: str = "own",
                 device: Union[str, torch.device] = "cpu", precision: str = "float32") -> None:
        self.settings = settings or SearchSettings()
        self.belief_cap = self.settings.cap
        if observation not in ("own", "history"):
            raise ValueError(f"unknown observation {observation!r} (expected 'own' or 'history')")
        self.observation = observation
        self.device = torch.device(device)
        self.model = model.to(self.device).eval()
        self.acting = acting_copy(self.model, precision) if self.device.type == "cpu" else self.model
        self.stats = SearchStats()
        # Moves chosen, the CPU seconds of this thread spent choosing them, and the moves where
        # the belief was empty and the network chose alone, since the player was made.
        self.moves = 0
        self.seconds = 0.0
        self.fallbacks = 0

    # -----------------------------------------------------------------------------------------
    # The network

    def _evaluate(self, observations: torch.Tensor, masks: Optional[torch.Tensor]
                  ) -> tuple[torch.Tensor, Optional[tuple[torch.Tensor, torch.Tensor, torch.Tensor]]]:
        """Values of `observations` from their mover's side, and with `masks` the legal entries
        (rows, slots, logits) of their policies, CHUNK rows at a time: a search step may hold
        ten thousand positions, whose activations at once would take a gigabyte."""
        if len(observations) <= CHUNK:
            return self._evaluate_chunk(observations, masks)
        values, rows, slots, logits = [], [], [], []
        for start in range(0, len(observations), CHUNK):
            part_masks = None if masks is None else masks[start:start + CHUNK]
            v, policy = self._evaluate_chunk(observations[start:start + CHUNK], part_masks)
            values.append(v)
            if policy is not None:
                rows.append(policy[0] + start)
                slots.append(policy[1])
                logits.append(policy[2])
        if masks is None:
            return torch.cat(values), None
        return torch.cat(values), (torch.cat(rows), torch.cat(slots), torch.cat(logits))

    def _evaluate_chunk(self, observations: torch.Tensor, masks: Optional[torch.Tensor]
                        ) -> tuple[torch.Tensor, Optional[tuple[torch.Tensor, torch.Tensor, torch.Tensor]]]:
        if len(observations) == 0:
            return torch.zeros(0), None if masks is None else (torch.zeros(0, dtype=torch.int64),) * 2 + (torch.zeros(0),)
        with torch.inference_mode(), part("forward"):
            count("forward rows", len(observations))
            count("forward calls", 1)
            inputs = observations.to(self.device)
            squares = getattr(self.acting, "squares", None)
            if squares is not None and self.device.type == "cpu":
                body = squares(inputs).float()
                values = self.acting.values_of(body)  # type: ignore[operator]
                if masks is None:
                    return values.float().cpu(), None
                rows, slots = legal_entries(masks)
                head = self.acting.legal_head(body, rows, slots)  # type: ignore[operator]
                return values.float().cpu(), (rows, slots, head.float())
            out = self.acting(inputs.float())
            if not isinstance(out, (tuple, list)) or len(out) < 2:
                raise ValueError("the search player's network must return (logits, values)")
            logits, values = out[0].float().cpu(), out[1].float().cpu().reshape(-1)
            if masks is None:
                return values, None
            rows, slots = legal_entries(masks)
            return values, (rows, slots, logits[rows, slots])

    # -----------------------------------------------------------------------------------------
    # The player interface

    def decide(self, turn: Turn) -> Decision:
        turn.need(self.reads)
        assert turn.observations is not None and turn.masks is not None
        slots, log_probs = self.act(turn.observations, turn.masks, turn.generator, None, beliefs=turn.beliefs)
        return Decision(slots, log_probs)

    def act(self, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
            random_slots: Optional[torch.Tensor] = None, beliefs: Optional[Sequence[Belief]] = None
            ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        begun = time.thread_time()
        chosen = self._act(observations, masks, generator, beliefs)
        self.seconds += time.thread_time() - begun
        self.moves += len(chosen)
        self.fallbacks += self.stats.fallbacks
        return chosen, np.zeros(len(chosen), dtype=np.float32)

    def _act(self, observations: torch.Tensor, masks: torch.Tensor, generator: torch.Generator,
             beliefs: Optional[Sequence[Belief]]) -> npt.NDArray[np.int64]:
        k = len(masks)
        if beliefs is None or len(beliefs) != k:
            raise ValueError("the search player needs the mover's Belief of every game it moves "
                             "(act(..., beliefs=[...]), one per row)")
        settings = self.settings
        seeds = torch.randint(0, 2**62, (k,), generator=generator, dtype=torch.int64).tolist()
        uniforms = torch.rand(k, generator=generator, dtype=torch.float64).tolist()
        _, prior = self._evaluate(observations, masks)
        assert prior is not None
        rows, slots, logits = prior
        row_of = rows.numpy()
        legal = [slots.numpy()[row_of == i] for i in range(k)]
        log_prior = [torch.log_softmax(logits[rows == i].double(), 0).numpy() for i in range(k)]
        self.stats = SearchStats(seeds=list(seeds))

        # Every row's drawn positions x moves, each its own batch; the network sees a group of
        # rows' at once (all rows at once would hold every row's trial games in memory together).
        scores: list[Optional[npt.NDArray[np.float64]]] = []
        for first in range(0, k, GROUP):
            group = range(first, min(first + GROUP, k))
            batches: list[Any] = []
            drawn: list[int] = []
            for i in group:
                belief = beliefs[i]
                moves = len(legal[i])
                if moves == 0:
                    raise ValueError("a game to move has no legal slot")
                if belief.size == 0:
                    batches.append(None)
                    drawn.append(0)
                    continue
                per_position = moves * settings.depth
                n = max(1, min(settings.samples, belief.size, settings.nodes // per_position))
                with part("engine"):
                    games = belief.start(n, seed=seeds[i], repeat=moves, observation=self.observation,
                                         dtype="uint8", threads=1)
                    games.step(np.tile(legal[i], n))
                batches.append(games)
                drawn.append(n)
            scores += self._score(batches, legal[first:group.stop], drawn, beliefs[first:group.stop],
                                  observations[first:group.stop])
        self.stats.scores = scores

        chosen = np.empty(k, dtype=np.int64)
        for i in range(k):
            searched = scores[i]
            if searched is None:
                self.stats.fallbacks += 1
                total = log_prior[i]
            else:
                total = log_prior[i] * settings.prior + searched
            chosen[i] = legal[i][_pick(total, settings.temperature, uniforms[i])]
        count("searched moves", k)
        return chosen

    def _score(self, batches: list[Any], legal: list[npt.NDArray[np.int64]], drawn: list[int],
               beliefs: Sequence[Belief], real: torch.Tensor) -> list[Optional[npt.NDArray[np.float64]]]:
        """Each row's mean score of its moves over its drawn positions (None where none was drawn);
        `real` holds the rows' own observations in the game itself."""
        live = [b for b in batches if b is not None]
        if not live:
            # Every belief of the group is empty: nothing to search, the network chooses.
            self.stats.samples += drawn
            self.stats.nodes += [0] * len(batches)
            return [None] * len(batches)
        pasts = [real[i] for i, b in enumerate(batches) if b is not None]
        sides = [beliefs[i].side == "white" for i, b in enumerate(batches) if b is not None]
        outcome: list[npt.NDArray[np.float64]] = []
        for games, white in zip(live, sides):
            outcome.append(_ended_value(games, white))
        # After the move: the other side to move in every game still going.
        going = [~_over(g) for g in live]
        observations = torch.cat([g.observation[torch.from_numpy(m)] for g, m in zip(live, going)])
        depth = self.settings.depth
        masks = torch.cat([g.legal_action_mask[torch.from_numpy(m)] for g, m in zip(live, going)]) \
            if depth == 2 else None
        values, policy = self._evaluate(observations, masks)
        nodes = [int(m.sum()) for m in going]
        if depth == 1:
            start = 0
            for j, m in enumerate(going):
                size = int(m.sum())
                outcome[j][m] = -values[start:start + size].double().numpy()
                start += size
        else:
            assert policy is not None
            rows, slots, logits = policy
            replies = _argmax_rows(rows, slots, logits, len(observations))
            start = 0
            for j, (games, m) in enumerate(zip(live, going)):
                size = int(m.sum())
                actions = np.zeros(len(games), dtype=np.int64)
                actions[m] = replies[start:start + size]
                start += size
                with part("engine"):
                    games.step(actions, games=m)
                over = _over(games)
                ended = m & over
                outcome[j][ended] = _ended_value(games, sides[j])[ended]
                going[j] = m & ~over
            ours = torch.cat([self._with_past(g.observation[torch.from_numpy(m)], past)
                              for g, m, past in zip(live, going, pasts)])
            values, _ = self._evaluate(ours, None)
            start = 0
            for j, m in enumerate(going):
                size = int(m.sum())
                outcome[j][m] = values[start:start + size].double().numpy()
                start += size
                nodes[j] += size
        result: list[Optional[npt.NDArray[np.float64]]] = []
        j = 0
        for i, games in enumerate(batches):
            self.stats.samples.append(drawn[i])
            if games is None:
                self.stats.nodes.append(0)
                result.append(None)
                continue
            self.stats.nodes.append(nodes[j])
            result.append(outcome[j].reshape(drawn[i], len(legal[i])).mean(axis=0))
            j += 1
        return result


    def _with_past(self, lookahead: torch.Tensor, real: torch.Tensor) -> torch.Tensor:
        """The mover's observations two plies on, with the frames of its earlier turns as the
        game itself shows them: a game started from a drawn position has no past of its own, and
        in the "own" layout the mover's past views are all it knows already. (The "history"
        layout's frames of the other side's views are left as the drawn games have them.)"""
        if self.observation != "own" or len(lookahead) == 0:
            return lookahead
        keep = NEWEST_FRAME.start - FRAME_CHANNELS
        lookahead[:, :, :keep] = real[:, FRAME_CHANNELS:NEWEST_FRAME.start].to(lookahead.dtype)
        return lookahead


def _over(games: Any) -> npt.NDArray[np.bool_]:
    over: npt.NDArray[np.bool_] = (games.terminated | games.truncated).numpy().copy()
    return over


def _ended_value(games: Any, white: bool) -> npt.NDArray[np.float64]:
    """White's result of every game turned to the searching side's, 0 where a game goes on."""
    result: npt.NDArray[np.float64] = games.result.numpy().astype(np.float64)
    return result if white else -result


def _argmax_rows(rows: torch.Tensor, slots: torch.Tensor, logits: torch.Tensor, k: int) -> npt.NDArray[np.int64]:
    """The slot of each row's highest logit (the first of equals)."""
    if k == 0:
        return np.zeros(0, dtype=np.int64)
    row = rows.numpy()
    values = logits.double().numpy()
    order = np.lexsort((-values, row))  # by row, then highest logit first
    first = np.ones(len(order), dtype=bool)
    first[1:] = row[order][1:] != row[order][:-1]
    best = np.zeros(k, dtype=np.int64)
    best[row[order][first]] = slots.numpy()[order][first]
    return best


def _pick(scores: npt.NDArray[np.float64], temperature: float, uniform: float) -> int:
    """The best score's index (the first of equals), or at a temperature a draw from
    softmax(scores / temperature) by the inverse CDF at `uniform`."""
    if temperature == 0:
        return int(np.argmax(scores))
    weights = np.exp((scores - scores.max()) / temperature)
    cumulative = np.cumsum(weights)
    return int(min(np.searchsorted(cumulative, uniform * cumulative[-1], side="right"), len(scores) - 1))
