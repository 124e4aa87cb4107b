"""quellor-selfplay show: what each side saw at one ply of a recorded game, as text and SVG, or
the whole game as a replay page."""

from __future__ import annotations

import json
from typing import Any

from quellor_selfplay import SUMMARY_FILE, data, fog
from quellor_selfplay.commands.errors import UsageError
from quellor_selfplay.config import ShowConfig
from quellor_selfplay.fileio import write_text
from quellor_selfplay.replay import ReplayError, build_page


def load_game(config: ShowConfig) -> dict[str, Any]:
    """The recorded game: moves, start position and result, from a sharded run or the summary
    of an older one."""
    run, game = config.run, config.game
    if (run / data.MANIFEST).exists():
        try:
            record = data.game_record(run, game)
        except data.DataError as err:
            raise UsageError(str(err)) from None
        if record["result"] is not None and record["ending"] is not None:
            record["result"] = f"{record['result']} ({record['ending']})"
        return record
    path = run / SUMMARY_FILE
    try:
        summary = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise UsageError(f"{run} holds no {SUMMARY_FILE}: is it the --out of a play run?") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as err:
        raise UsageError(f"{path} is not valid JSON: {err}") from None
    records = summary.get("game_records") if isinstance(summary, dict) else None
    if not isinstance(records, list):
        raise UsageError(f"{path} has no game records")
    if game >= len(records):
        raise UsageError(f"game {game} does not exist: the run has {len(records)} games")
    record = records[game]
    moves = record.get("moves") if isinstance(record, dict) else None
    start_fen = record.get("start_fen") if isinstance(record, dict) else None
    if not isinstance(moves, list) or not all(isinstance(m, str) for m in moves) or not (
        start_fen is None or isinstance(start_fen, str)
    ):
        raise UsageError(f"{path}: the record of game {game} is malformed")
    result, ending = record.get("result"), record.get("ending")
    if isinstance(result, str) and isinstance(ending, str):
        result = f"{result} ({ending})"
    return {"moves": moves, "start_fen": start_fen,
            "result": result if isinstance(result, str) else None}


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
