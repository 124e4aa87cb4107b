"""The learning-curve picture of a training run, drawn from its metrics.csv rows."""

from __future__ import annotations

import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any, Optional

from quellor_selfplay.fileio import replacing


def _numbers(rows: Sequence[dict[str, Any]], key: str, x_key: str = "minutes") -> tuple[list[float], list[float]]:
    xs, ys = [], []
    for row in rows:
        value = row.get(key)
        if value not in (None, ""):
            xs.append(float(row[x_key]))
            ys.append(float(value))
    return xs, ys


def draw(rows: Sequence[dict[str, Any]], path: Path, title: Optional[str] = None) -> None:
    """Four panels against minutes of training: score against random play (the 0.8 target
    marked), Elo against the first checkpoint with its 95 % band, the losses, and self-play
    positions per second."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(10, 7), constrained_layout=True)
    score, elo, losses, speed = axes.flat

    xs, ys = _numbers(rows, "score_vs_random")
    _, games = _numbers(rows, "games_vs_random")
    score.axhline(0.5, color="grey", linewidth=0.8, linestyle=":")
    score.axhline(0.8, color="tab:red", linewidth=0.8, linestyle="--", label="0.8")
    if xs:
        spread = [1.96 * math.sqrt(max(y * (1 - y), 0.25 / n) / n) for y, n in zip(ys, games)]
        score.fill_between(xs, [y - s for y, s in zip(ys, spread)], [y + s for y, s in zip(ys, spread)],
                           alpha=0.2, color="tab:blue")
        score.plot(xs, ys, marker="o", markersize=3, color="tab:blue")
    score.set_ylim(0, 1)
    score.set_title("score against random play")
    score.legend(loc="lower right")

    xs, ys = _numbers(rows, "elo_vs_first")
    _, low = _numbers(rows, "elo_vs_first_low")
    _, high = _numbers(rows, "elo_vs_first_high")
    if xs:
        elo.fill_between(xs, low, high, alpha=0.2, color="tab:green")
        elo.plot(xs, ys, marker="o", markersize=3, color="tab:green")
    elo.axhline(0, color="grey", linewidth=0.8, linestyle=":")
    elo.set_title("Elo against the first checkpoint (95% band)")

    # The entropy is an order of magnitude larger than PPO's surrogate loss: it gets its own axis.
    spread_axis = losses.twinx()
    for axis, key, colour in ((losses, "policy_loss", "tab:purple"), (losses, "value_loss", "tab:orange"),
                              (spread_axis, "entropy", "tab:grey")):
        xs, ys = _numbers(rows, key)
        if xs:
            axis.plot(xs, ys, label=key.replace("_", " ") + (" (right)" if axis is spread_axis else ""),
                      color=colour)
    spread_axis.set_ylim(bottom=0)
    losses.set_title("losses")
    handles = [h for axis in (losses, spread_axis) for h in axis.get_legend_handles_labels()[0]]
    if handles:
        losses.legend(handles=handles, loc="upper right")

    xs, ys = _numbers(rows, "positions_per_second")
    if xs:
        speed.plot(xs, ys, color="tab:brown")
    speed.set_ylim(bottom=0)
    speed.set_title("self-play positions per second")

    for axis in axes.flat:
        axis.set_xlabel("minutes")
        axis.grid(alpha=0.3)
    if title:
        figure.suptitle(title, fontsize=10)
    try:
        with replacing(path, ".png") as partial:
            figure.savefig(partial, dpi=80)
    finally:
        plt.close(figure)
