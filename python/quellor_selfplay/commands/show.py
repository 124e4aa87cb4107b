"""quellor-selfplay show: what each side saw at one ply of a recorded game, as text and SVG, or
the whole game as a replay page."""

from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

from quellor_selfplay import SUMMARY_FILE, data, fog
from quellor_selfplay.commands.errors import UsageError
from quellor_selfplay.config import ShowConfig
from quellor_selfplay.fileio import write_text
from quellor_selfplay.replay import ReplayError, build_page


def _unreadable(run: Path) -> Optional[str]:
    """Why `run` holds no games to show, when that can be told from its files: it does not exist,
    or it is a training run's folder, whose games are a play run per iteration in data/."""
    if not run.exists():
        return f"{run} does not exist"
    if not run.is_dir():
        return f"{run} is not a directory"
    if (run / data.MANIFEST).exists() or (run / SUMMARY_FILE).exists():
        return None
    for folder, what in ((run / "data", f"{run} is a training run: the games of its last iterations are in "
                                         f"data/iter-NNNNN"),
                         (run, f"{run} holds a training run's games, a play run per iteration in iter-NNNNN")):
        iterations = sorted((p for p in folder.glob("iter-*") if p.name[5:].isdigit() and (p / data.MANIFEST).exists()),
                            key=lambda p: int(p.name[5:]))
        if iterations:
            return f"{what}, the newest in {iterations[-1]}; show that folder"
    if (run / "checkpoints").is_dir() or (run / "metrics.csv").exists():
        return f"{run} is a training run that kept no games (train --keep-data 0, or an exploit run)"
    return None


def load_game(config: ShowConfig) -> dict[str, Any]:
    """The recorded game: moves, start position and result (with how the game ended)."""
    reason = _unreadable(config.run)
    if reason is not None:
        raise UsageError(reason)
    try:
        record = data.game_record(config.run, config.game)
    except data.DataError as err:
        raise UsageError(str(err)) from None
    if record["result"] is not None and record["ending"] is not None:
        record["result"] = f"{record['result']} ({record['ending']})"
    return record


def show(config: ShowConfig) -> int:
    record = load_game(config)
    moves = record["moves"]
    if config.ply > len(moves):
        raise UsageError(f"ply {config.ply} does not exist: game {config.game} has {len(moves)} plies")
    if config.html:
        return show_html(config, record)
    try:
        view = fog.fog_view(moves, config.ply, config.game, record.get("start_fen"))
    except (ValueError, RuntimeError) as err:
        raise UsageError(f"game {config.game} cannot be replayed: {err}") from None
    svg_path = config.run / f"fog-g{config.game}-p{config.ply}.svg"
    svg_path.write_text(fog.render_svg(view), encoding="utf-8")
    text = fog.render_text(view)
    (config.run / f"fog-g{config.game}-p{config.ply}.txt").write_text(text, encoding="utf-8")
    print(text, end="")
    print(f"\nWrote {svg_path}")
    return 0


def show_html(config: ShowConfig, record: dict[str, Any]) -> int:
    try:
        page = build_page(record["moves"], record["start_fen"], title=f"{config.run.name}: game {config.game}",
                          result=record["result"], start_ply=config.ply)
    except ReplayError as err:
        raise UsageError(f"game {config.game} cannot be replayed: {err}") from None
    path = config.run / f"replay-g{config.game}.html"
    write_text(page, path)
    print(f"Wrote {path}")
    return 0
