"""A training run's figures as TensorBoard scalars, beside metrics.csv (which stays the record).

Every column of metrics.csv but the iteration becomes a scalar whose step is the iteration:
`progress/` (minutes, games, positions, positions per second), `learner/` (the PPO losses and
statistics) and one group per fixed opponent (`vs greedy/score`, `vs greedy/elo_low`...). A
resumed run writes into the same folder: the writer opens with TensorBoard's purge step at the
first iteration it will write, so the events of iterations that are played again are dropped
instead of shown twice. Rewriting a row (the final evaluation replaces the figures of its
iteration) does the same from that iteration on.

    tensorboard --logdir DIR

needs the `tensorboard` package (`pip install 'quellor[tensorboard]'`).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any, Optional

INSTALL_HINT = "pip install 'quellor[tensorboard]'"

GROUPS = {"minutes": "progress", "games": "progress", "positions": "progress", "positions_per_second": "progress",
          "policy_loss": "learner", "value_loss": "learner", "entropy": "learner", "kl": "learner",
          "clip_fraction": "learner"}


class TensorBoardMissing(ImportError):
    """The tensorboard package is not installed."""


def writer_class() -> Any:
    """torch's SummaryWriter; TensorBoardMissing, naming the extra to install, without it."""
    try:
        from torch.utils.tensorboard import SummaryWriter
    except ImportError:
        raise TensorBoardMissing(f"TensorBoard logging needs the tensorboard package, which is not installed: "
                                 f"{INSTALL_HINT}") from None
    return SummaryWriter


def tags(anchors: Iterable[str], measures: Iterable[str], column: Callable[[str, str], str]) -> dict[str, str]:
    """{metrics.csv column: scalar tag} for a run evaluated against `anchors` on `measures`,
    `column(measure, anchor)` naming the column of each."""
    out = {name: f"{group}/{name}" for name, group in GROUPS.items()}
    out.update({column(measure, anchor): f"vs {anchor}/{measure}" for anchor in anchors for measure in measures})
    return out


class Scalars:
    """Writes metrics rows to the TensorBoard event folder `folder`; the first row written is that
    of iteration `first_step` (0 for a new run: whatever an earlier run left there is hidden)."""

    def __init__(self, folder: Path, first_step: int, columns: Mapping[str, str]) -> None:
        self.folder = Path(folder)
        self.columns = dict(columns)
        self._writer_class = writer_class()
        self._writer = self._open(first_step)

    def _open(self, first_step: int) -> Any:
        return self._writer_class(str(self.folder), purge_step=first_step)

    def add(self, row: Mapping[str, Any], step: int, replace: bool = False) -> None:
        """The figures of `row` at `step`; with `replace`, instead of any written at `step` or after."""
        if replace:
            self._writer.close()
            self._writer = self._open(step)
        for column, tag in self.columns.items():
            value = _number(row.get(column))
            if value is not None:
                self._writer.add_scalar(tag, value, global_step=step)
        # One row per iteration: written at once, so that TensorBoard shows it live and a run
        # killed outright loses none.
        self._writer.flush()

    def close(self) -> None:
        self._writer.close()


def _number(value: Any) -> Optional[float]:
    if value is None or value == "":
        return None
    try:
        return float(value)
    except (TypeError, ValueError):
        return None
