"""The training set on disk: one `torch.load`-able file and a JSON summary beside it.

The data file is a dict of tensors, one row per decision, games in order:

    observations  N x 64 x 106 float32   what the mover was shown (`SelfPlayGame.encode()`)
    actions       N int64                the chosen move's slot (`SelfPlayGame.action_index`)
    values        N float32              the game's result from the mover's side: 1, -1 or 0
    game          N int64                the game each row comes from
    ply           N int64                the row's ply within its game

Observations are mostly zeros, so by default the file's zip entries are deflated; torch.load
reads such a file as it is. `compress=False` keeps torch.save's own stored layout, which
`torch.load(..., mmap=True)` needs.

Both files are written to a temporary name and renamed into place, so a failed or interrupted
run never leaves a half-written file under the final name.
"""

from __future__ import annotations

import io
import json
import os
import shutil
import zipfile
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import torch

from quellor_selfplay.episode import ENDINGS, OBS_COLS, OBS_ROWS, GameRecord, unpack_observations

DATA_KEYS = ("observations", "actions", "values", "game", "ply")
# Level 1 already shrinks the 0/1 planes about twentyfold; higher levels cost far more time
# for a few per cent.
COMPRESS_LEVEL = 1


def assemble(records: Sequence[GameRecord]) -> dict[str, torch.Tensor]:
    """The data file's tensors, rows in game order then ply order."""
    if records:
        packed = np.concatenate([r.packed_observations for r in records])
        observations = unpack_observations(packed)
    else:
        observations = np.zeros((0, OBS_ROWS, OBS_COLS), dtype=np.float32)

    def cat(arrays: list[Any], dtype: Any) -> torch.Tensor:
        joined = np.concatenate(arrays).astype(dtype) if arrays else np.zeros(0, dtype=dtype)
        return torch.from_numpy(joined)

    return {
        "observations": torch.from_numpy(observations),
        "actions": cat([r.actions for r in records], np.int64),
        "values": cat([r.values for r in records], np.float32),
        "game": cat([np.full(r.plies, r.game) for r in records], np.int64),
        "ply": cat([np.arange(r.plies) for r in records], np.int64),
    }


def _temporary(path: Path) -> Path:
    return path.with_name(f".{path.name}.partial")


def write_training_file(tensors: Mapping[str, torch.Tensor], path: Path, compress: bool) -> int:
    """Writes the tensors to `path` in place of any file there; returns the file's size."""
    partial = _temporary(path)
    try:
        if compress:
            buffer = io.BytesIO()
            torch.save(dict(tensors), buffer)
            buffer.seek(0)
            with zipfile.ZipFile(buffer) as stored, zipfile.ZipFile(
                partial, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=COMPRESS_LEVEL
            ) as deflated:
                for entry in stored.infolist():
                    target = zipfile.ZipInfo(entry.filename, date_time=entry.date_time)
                    target.compress_type = zipfile.ZIP_DEFLATED
                    big = entry.file_size >= zipfile.ZIP64_LIMIT
                    with stored.open(entry) as src, deflated.open(
                        target, "w", force_zip64=big
                    ) as dst:
                        shutil.copyfileobj(src, dst, 1 << 20)
        else:
            torch.save(dict(tensors), partial)
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
    return path.stat().st_size


def write_json(data: Any, path: Path) -> None:
    partial = _temporary(path)
    try:
        partial.write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)


def load_training_file(path: Path) -> dict[str, torch.Tensor]:
    """Reads a data file the way a learner would, and checks that its columns line up."""
    data: Any = torch.load(path, map_location="cpu", weights_only=True)
    if not isinstance(data, dict) or any(key not in data for key in DATA_KEYS):
        raise ValueError(f"{path} is not a self-play data file")
    rows = len(data["actions"])
    if any(len(data[key]) != rows for key in DATA_KEYS):
        raise ValueError(f"{path} has columns of different lengths")
    return data


def game_summaries(records: Sequence[GameRecord]) -> list[dict[str, Any]]:
    entries = []
    first = 0
    for r in records:
        entries.append(
            {
                "game": r.game,
                "plies": r.plies,
                "result": r.result,
                "ending": r.ending,
                "first_row": first,
                "start_fen": r.start_fen,
                "moves": r.moves,
            }
        )
        first += r.plies
    return entries


def summarize(records: Sequence[GameRecord]) -> dict[str, Any]:
    """Counts over the games: plies, results and how the games ended."""
    plies = [r.plies for r in records]
    results = {"white wins": 0, "black wins": 0, "draws": 0}
    for r in records:
        key = "draws" if r.winner is None else "white wins" if r.winner else "black wins"
        results[key] += 1
    endings = {ending: sum(r.ending == ending for r in records) for ending in ENDINGS}
    return {
        "games": len(records),
        "positions": sum(plies),
        "plies": {
            "total": sum(plies),
            "mean": round(sum(plies) / len(plies), 2) if plies else 0.0,
            "min": min(plies, default=0),
            "max": max(plies, default=0),
        },
        "results": results,
        "endings": endings,
    }
