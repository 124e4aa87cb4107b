"""One policy against another: wins, draws and losses, the score, and an Elo difference.

A plays White in the even games and Black in the odd ones; all games run in one GameBatch, the
two players each moving every game where it is their turn in one call.

The Elo difference is E(s) = -400 log10(1/s - 1) of the score s = (W + D/2) / N. Its 95 %
interval maps s -/+ 1.96 sigma through E, sigma being the standard error of the mean of the
per-game scores (1, 1/2, 0). A score of exactly 1 (or 0) has no finite Elo and no spread: such a
match is counted as if half a game had gone the other way, and every score is kept within
1/(2N) of 0 and 1, so that N straight wins give a large, finite Elo that grows with N.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable
from typing import Any, Optional

import numpy as np

from quellor_selfplay.arena import derive_seed
from quellor_selfplay.config import GameConfig
from quellor_selfplay.players import PlayerConfig
from quellor_selfplay.runner import Job, Segment, run_segment

Z95 = 1.959963984540054


def elo(score: float) -> float:
    """Elo difference of a score strictly between 0 and 1."""
    return -400.0 * math.log10(1.0 / score - 1.0)


@dataclasses.dataclass(frozen=True)
class MatchResult:
    """A match from A's side: wins, draws and losses overall and with each colour."""

    wins: int
    draws: int
    losses: int
    white: tuple[int, int, int] = (0, 0, 0)
    black: tuple[int, int, int] = (0, 0, 0)

    @property
    def games(self) -> int:
        return self.wins + self.draws + self.losses

    @property
    def score(self) -> float:
        return (self.wins + 0.5 * self.draws) / self.games

    def _adjusted(self) -> tuple[float, float, float]:
        wins, draws, losses = float(self.wins), float(self.draws), float(self.losses)
        if losses == draws == 0:
            wins, losses = wins - 0.5, 0.5
        elif wins == draws == 0:
            wins, losses = 0.5, losses - 0.5
        return wins, draws, losses

    def _bounded(self, score: float) -> float:
        edge = 1.0 / (2 * self.games)
        return min(max(score, edge), 1.0 - edge)

    @property
    def elo(self) -> float:
        wins, draws, _ = self._adjusted()
        return elo(self._bounded((wins + 0.5 * draws) / self.games))

    @property
    def standard_error(self) -> float:
        """Of the mean score, from the per-game scores' variance (after the adjustment)."""
        wins, draws, losses = self._adjusted()
        n = self.games
        mean = (wins + 0.5 * draws) / n
        variance = (wins * (1 - mean) ** 2 + draws * (0.5 - mean) ** 2 + losses * mean ** 2) / n
        return math.sqrt(variance / n)

    @property
    def score_interval(self) -> tuple[float, float]:
        """The score's 95 % interval, mean -/+ 1.96 standard errors, kept within 0..1."""
        spread = Z95 * self.standard_error
        return max(0.0, self.score - spread), min(1.0, self.score + spread)

    @property
    def elo_interval(self) -> tuple[float, float]:
        wins, draws, _ = self._adjusted()
        mean = (wins + 0.5 * draws) / self.games
        spread = Z95 * self.standard_error
        return elo(self._bounded(mean - spread)), elo(self._bounded(mean + spread))

    def as_dict(self) -> dict[str, Any]:
        low, high = self.elo_interval
        return {"games": self.games, "wins": self.wins, "draws": self.draws, "losses": self.losses,
                "score": round(self.score, 6), "elo": round(self.elo, 2), "elo_low": round(low, 2),
                "elo_high": round(high, 2), "as_white": list(self.white), "as_black": list(self.black)}


def tally(results_white: np.ndarray, a_white: np.ndarray) -> MatchResult:
    """A's match from White's result of each game and whether A had White."""
    a_score = np.where(a_white, results_white, -results_white)

    def count(selected: np.ndarray) -> tuple[int, int, int]:
        s = a_score[selected]
        return int((s > 0).sum()), int((s == 0).sum()), int((s < 0).sum())

    every = np.ones(len(a_score), dtype=bool)
    return MatchResult(*count(every), white=count(a_white), black=count(~a_white))


def play_match(a: PlayerConfig, b: PlayerConfig, games: int, game: GameConfig, lanes: int, seed: int,
               device: str = "cpu", on_game: Optional[Callable[[int], None]] = None) -> MatchResult:
    """Plays `games` games of A against B in this process, A White in the even ones."""
    schedule = tuple((g, 0, 1) if g % 2 == 0 else (g, 1, 0) for g in range(games))
    shard = run_segment(Job(game, (a, b), lanes, device), Segment(0, schedule, derive_seed(seed, "match")), on_game)
    return tally(shard["game_result"].astype(np.int64), shard["game_white"] == 0)


def format_result(result: MatchResult, a: str, b: str) -> str:
    low, high = result.elo_interval
    lines = [f"{'':<12} {'games':>6} {'wins':>6} {'draws':>6} {'losses':>7} {'score':>7}"]
    for label, (w, d, l_) in (("A as White", result.white), ("A as Black", result.black),
                              ("total", (result.wins, result.draws, result.losses))):
        n = w + d + l_
        score = f"{(w + 0.5 * d) / n:.3f}" if n else "-"
        lines.append(f"{label:<12} {n:>6} {w:>6} {d:>6} {l_:>7} {score:>7}")
    lines.append(f"Elo difference A - B: {result.elo:+.0f} (95% interval {low:+.0f} .. {high:+.0f})")
    return f"A: {a}\nB: {b}\n" + "\n".join(lines) + "\n"
