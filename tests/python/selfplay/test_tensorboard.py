"""train --tensorboard: metrics.csv's figures as TensorBoard scalars, read back with TensorBoard's
own EventAccumulator, through a resume and an overwrite."""

import sys

import pytest

from quellor_selfplay.commands.cli import main
from support.runs import rows_of

event_accumulator = pytest.importorskip("tensorboard.backend.event_processing.event_accumulator")

TINY = ["--games", "8", "--batch", "4", "--max-plies", "40", "--eval-every", "2", "--eval-games", "4",
        "--final-games", "6", "--channels", "8", "--blocks", "1", "--minibatch", "64", "--workers", "1",
        "--seed", "5", "--no-progress"]


def train(out, iterations, *extra):
    return main(["train", "--out", str(out), "--iterations", str(iterations), "--tensorboard", str(out / "tb"),
                 *TINY, *extra])


def scalars(folder):
    """{tag: [(step, value)]} as TensorBoard shows them."""
    accumulator = event_accumulator.EventAccumulator(str(folder), size_guidance={event_accumulator.SCALARS: 0})
    accumulator.Reload()
    return {tag: [(e.step, e.value) for e in accumulator.Scalars(tag)] for tag in accumulator.Tags()["scalars"]}


def expected(metrics_csv):
    """{column: [(iteration, value)]} of every filled cell of metrics.csv."""
    rows = rows_of(metrics_csv)
    columns = [c for c in rows[0] if c != "iteration"]
    return {c: [(int(r["iteration"]), float(r[c])) for r in rows if r[c] != ""] for c in columns}


def tag_of(column):
    for anchor in ("random", "greedy"):
        kind, sep, rest = column.partition(f"_vs_{anchor}")
        if sep:
            return f"vs {anchor}/{kind}{rest}"
    return ("learner/" if column in ("policy_loss", "value_loss", "entropy", "kl", "clip_fraction")
            else "progress/") + column


def same_figures(out):
    shown, table = scalars(out / "tb"), expected(out / "metrics.csv")
    assert set(shown) == {tag_of(c) for c in table}
    for column, cells in table.items():
        points = shown[tag_of(column)]
        # One point per iteration: nothing played again is shown twice.
        assert [step for step, _ in points] == [step for step, _ in cells], column
        assert [v for _, v in points] == pytest.approx([v for _, v in cells], rel=1e-6, abs=1e-6), column
    return table


def test_the_scalars_are_metrics_csv_through_resume_and_overwrite(tmp_path, capsys):
    out = tmp_path / "run"
    assert train(out, 2) == 0
    assert same_figures(out)["score_vs_greedy"][-1][0] == 2
    # Resumed: iteration 3 and its final evaluation follow in the same folder.
    assert train(out, 3, "--resume") == 0
    table = same_figures(out)
    assert [step for step, _ in table["games"]] == [0, 1, 2, 3]
    assert [step for step, _ in table["score_vs_random"]] == [0, 2, 3]
    # A new run over it: the earlier run's events no longer show.
    assert train(out, 1, "--overwrite", "--seed", "6") == 0
    assert [step for step, _ in same_figures(out)["games"]] == [0, 1]


def test_tensorboard_missing_names_the_extra(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "torch.utils.tensorboard", None)
    assert train(tmp_path / "run", 1) == 2
    assert ("--tensorboard: TensorBoard logging needs the tensorboard package, which is not installed: "
            "pip install 'quellor[tensorboard]'") in capsys.readouterr().err
    assert not (tmp_path / "run").exists()
