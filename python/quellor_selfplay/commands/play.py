"""quellor-selfplay play: games in shards, written as they finish, resumable.

The run's games are cut into shards of --shard-size games; shard i holds games
i * size .. (i + 1) * size - 1, played --batch at a time in one GameBatch, with every random
choice drawn from the run's seed and i. A shard therefore holds the same games whichever worker
plays it and whenever, which is what makes --resume and the Ray back end give the data of an
uninterrupted local run. Each finished shard is written (through a temporary file) and entered
in manifest.json before the next result is taken, so an interrupted run keeps every finished
shard and nothing half-written.
"""

from __future__ import annotations

import contextlib
import dataclasses
import platform
import time
from typing import Any, Optional

import torch
from tqdm import tqdm

import quellor
from quellor_selfplay import SUMMARY_FILE, data, fog
from quellor_selfplay.arena import derive_seed
from quellor_selfplay.commands.common import check_device, check_ray, version
from quellor_selfplay.commands.errors import Stopped, UsageError, stop_on_sigterm
from quellor_selfplay.config import PlayConfig, ResumeError, check_resume, resume_settings
from quellor_selfplay.fileio import file_digest, write_json
from quellor_selfplay.net import DEFAULT_HIDDEN, CheckpointError, save_checkpoint, seeded_net
from quellor_selfplay.players import (PlayerConfig, PlayerError, checkpoint_player, load_player, player_file,
                                      player_form)
from quellor_selfplay.runner import Job, Segment, backend, default_workers, ray_connection

FOG_PATTERNS = ("fog-g*-p*.svg", "fog-g*-p*.txt")
DEFAULT_SHOW_PLY = 20


def _player(config: PlayConfig) -> tuple[PlayerConfig, Optional[str]]:
    """The run's player and the observation layout its network was trained on, if known."""
    if config.policy != "net":
        return load_player(config.policy), None
    if config.checkpoint is None:
        return PlayerConfig.of_net(seeded_net(config.run.seed, config.hidden or DEFAULT_HIDDEN), "net"), None
    source = str(config.checkpoint)
    try:
        # --checkpoint names a file: a name of no form of player is a checkpoint that is missing.
        player = load_player(source, "net") if player_form(source) else checkpoint_player(source, "net")
    except (CheckpointError, PlayerError) as err:
        raise UsageError(str(err)) from None
    return player, player.observation


def check_options(config: PlayConfig) -> None:
    if config.policy != "net" and (config.checkpoint or config.hidden or config.save_net):
        raise UsageError("--checkpoint, --hidden and --save-net go with --policy net")
    if config.checkpoint and config.hidden:
        raise UsageError("--hidden is for a fresh network; a checkpoint brings its own")
    if config.save_net is not None and not config.save_net.resolve().parent.is_dir():
        raise UsageError(f"--save-net {config.save_net}: its directory does not exist")
    if config.show is not None and config.show[0] >= config.games:
        raise UsageError(f"--show names game {config.show[0]}, but only {config.games} are played")
    if config.resume and config.overwrite:
        raise UsageError("--resume continues the run in --out; --overwrite replaces it: pick one")
    check_device(config.run.device)
    start_fen = config.game.start_fen
    if start_fen is not None:
        try:
            quellor.SelfPlayGame(start_fen)
        except ValueError as err:
            raise UsageError(f"--start-fen {start_fen!r}: {err}") from None
    out = config.out
    if out.exists() and not out.is_dir():
        raise UsageError(f"--out {out} exists and is not a directory")
    earlier = [out / name for name in (data.MANIFEST, SUMMARY_FILE, "selfplay.pt")]
    if config.resume:
        if not (out / data.MANIFEST).exists():
            raise UsageError(f"--resume: {out} holds no run to resume")
    elif not config.overwrite and any(path.exists() for path in earlier):
        raise UsageError(f"{out} already holds a self-play run; pass --overwrite to replace it "
                         f"or --resume to finish it")
    check_ray(config.scale.ray)


def _settings(config: PlayConfig, player: PlayerConfig) -> dict[str, Any]:
    """What decides the run's games: a resumed run must be given the same."""
    settings = resume_settings(config)
    settings["checkpoint"] = str(config.checkpoint) if config.checkpoint else None
    source = player_file(str(config.checkpoint)) if config.checkpoint else None
    settings["checkpoint_sha256"] = file_digest(source) if source else None
    settings["hidden"] = (player.config or {}).get("hidden") if player.kind == "net" else None
    return settings


def _prepare_out(config: PlayConfig, settings: dict[str, Any]) -> data.RunWriter:
    """The writer of the run: the earlier one on --resume (refused when its settings differ),
    its gone or damaged shards to be played again, else a fresh one (`_clear_out` empties --out
    for it)."""
    out = config.out
    if config.resume:
        try:
            writer = data.RunWriter.resume(out, len(data.shard_games(config.games, config.shard_size)),
                                           config.compress)
            check_resume(writer.run, settings, out)
        except (data.DataError, ResumeError) as err:
            raise UsageError(f"--resume: {err}") from None
        return writer
    return data.RunWriter.start(out, settings, [config.policy], config.compress)


def _clear_out(config: PlayConfig) -> None:
    """Removes an earlier run's files from --out before a new run writes there. Left until the
    games can be played (a cluster joined), so that a run that cannot start loses nothing."""
    out = config.out
    if not config.resume and out.exists():
        # The old summary and manifest go first: should this run stop half-way, the old run's
        # files must not describe its data.
        for name in (SUMMARY_FILE, data.MANIFEST, "selfplay.pt"):
            (out / name).unlink(missing_ok=True)
        for pattern in (*FOG_PATTERNS, f"{data.SHARD_DIR}/shard-*.npz", f"{data.SHARD_DIR}/.shard-*.partial"):
            for stale in out.glob(pattern):
                stale.unlink()


def play(config: PlayConfig) -> int:
    check_options(config)
    player, trained_on = _player(config)
    observation = config.game.observation or trained_on or "history"
    if config.game.observation and trained_on and config.game.observation != trained_on:
        raise UsageError(f"--observation {config.game.observation}: the checkpoint was trained on {trained_on!r} "
                         f"observations")
    config = dataclasses.replace(config, game=dataclasses.replace(config.game, observation=observation))
    settings = _settings(config, player)
    writer = _prepare_out(config, settings)
    done = writer.done
    ranges = data.shard_games(config.games, config.shard_size)
    segments = [
        Segment(i, tuple((g, 0, 0) for g in games), derive_seed(config.run.seed, "shard", i))
        for i, games in enumerate(ranges) if i not in done
    ]
    job = Job(config.game, (player,), config.run.batch, config.run.device)
    workers = config.scale.workers or default_workers()

    finished_before = writer.games
    positions = 0
    counted_in_flight = 0
    written = 0
    connect_seconds = 0.0
    started = time.perf_counter()
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=config.games, initial=finished_before, unit="game",
                                       desc="self-play", disable=not config.run.progress, dynamic_ncols=True))

        def on_game(plies: int) -> None:
            nonlocal positions, counted_in_flight
            positions += plies
            counted_in_flight += 1
            bar.update(1)
            bar.set_postfix_str(f"{positions / (time.perf_counter() - started):,.0f} positions/s",
                                refresh=False)

        try:
            ray = None
            if config.scale.ray is not None and segments:
                connect_started = time.perf_counter()
                ray = stack.enter_context(ray_connection(config.scale.ray, workers))
                # ray.init puts in a SIGTERM handler of its own, which exits at once.
                stop_on_sigterm()
                connect_seconds = time.perf_counter() - connect_started
            _clear_out(config)
            started = time.perf_counter()
            if segments:
                runner = stack.enter_context(backend(
                    min(workers, len(segments)) if ray is None else (config.scale.workers or None), ray, on_game))
                for index, arrays in runner.submit(job, segments).as_completed():
                    entry = writer.add(index, ranges[index], arrays)
                    written += 1
                    if counted_in_flight == 0:
                        positions += entry["rows"]
                    bar.update(entry["games"] - counted_in_flight)
                    counted_in_flight = 0
                    bar.set_postfix_str(f"{positions / (time.perf_counter() - started):,.0f} positions/s",
                                        refresh=False)
        except KeyboardInterrupt:
            kept = len(writer.shards)
            if not kept:
                # Stopped before any shard was written (joining a cluster, say): nothing to resume.
                raise
            raise Stopped(f"{kept} complete shard{'s' if kept != 1 else ''} "
                          f"({writer.games} games) kept in {config.out}; "
                          f"run the same command with --resume to finish") from None
    play_seconds = time.perf_counter() - started
    writer.finish()
    return _finish(config, writer.manifest, player, positions, play_seconds, connect_seconds, written)


def _finish(config: PlayConfig, manifest: dict[str, Any], player: PlayerConfig, positions: int,
            play_seconds: float, connect_seconds: float, written: int) -> int:
    out = config.out
    if config.save_net is not None:
        if player.kind == "script":
            assert player.script is not None
            config.save_net.write_bytes(player.script)
        else:
            save_checkpoint(player.model(), config.save_net, observation=manifest["run"]["observation"])

    table = data.game_table(out)
    counts = data.summarize(table)
    data_bytes = sum(entry["bytes"] for entry in manifest["shards"])
    game, ply = config.show if config.show is not None else (0, DEFAULT_SHOW_PLY)
    record = data.game_record(out, game)
    moves = record["moves"]
    if config.show is not None and ply > len(moves):
        print(f"Game {game} has {len(moves)} plies; picturing its last position.")
    ply = min(ply, len(moves))
    view = fog.fog_view(moves, ply, game, record["start_fen"])
    svg_path = out / f"fog-g{game}-p{ply}.svg"
    text_path = out / f"fog-g{game}-p{ply}.txt"
    text = fog.render_text(view)
    svg_path.write_text(fog.render_svg(view), encoding="utf-8")
    text_path.write_text(text, encoding="utf-8")

    summary = {
        **counts,
        "seed": config.run.seed,
        # Of the games this command played (a resumed run's earlier games are not timed here).
        "positions_per_second": round(positions / max(play_seconds, 1e-9), 1),
        "seconds": {"connect": round(connect_seconds, 3), "play": round(play_seconds, 3)},
        "settings": {
            **manifest["run"],
            "workers": None if config.scale.ray is not None else config.scale.workers,
            "ray": config.scale.ray,
            "device": config.run.device,
        },
        "files": {
            "manifest": data.MANIFEST,
            "shards": len(manifest["shards"]),
            "data_bytes": data_bytes,
            "bytes_per_row_on_disk": round(data_bytes / max(counts["positions"], 1), 1),
            "bytes_per_row_in_memory": data.ROW_BYTES,
            "fog_svg": svg_path.name,
            "fog_text": text_path.name,
        },
        "versions": {"quellor": version("quellor"), "torch": torch.__version__,
                     "python": platform.python_version()},
    }
    write_json(summary, out / SUMMARY_FILE)

    results = counts["results"]
    resumed = f" ({written} shards played now)" if config.resume else ""
    print(
        f"{counts['games']} games, {counts['positions']} positions{resumed} in {play_seconds:.1f} s "
        f"({summary['positions_per_second']:,.0f} positions/s); White won {results['white wins']}, "
        f"Black won {results['black wins']}, {results['draws']} drawn"
    )
    print("Endings: " + ", ".join(f"{k} {v}" for k, v in counts["endings"].items()))
    print(f"Wrote {len(manifest['shards'])} shards ({data_bytes / 2**20:.1f} MiB, "
          f"{summary['files']['bytes_per_row_on_disk']:,.0f} bytes a position), {data.MANIFEST}, "
          f"{SUMMARY_FILE}, {svg_path.name}, {text_path.name} in {out}\n")
    print(text, end="")
    return 0
