"""quellor-selfplay: play fog-of-war games and write a training set; show what each side saw.

    quellor-selfplay play --games 200 --out out/selfplay
    quellor-selfplay show out/selfplay --game 3 --ply 41

Exit status: 0 on success, 2 for a bad option or unusable input, 1 when the games could not be
played or written, 130 after Ctrl-C and 143 after SIGTERM.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import platform
import signal
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from importlib import metadata
from pathlib import Path
from types import FrameType
from typing import Any, Optional

from quellor_selfplay import DATA_FILE, SUMMARY_FILE

DEFAULT_GAMES = 200
DEFAULT_MAX_PLIES = 100
DEFAULT_SHOW_PLY = 20
FOG_PATTERNS = ("fog-g*-p*.svg", "fog-g*-p*.txt")


class UsageError(Exception):
    """A bad option or unusable input: reported on stderr with exit status 2."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised where the program stands. A KeyboardInterrupt, so that a run stops the way
    Ctrl-C stops it: worker pools terminated, Ray shut down, temporary files removed."""


# Set with the first SIGTERM of a command. A library may catch the Terminated raised in its code
# and raise a KeyboardInterrupt of its own (ray.get does), and the run must still end as
# terminated.
_sigterm_received = False


def _raise_terminated(signum: int, frame: Optional[FrameType]) -> None:
    global _sigterm_received
    _sigterm_received = True
    # Once is enough: a second SIGTERM must not break off the clean-up of the first.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated


def _stop_on_sigterm() -> None:
    """Makes SIGTERM raise Terminated (in the main thread only, where Python runs handlers)."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _raise_terminated)


@contextlib.contextmanager
def _sigterm_stops_the_run() -> Iterator[None]:
    """SIGTERM raises Terminated inside the block; the process's own handler is back after it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    global _sigterm_received
    _sigterm_received = False
    previous = signal.getsignal(signal.SIGTERM)
    _stop_on_sigterm()
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous if previous is not None else signal.SIG_DFL)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value < 2**63:
        raise argparse.ArgumentTypeError(f"must lie in 0..2**63-1, got {value}")
    return value


def _game_ply(text: str) -> tuple[int, int]:
    game, sep, ply = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected GAME:PLY, got {text!r}")
    return _non_negative(game), _non_negative(ply)


def build_parser() -> argparse.ArgumentParser:
    from quellor_selfplay.runner import POLICIES

    parser = argparse.ArgumentParser(
        prog="quellor-selfplay",
        description="Self-play data for fog-of-war chess with quellor.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    play = commands.add_parser(
        "play",
        help="play games and write the training set",
        description=(
            f"Plays games and writes {DATA_FILE} (observations, actions, values: load it with "
            f"torch.load), {SUMMARY_FILE} and a fog-of-war picture of one position."
        ),
    )
    play.add_argument("--games", type=_positive, default=DEFAULT_GAMES,
                      help=f"games to play (default {DEFAULT_GAMES})")
    play.add_argument("--max-plies", type=_positive, default=DEFAULT_MAX_PLIES,
                      help=f"a game still running after this many plies is a draw "
                           f"(default {DEFAULT_MAX_PLIES})")
    play.add_argument("--policy", choices=POLICIES, default="random",
                      help="random: uniform over the legal actions; net: a policy network "
                           "(default random)")
    play.add_argument("--checkpoint", type=Path,
                      help="network weights for --policy net (default: a network "
                           "initialised from --seed)")
    play.add_argument("--hidden", type=_positive,
                      help="hidden width of a freshly initialised network (default 256)")
    play.add_argument("--save-net", type=Path, metavar="PATH",
                      help="also write the network used to PATH, as a checkpoint")
    play.add_argument("--start-fen", metavar="FEN",
                      help="start every game from this position instead of the usual one")
    play.add_argument("--seed", type=_seed, default=0, help="seed of the whole run (default 0)")
    play.add_argument("--workers", type=_positive,
                      help="local worker processes (default: one per CPU)")
    play.add_argument("--ray", metavar="ADDRESS",
                      help="run the games as Ray tasks: a cluster address, 'auto' for the "
                           "running cluster, or 'local' for a private one on this machine "
                           "with --workers CPUs")
    play.add_argument("--out", type=Path, default=Path("selfplay-out"),
                      help="output directory (default selfplay-out)")
    play.add_argument("--overwrite", action="store_true",
                      help="replace an earlier run's files in --out")
    play.add_argument("--no-compress", dest="compress", action="store_false",
                      help="store the data uncompressed (needed for torch.load(mmap=True))")
    play.add_argument("--show", type=_game_ply, metavar="GAME:PLY",
                      help=f"position to picture (default: game 0, ply {DEFAULT_SHOW_PLY} or "
                           f"its last)")
    play.add_argument("--no-progress", dest="progress", action="store_false",
                      help="no progress bar")

    show = commands.add_parser(
        "show",
        help="show what each side saw at one ply of a recorded game",
        description="Prints both sides' fog-of-war views next to the true board and writes "
                    "them as SVG beside the data.",
    )
    show.add_argument("run", type=Path, help="directory of a play run")
    show.add_argument("--game", type=_non_negative, default=0, help="game index (default 0)")
    show.add_argument("--ply", type=_non_negative, default=0, help="ply (default 0)")
    show.add_argument("--html", action="store_true",
                      help="write a page that steps through the whole game (opening at --ply) "
                           "instead, as replay-gGAME.html beside the data")
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _sigterm_stops_the_run():
            if args.command == "play":
                return play(args)
            return show(args)
    except UsageError as err:
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        if _sigterm_received:
            print("quellor-selfplay: terminated; nothing was written", file=sys.stderr)
            return 128 + signal.SIGTERM
        print("quellor-selfplay: interrupted; nothing was written", file=sys.stderr)
        return 130
    except Exception as err:
        from quellor_selfplay.runner import RunError

        if not isinstance(err, (RunError, OSError)):
            raise
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return 1


def _check_play_options(args: argparse.Namespace) -> None:
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
    if args.start_fen is not None:
        import quellor

        try:
            quellor.SelfPlayGame(args.start_fen)
        except ValueError as err:
            raise UsageError(f"--start-fen {args.start_fen!r}: {err}") from None
    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    earlier = [args.out / DATA_FILE, args.out / SUMMARY_FILE]
    if not args.overwrite and any(path.exists() for path in earlier):
        raise UsageError(f"{args.out} already holds a self-play run; pass --overwrite to replace it")


def _network(args: argparse.Namespace) -> Any:
    if args.policy != "net":
        return None
    from quellor_selfplay.net import DEFAULT_HIDDEN, CheckpointError, load_checkpoint, seeded_net

    if args.checkpoint is None:
        return seeded_net(args.seed, args.hidden or DEFAULT_HIDDEN)
    try:
        return load_checkpoint(args.checkpoint)
    except CheckpointError as err:
        raise UsageError(str(err)) from None


def play(args: argparse.Namespace) -> int:
    _check_play_options(args)
    if args.ray is not None:
        from quellor_selfplay.runner import import_ray, RunError

        try:
            import_ray()
        except RunError as err:
            raise UsageError(str(err)) from None

    import torch
    from tqdm import tqdm

    from quellor_selfplay import dataset, fog
    from quellor_selfplay.episode import GameRecord
    from quellor_selfplay.net import save_checkpoint
    from quellor_selfplay.runner import PlaySettings, default_workers, ray_connection, run_games

    net = _network(args)
    workers = args.workers or default_workers()
    settings = PlaySettings.with_net(args.policy, args.max_plies, args.seed, net, args.start_fen)

    positions = 0
    with contextlib.ExitStack() as stack:
        connect_started = time.perf_counter()
        ray = None
        if args.ray is not None:
            ray = stack.enter_context(ray_connection(args.ray, workers))
            # ray.init puts in a SIGTERM handler of its own, which exits at once.
            _stop_on_sigterm()
        connect_seconds = time.perf_counter() - connect_started
        started = time.perf_counter()
        bar = stack.enter_context(
            tqdm(total=args.games, unit="game", desc="self-play", disable=not args.progress,
                 dynamic_ncols=True)
        )

        def on_game(record: GameRecord) -> None:
            nonlocal positions
            positions += record.plies
            bar.update(1)
            bar.set_postfix_str(
                f"{positions / (time.perf_counter() - started):,.0f} positions/s", refresh=False
            )

        records = run_games(settings, args.games, workers, ray, on_game)
        play_seconds = time.perf_counter() - started

    args.out.mkdir(parents=True, exist_ok=True)
    if args.overwrite:
        # The old summary goes first: should this run stop half-way, its data must not sit
        # beside another run's summary.
        (args.out / SUMMARY_FILE).unlink(missing_ok=True)
        for pattern in FOG_PATTERNS:
            for stale in args.out.glob(pattern):
                stale.unlink()
    write_started = time.perf_counter()
    tensors = dataset.assemble(records)
    data_path = args.out / DATA_FILE
    data_bytes = dataset.write_training_file(tensors, data_path, args.compress)
    write_seconds = time.perf_counter() - write_started
    if args.save_net is not None:
        save_checkpoint(net, args.save_net)

    game, ply = args.show if args.show is not None else (0, DEFAULT_SHOW_PLY)
    record = records[game]
    if args.show is not None and ply > record.plies:
        print(f"Game {game} has {record.plies} plies; picturing its last position.")
    ply = min(ply, record.plies)
    view = fog.fog_view(record.moves, ply, game, record.start_fen)
    svg_path = args.out / f"fog-g{game}-p{ply}.svg"
    text_path = args.out / f"fog-g{game}-p{ply}.txt"
    text = fog.render_text(view)
    svg_path.write_text(fog.render_svg(view), encoding="utf-8")
    text_path.write_text(text, encoding="utf-8")

    counts = dataset.summarize(records)
    summary = {
        **counts,
        "seed": args.seed,
        "positions_per_second": round(counts["positions"] / max(play_seconds, 1e-9), 1),
        "seconds": {
            "connect": round(connect_seconds, 3),
            "play": round(play_seconds, 3),
            "write": round(write_seconds, 3),
        },
        "settings": {
            "games": args.games,
            "max_plies": args.max_plies,
            "policy": args.policy,
            "checkpoint": str(args.checkpoint) if args.checkpoint else None,
            "hidden": net.hidden if net is not None else None,
            "start_fen": args.start_fen,
            "workers": None if args.ray is not None else min(workers, args.games),
            "ray": args.ray,
            "compressed": args.compress,
        },
        "files": {
            "data": DATA_FILE,
            "data_bytes": data_bytes,
            "keys": list(dataset.DATA_KEYS),
            "fog_svg": svg_path.name,
            "fog_text": text_path.name,
        },
        "versions": {
            "quellor": _version("quellor"),
            "torch": torch.__version__,
            "python": platform.python_version(),
        },
        "game_records": dataset.game_summaries(records),
    }
    dataset.write_json(summary, args.out / SUMMARY_FILE)

    results = counts["results"]
    print(
        f"{counts['games']} games, {counts['positions']} positions in {play_seconds:.1f} s "
        f"({summary['positions_per_second']:,.0f} positions/s); White won {results['white wins']}, "
        f"Black won {results['black wins']}, {results['draws']} drawn"
    )
    print("Endings: " + ", ".join(f"{k} {v}" for k, v in counts["endings"].items()))
    print(f"Wrote {data_path} ({data_bytes / 2**20:.1f} MiB), {args.out / SUMMARY_FILE}, "
          f"{svg_path.name}, {text_path.name}\n")
    print(text, end="")
    return 0


def _version(name: str) -> Optional[str]:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def _load_game(run: Path, game: int) -> dict[str, Any]:
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


def show(args: argparse.Namespace) -> int:
    from quellor_selfplay import fog

    record = _load_game(args.run, args.game)
    moves = record["moves"]
    if args.ply > len(moves):
        raise UsageError(f"ply {args.ply} does not exist: game {args.game} has {len(moves)} plies")
    if args.html:
        return show_html(args, record)
    try:
        view = fog.fog_view(moves, args.ply, args.game, record.get("start_fen"))
    except (ValueError, RuntimeError) as err:
        raise UsageError(f"game {args.game} cannot be replayed: {err}") from None
    svg_path = args.run / f"fog-g{args.game}-p{args.ply}.svg"
    svg_path.write_text(fog.render_svg(view), encoding="utf-8")
    text = fog.render_text(view)
    (args.run / f"fog-g{args.game}-p{args.ply}.txt").write_text(text, encoding="utf-8")
    print(text, end="")
    print(f"\nWrote {svg_path}")
    return 0


def show_html(args: argparse.Namespace, record: dict[str, Any]) -> int:
    from quellor_selfplay.replay import ReplayError, build_page

    try:
        page = build_page(record["moves"], record["start_fen"], title=f"{args.run.name}: game {args.game}",
                          result=record["result"], start_ply=args.ply)
    except ReplayError as err:
        raise UsageError(f"game {args.game} cannot be replayed: {err}") from None
    path = args.run / f"replay-g{args.game}.html"
    path.write_text(page, encoding="utf-8")
    print(f"Wrote {path}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
