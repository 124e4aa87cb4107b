"""The learning curve: every panel shows its points however few, and no legend covers them."""

import matplotlib.pyplot as plt
import numpy as np
import pytest

from quellor_selfplay.curve import curve_figure, draw

ANCHORS = ("random", "greedy")


def metric_rows(count, value_loss=lambda i: 0.3 - 0.01 * i):
    """`count` metrics.csv rows, every column filled, half a minute apart."""
    rows = []
    for i in range(count):
        row = {"iteration": i, "minutes": 0.5 * i, "positions_per_second": 3000.0 + 100 * i,
               "policy_loss": -0.01 + 0.002 * i, "value_loss": value_loss(i), "entropy": 3.0 - 0.1 * i}
        for anchor in ANCHORS:
            score = min(1.0, 0.3 + 0.1 * i)
            row.update({f"score_vs_{anchor}": score, f"score_vs_{anchor}_low": max(0.0, score - 0.1),
                        f"score_vs_{anchor}_high": min(1.0, score + 0.1), f"elo_vs_{anchor}": 100.0 * i,
                        f"elo_vs_{anchor}_low": 100.0 * i - 50, f"elo_vs_{anchor}_high": 100.0 * i + 50})
        rows.append(row)
    return rows


@pytest.fixture
def drawn():
    figures = []

    def make(rows):
        figures.append(curve_figure(rows, "test", ANCHORS))
        figures[-1].canvas.draw()
        return figures[-1]

    yield make
    for figure in figures:
        plt.close(figure)


def data_lines(axis, minutes):
    """The lines of `axis` drawn through the rows' points (not the reference lines)."""
    return [line for line in axis.get_lines() if list(np.asarray(line.get_xdata(), float)) == minutes]


@pytest.mark.parametrize("count", [1, 2, 7])
def test_every_panel_marks_its_points(drawn, count):
    rows = metric_rows(count)
    figure = drawn(rows)
    minutes = [row["minutes"] for row in rows]
    score, elo, losses, speed = figure.axes[:4]
    spread = figure.axes[4]
    expected = {"score": (score, 2), "elo": (elo, 2), "losses": (losses, 2), "entropy": (spread, 1),
                "speed": (speed, 1)}
    for name, (axis, lines) in expected.items():
        found = data_lines(axis, minutes)
        assert len(found) == lines, name
        # One point of a line without markers draws nothing at all.
        assert all(line.get_marker() not in (None, "None", "", " ") and line.get_markersize() > 0
                   for line in found), name


@pytest.mark.parametrize("value_loss", [lambda i: 0.3 - 0.01 * i, lambda i: 0.01 * i, lambda i: 0.2],
                         ids=["falling", "rising", "flat"])
def test_the_losses_legend_covers_no_point(drawn, value_loss):
    rows = metric_rows(9, value_loss)
    figure = drawn(rows)
    losses, spread = figure.axes[2], figure.axes[4]
    box = losses.get_legend().get_window_extent()
    assert [text.get_text() for text in losses.get_legend().get_texts()] == [
        "policy loss", "value loss", "entropy (right)"]
    for axis in (losses, spread):
        for line in axis.get_lines():
            points = axis.transData.transform(np.column_stack([line.get_xdata(), line.get_ydata()]))
            assert not any(box.contains(x, y) for x, y in points), line.get_label()


def test_draw_writes_a_png_with_markers_of_one_point(tmp_path):
    path = tmp_path / "curve.png"
    draw(metric_rows(1), path, "one point")
    image = plt.imread(path)
    # The speed panel (bottom right) of a one-row run: its single point is drawn in tab:brown.
    height, width = image.shape[:2]
    corner = image[height // 2:, width // 2:, :3]
    brown = np.array([0x8C, 0x56, 0x4B]) / 255
    assert (np.abs(corner - brown).max(axis=2) < 0.08).sum() >= 4
