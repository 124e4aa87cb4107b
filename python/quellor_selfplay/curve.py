"""The learning-curve picture of a training run, drawn from its metrics.csv rows."""

from __future__ import annotations

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


LABELS = {"random": "random play", "greedy": "greedy bot"}
COLOURS = ("tab:blue", "tab:green", "tab:red", "tab:cyan")


# Where the README's 20-minute run set the bar: a score of 0.8 against the greedy bot.
GREEDY_AIM = 0.8
# Every line carries markers: a run with one evaluation (or one iteration) has lines of a single
# point, which draw nothing without them.
MARKS = {"marker": "o", "markersize": 3}


def draw(rows: Sequence[dict[str, Any]], path: Path, title: Optional[str] = None,
         anchors: Sequence[str] = ("random", "greedy")) -> None:
    """Writes `curve_figure(rows, title, anchors)` to `path` as a PNG."""
    import matplotlib.pyplot as plt

    picture = curve_figure(rows, title, anchors)
    try:
        with replacing(path, ".png") as partial:
            picture.savefig(partial, dpi=80)
    finally:
        plt.close(picture)


def curve_figure(rows: Sequence[dict[str, Any]], title: Optional[str] = None,
           anchors: Sequence[str] = ("random", "greedy")) -> Any:
    """Four panels against minutes of training: the score against each of `anchors` (random
    play and the greedy bot in a training run) with its 95 % interval (the 0.8 aim against
    greedy marked), the Elo differences against the same fixed anchors with their bands, the
    losses, and self-play positions per second. The caller closes the figure."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(2, 2, figsize=(10, 7), constrained_layout=True)
    score, elo, losses, speed = axes.flat

    score.axhline(0.5, color="grey", linewidth=0.8, linestyle=":")
    if "greedy" in anchors:
        score.axhline(GREEDY_AIM, color="tab:red", linewidth=0.8, linestyle="--",
                      label=f"aim against greedy: {GREEDY_AIM} in 20 minutes")
    elo.axhline(0, color="grey", linewidth=0.8, linestyle=":")
    for anchor, colour in zip(anchors, COLOURS):
        label = LABELS.get(anchor, anchor)
        for axis, measure in ((score, "score"), (elo, "elo")):
            xs, ys = _numbers(rows, f"{measure}_vs_{anchor}")
            _, low = _numbers(rows, f"{measure}_vs_{anchor}_low")
            _, high = _numbers(rows, f"{measure}_vs_{anchor}_high")
            if not xs:
                continue
            if len(low) == len(xs) == len(high):
                axis.fill_between(xs, low, high, alpha=0.2, color=colour)
            axis.plot(xs, ys, color=colour, label=f"against {label}", **MARKS)
    score.set_ylim(0, 1)
    score.set_title("score (95% interval)")
    score.legend(loc="lower right", fontsize=8)
    elo.set_title("Elo against fixed anchors (95% band)")
    if elo.get_legend_handles_labels()[0]:
        elo.legend(loc="lower right", fontsize=8)

    # The entropy is an order of magnitude larger than PPO's surrogate loss: it gets its own axis.
    spread_axis = losses.twinx()
    for axis, key, colour in ((losses, "policy_loss", "tab:purple"), (losses, "value_loss", "tab:orange"),
                              (spread_axis, "entropy", "tab:grey")):
        xs, ys = _numbers(rows, key)
        if xs:
            axis.plot(xs, ys, label=key.replace("_", " ") + (" (right)" if axis is spread_axis else ""),
                      color=colour, **MARKS)
    spread_axis.set_ylim(bottom=0)
    losses.set_title("losses")
    handles = [h for axis in (losses, spread_axis) for h in axis.get_legend_handles_labels()[0]]
    if handles:
        # Inside the panel the legend covered a line wherever it was put: it goes under the axis.
        losses.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=len(handles),
                      fontsize=8, frameon=False)

    xs, ys = _numbers(rows, "positions_per_second")
    if xs:
        speed.plot(xs, ys, color="tab:brown", **MARKS)
    speed.set_ylim(bottom=0)
    speed.set_title("self-play positions per second")

    for axis in axes.flat:
        axis.set_xlabel("minutes")
        axis.grid(alpha=0.3)
    if title:
        figure.suptitle(title, fontsize=10)
    return figure
