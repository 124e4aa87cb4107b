"""The play command: games in shards, written as they finish, resumable.

The run's games are cut into shards of --shard-size games; shard i holds games
i * size .. (i + 1) * size - 1, played --batch at a time in one GameBatch, with every random
choice drawn from the run's seed and i. A shard therefore holds the same games whichever worker
plays it and whenever, which is what makes --resume and the Ray back end give the data of an
uninterrupted local run. Each finished shard is written (through a temporary file) and entered
in manifest.json before the next result is taken, so an interrupted run keeps every finished
shard and nothing half-written.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import platform
import time
from pathlib import Path
from typing import Any, Optional

import numpy as np

from quellor_selfplay import SUMMARY_FILE, data
from quellor_selfplay.arena import Table, derive_seed
from quellor_selfplay.cli import Stopped, UsageError, version
from quellor_selfplay.codes import code_move
from quellor_selfplay.episode import ENDINGS

FOG_PATTERNS = ("fog-g*-p*.svg", "fog-g*-p*.txt")
DEFAULT_SHOW_PLY = 20


def file_digest(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def shard_games(games: int, size: int) -> list[range]:
    return [range(start, min(start + size, games)) for start in range(0, games, size)]


# ---------------------------------------------------------------------------------------------
# Reading a run back


def game_table(run: Path) -> dict[str, np.ndarray]:
    """The game rows of every complete shard of a run, in game order."""
    parts: dict[str, list[np.ndarray]] = {key: [] for key in data.GAME_FIELDS}
    for path in data.shard_paths(run):
        with np.load(path, allow_pickle=False) as archive:
            for key in parts:
                parts[key].append(archive[key])
    table = {key: np.concatenate(v) if v else np.zeros(0, dtype) for (key, v), dtype in
             zip(parts.items(), data.GAME_FIELDS.values())}
    order = np.argsort(table["game_index"], kind="stable")
    return {key: value[order] for key, value in table.items()}


def game_record(run: Path, game: int) -> dict[str, Any]:
    """One game of a run: its moves (UCI), start position (None: the usual one), result
    ("1-0", "0-1", "1/2-1/2") and ending."""
    manifest = data.read_manifest(run)
    for entry in manifest["shards"]:
        first = entry.get("first_game", 0)
        if first <= game < first + entry.get("games", 0):
            shard = data.read_shard(Path(run) / entry["file"])
            rows = shard["game"] == game
            record: dict[str, Any] = {"moves": [code_move(int(c)).uci() for c in shard["move"][rows]],
                                      "start_fen": manifest["run"].get("start_fen"),
                                      "result": None, "ending": None}
            at = np.flatnonzero(shard["game_index"] == game)
            if len(at):
                result, ending = int(shard["game_result"][at[0]]), int(shard["game_ending"][at[0]])
                record["result"] = "1-0" if result > 0 else "0-1" if result < 0 else "1/2-1/2"
                record["ending"] = ENDINGS[ending] if 0 <= ending < len(ENDINGS) else None
            return record
    games = manifest["run"].get("games", 0)
    if 0 <= game < games:
        raise UsageError(f"game {game} is in a shard this run has not finished: run it again with --resume")
    raise UsageError(f"game {game} does not exist: the run has {games} games")


def game_moves(run: Path, game: int) -> tuple[list[str], Optional[str]]:
    """The moves (UCI) of one game of a run, and its start position (None: the usual one)."""
    record = game_record(run, game)
    return record["moves"], record["start_fen"]


def summarize(table: dict[str, np.ndarray]) -> dict[str, Any]:
    """Counts over the games: plies, results and how the games ended."""
    plies = table["game_plies"].astype(np.int64)
    results = table["game_result"]
    count = len(plies)
    return {
        "games": count,
        "positions": int(plies.sum()),
        "plies": {
            "total": int(plies.sum()),
            "mean": round(float(plies.mean()), 2) if count else 0.0,
            "min": int(plies.min()) if count else 0,
            "max": int(plies.max()) if count else 0,
        },
        "results": {"white wins": int((results > 0).sum()), "black wins": int((results < 0).sum()),
                    "draws": int((results == 0).sum())},
        "endings": {ending: int((table["game_ending"] == i).sum()) for i, ending in enumerate(ENDINGS)},
    }


# ---------------------------------------------------------------------------------------------
# The command


def _player(args: argparse.Namespace) -> tuple[Any, Optional[str]]:
    """The run's PlayerConfig and the observation layout its network was trained on, if known."""
    from quellor_selfplay.net import DEFAULT_HIDDEN, CheckpointError, seeded_net
    from quellor_selfplay.players import PlayerConfig, load_player

    if args.policy == "random":
        return PlayerConfig.random(), None
    if args.checkpoint is None:
        return PlayerConfig.of_net(seeded_net(args.seed, args.hidden or DEFAULT_HIDDEN), "net"), None
    try:
        player = load_player(str(args.checkpoint), "net")
    except CheckpointError as err:
        raise UsageError(str(err)) from None
    return player, player.observation


def check_options(args: argparse.Namespace) -> None:
    if args.policy != "net" and (args.checkpoint or args.hidden or args.save_net):
        raise UsageError("--checkpoint, --hidden and --save-net go with --policy net")
    if args.checkpoint and args.hidden:
        raise UsageError("--hidden is for a fresh network; a checkpoint brings its own")
    if args.save_net is not None and not args.save_net.resolve().parent.is_dir():
        raise UsageError(f"--save-net {args.save_net}: its directory does not exist")
    if args.ray is not None and not args.ray.strip():
        raise UsageError("--ray needs an address, 'auto' or 'local'")
    if args.show is not None and args.show[0] >= args.games:
        raise UsageError(f"--show names game {args.show[0]}, but only {args.games} are played")
    if args.resume and args.overwrite:
        raise UsageError("--resume continues the run in --out; --overwrite replaces it: pick one")
    check_device(args.device)
    if args.start_fen is not None:
        import quellor

        try:
            quellor.SelfPlayGame(args.start_fen)
        except ValueError as err:
            raise UsageError(f"--start-fen {args.start_fen!r}: {err}") from None
    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    earlier = [args.out / name for name in (data.MANIFEST, SUMMARY_FILE, "selfplay.pt")]
    if args.resume:
        if not (args.out / data.MANIFEST).exists():
            raise UsageError(f"--resume: {args.out} holds no run to resume")
    elif not args.overwrite and any(path.exists() for path in earlier):
        raise UsageError(f"{args.out} already holds a self-play run; pass --overwrite to replace it "
                         f"or --resume to finish it")


def check_device(device: str) -> None:
    import torch

    try:
        where = torch.device(device)
    except (RuntimeError, ValueError) as err:
        raise UsageError(f"--device {device!r}: {err}") from None
    if where.type == "cuda" and not torch.cuda.is_available():
        raise UsageError(f"--device {device!r}: CUDA is not available here")


def _settings(args: argparse.Namespace, player: Any, observation: str) -> dict[str, Any]:
    """What decides the run's games: a resumed run must be given the same."""
    return {
        "games": args.games,
        "max_plies": args.max_plies,
        "policy": args.policy,
        "checkpoint": str(args.checkpoint) if args.checkpoint else None,
        "checkpoint_sha256": file_digest(args.checkpoint) if args.checkpoint else None,
        "hidden": (player.config or {}).get("hidden") if player.kind == "net" else None,
        "start_fen": args.start_fen,
        "seed": args.seed,
        "rules": args.rules,
        "observation": observation,
        "batch": args.batch,
        "shard_size": args.shard_size,
        "compressed": args.compress,
    }


def _prepare_out(args: argparse.Namespace, settings: dict[str, Any]) -> dict[str, Any]:
    """The manifest to extend: the earlier one on --resume (refused when its settings differ),
    else a fresh one in an emptied --out."""
    if args.resume:
        try:
            manifest = data.read_manifest(args.out)
        except data.DataError as err:
            raise UsageError(f"--resume: {err}") from None
        earlier = manifest["run"]
        differ = [k for k in settings if earlier.get(k) != settings[k]]
        if differ:
            k = differ[0]
            raise UsageError(f"--resume: the run in {args.out} was made with {k} = {earlier.get(k)!r}, "
                             f"not {settings[k]!r}; give the options it was started with")
        # A shard named in the manifest but gone or damaged is played again.
        manifest["shards"] = [s for s in manifest["shards"] if _whole(args.out / s["file"], s)]
        manifest["complete"] = len(manifest["shards"]) == len(shard_games(args.games, args.shard_size))
        return manifest
    if args.out.exists():
        # The old summary and manifest go first: should this run stop half-way, the old run's
        # files must not describe its data.
        for name in (SUMMARY_FILE, data.MANIFEST, "selfplay.pt"):
            (args.out / name).unlink(missing_ok=True)
        for pattern in (*FOG_PATTERNS, f"{data.SHARD_DIR}/shard-*.npz", f"{data.SHARD_DIR}/.shard-*.partial"):
            for stale in args.out.glob(pattern):
                stale.unlink()
    # Written with the first shard: a run that ends before it leaves nothing behind.
    return data.new_manifest(settings, ["net" if args.policy == "net" else "random"])


def _whole(path: Path, entry: dict[str, Any]) -> bool:
    return path.exists() and path.stat().st_size == entry.get("bytes")


def play(args: argparse.Namespace, stop_on_sigterm: Any) -> int:
    check_options(args)
    from quellor_selfplay.runner import RunError, backend, default_workers, import_ray, ray_connection

    if args.ray is not None:
        try:
            import_ray()
        except RunError as err:
            raise UsageError(str(err)) from None
    from tqdm import tqdm

    from quellor_selfplay.runner import Job, Segment

    player, trained_on = _player(args)
    observation = args.observation or trained_on or "history"
    if args.observation and trained_on and args.observation != trained_on:
        raise UsageError(f"--observation {args.observation}: the checkpoint was trained on {trained_on!r} "
                         f"observations")
    settings = _settings(args, player, observation)
    manifest = _prepare_out(args, settings)
    done = {entry["index"] for entry in manifest["shards"]}
    ranges = shard_games(args.games, args.shard_size)
    segments = [
        Segment(i, tuple((g, 0, 0) for g in games), derive_seed(args.seed, "shard", i))
        for i, games in enumerate(ranges) if i not in done
    ]
    table = Table(args.rules, observation, args.max_plies, args.start_fen)
    job = Job(table, (player,), args.batch, args.device)
    workers = args.workers or default_workers()

    finished_before = sum(entry["games"] for entry in manifest["shards"])
    positions = 0
    counted_in_flight = 0
    written = 0
    connect_seconds = 0.0
    started = time.perf_counter()
    with contextlib.ExitStack() as stack:
        bar = stack.enter_context(tqdm(total=args.games, initial=finished_before, unit="game",
                                       desc="self-play", disable=not args.progress, dynamic_ncols=True))

        def on_game(plies: int) -> None:
            nonlocal positions, counted_in_flight
            positions += plies
            counted_in_flight += 1
            bar.update(1)
            bar.set_postfix_str(f"{positions / (time.perf_counter() - started):,.0f} positions/s",
                                refresh=False)

        try:
            ray = None
            if args.ray is not None and segments:
                connect_started = time.perf_counter()
                ray = stack.enter_context(ray_connection(args.ray, workers))
                # ray.init puts in a SIGTERM handler of its own, which exits at once.
                stop_on_sigterm()
                connect_seconds = time.perf_counter() - connect_started
            started = time.perf_counter()
            if segments:
                runner = stack.enter_context(backend(
                    min(workers, len(segments)) if ray is None else (args.workers or None), ray, on_game))
                for index, arrays in runner.submit(job, segments).as_completed():
                    entry = _write(args, manifest, index, ranges[index], arrays)
                    written += 1
                    if counted_in_flight == 0:
                        positions += entry["rows"]
                    bar.update(entry["games"] - counted_in_flight)
                    counted_in_flight = 0
                    bar.set_postfix_str(f"{positions / (time.perf_counter() - started):,.0f} positions/s",
                                        refresh=False)
        except KeyboardInterrupt:
            kept = len(manifest["shards"])
            raise Stopped(f"{kept} complete shard{'s' if kept != 1 else ''} "
                          f"({sum(e['games'] for e in manifest['shards'])} games) kept in {args.out}; "
                          f"run the same command with --resume to finish") from None
    play_seconds = time.perf_counter() - started
    manifest["complete"] = True
    data.write_json(manifest, args.out / data.MANIFEST)
    return _finish(args, manifest, player, positions, play_seconds, connect_seconds, written)


def _write(args: argparse.Namespace, manifest: dict[str, Any], index: int, games: range,
           arrays: dict[str, np.ndarray]) -> dict[str, Any]:
    name = data.shard_name(index)
    size = data.write_shard(arrays, args.out / name, args.compress)
    entry = {"index": index, "file": name, "first_game": games.start, "games": len(games),
             "rows": int(len(arrays["ply"])), "bytes": size}
    manifest["shards"] = sorted([e for e in manifest["shards"] if e["index"] != index] + [entry],
                                key=lambda e: e["index"])
    data.write_json(manifest, args.out / data.MANIFEST)
    return entry


def _finish(args: argparse.Namespace, manifest: dict[str, Any], player: Any, positions: int,
            play_seconds: float, connect_seconds: float, written: int) -> int:
    import torch

    from quellor_selfplay import fog

    if args.save_net is not None:
        if player.kind == "script":
            args.save_net.write_bytes(player.script)
        else:
            from quellor_selfplay.net import save_checkpoint

            save_checkpoint(player.model(), args.save_net, observation=manifest["run"]["observation"])

    table = game_table(args.out)
    counts = summarize(table)
    data_bytes = sum(entry["bytes"] for entry in manifest["shards"])
    game, ply = args.show if args.show is not None else (0, DEFAULT_SHOW_PLY)
    moves, start_fen = game_moves(args.out, game)
    if args.show is not None and ply > len(moves):
        print(f"Game {game} has {len(moves)} plies; picturing its last position.")
    ply = min(ply, len(moves))
    view = fog.fog_view(moves, ply, game, start_fen)
    svg_path = args.out / f"fog-g{game}-p{ply}.svg"
    text_path = args.out / f"fog-g{game}-p{ply}.txt"
    text = fog.render_text(view)
    svg_path.write_text(fog.render_svg(view), encoding="utf-8")
    text_path.write_text(text, encoding="utf-8")

    summary = {
        **counts,
        "seed": args.seed,
        # Of the games this command played (a resumed run's earlier games are not timed here).
        "positions_per_second": round(positions / max(play_seconds, 1e-9), 1),
        "seconds": {"connect": round(connect_seconds, 3), "play": round(play_seconds, 3)},
        "settings": {
            **manifest["run"],
            "workers": None if args.ray is not None else args.workers,
            "ray": args.ray,
            "device": args.device,
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
    data.write_json(summary, args.out / SUMMARY_FILE)

    results = counts["results"]
    resumed = f" ({written} shards played now)" if args.resume else ""
    print(
        f"{counts['games']} games, {counts['positions']} positions{resumed} in {play_seconds:.1f} s "
        f"({summary['positions_per_second']:,.0f} positions/s); White won {results['white wins']}, "
        f"Black won {results['black wins']}, {results['draws']} drawn"
    )
    print("Endings: " + ", ".join(f"{k} {v}" for k, v in counts["endings"].items()))
    print(f"Wrote {len(manifest['shards'])} shards ({data_bytes / 2**20:.1f} MiB, "
          f"{summary['files']['bytes_per_row_on_disk']:,.0f} bytes a position), {data.MANIFEST}, "
          f"{SUMMARY_FILE}, {svg_path.name}, {text_path.name} in {args.out}\n")
    print(text, end="")
    return 0
