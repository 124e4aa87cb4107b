"""quellor-selfplay: self-play for fog-of-war chess: play games into shards, train an agent,
match two policies, and show what each side saw.

    quellor-selfplay play --games 200 --out out/selfplay
    quellor-selfplay train --minutes 20 --out out/train
    quellor-selfplay match out/train/checkpoints/latest.pt random --games 400
    quellor-selfplay show out/selfplay --game 3 --ply 41

Exit status: 0 on success, 2 for a bad option or unusable input, 1 when the games could not be
played or written, 130 after Ctrl-C and 143 after SIGTERM.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from importlib import metadata
from pathlib import Path
from types import FrameType
from typing import Any, Optional

from quellor_selfplay import SUMMARY_FILE

DEFAULT_GAMES = 200
DEFAULT_MAX_PLIES = 100
DEFAULT_SHOW_PLY = 20
DEFAULT_BATCH = 256
DEFAULT_SHARD_SIZE = 256
# The fog-of-war game of train and match: games end by king capture, rarely after 300 plies.
DEFAULT_DARK_PLIES = 300


class UsageError(Exception):
    """A bad option or unusable input: reported on stderr with exit status 2."""


class Stopped(KeyboardInterrupt):
    """Ctrl-C or SIGTERM in a command that keeps what it finished; `kept` says what it kept."""

    def __init__(self, kept: str) -> None:
        super().__init__(kept)
        self.kept = kept


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


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie in 0..1, got {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value > 0.0 or value != value or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _non_negative_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value >= 0.0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a non-negative number, got {text}")
    return value


def _add_game_options(parser: argparse.ArgumentParser, rules: Optional[str], observation: Optional[str],
                      max_plies: int, batch: int = DEFAULT_BATCH) -> None:
    parser.add_argument("--rules", choices=("dark", "legal"), default=rules,
                        help="dark: fog-of-war rules, every pseudo-legal move, a captured king loses; "
                             f"legal: fully legal moves, checkmate loses (default {rules})")
    parser.add_argument("--observation", choices=("own", "history"), default=observation,
                        help="own: the mover's own last eight views (leak-free); history: exactly "
                             "SelfPlayGame.encode() (default " + (observation or
                             "the checkpoint's, else history") + ")")
    parser.add_argument("--max-plies", type=_positive, default=max_plies,
                        help=f"a game still running after this many plies is a draw (default {max_plies})")
    parser.add_argument("--batch", type=_positive, default=batch,
                        help=f"games played at once in one GameBatch (default {batch})")
    parser.add_argument("--device", default="cpu", help="where networks run (default cpu)")
    parser.add_argument("--seed", type=_seed, default=0, help="seed of the whole run (default 0)")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")


def _add_scale_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--workers", type=_positive,
                        help="local worker processes (default: one per CPU); with --ray, the "
                             "number of actors (default: one per CPU of the cluster)")
    parser.add_argument("--ray", metavar="ADDRESS",
                        help="play the games on Ray actors: a cluster address, 'auto' for the "
                             "running cluster, or 'local' for a private one on this machine "
                             "with --workers CPUs")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quellor-selfplay",
        description="Self-play for fog-of-war chess with quellor.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    play = commands.add_parser(
        "play",
        help="play games and write them as training data",
        description=(
            "Plays games in GameBatches and writes them in shards as they finish (read them "
            f"with quellor_selfplay.data), with {SUMMARY_FILE} and a fog-of-war picture of one "
            "position."
        ),
    )
    play.add_argument("--games", type=_positive, default=DEFAULT_GAMES,
                      help=f"games to play (default {DEFAULT_GAMES})")
    play.add_argument("--policy", choices=("random", "net"), default="random",
                      help="random: uniform over the legal actions; net: a policy network "
                           "(default random)")
    play.add_argument("--checkpoint", type=Path,
                      help="network for --policy net: a checkpoint of this tool or a TorchScript "
                           "module (default: a network initialised from --seed)")
    play.add_argument("--hidden", type=_positive,
                      help="hidden width of a freshly initialised network (default 256)")
    play.add_argument("--save-net", type=Path, metavar="PATH",
                      help="also write the network used to PATH, as a checkpoint")
    play.add_argument("--start-fen", metavar="FEN",
                      help="start every game from this position instead of the usual one")
    _add_game_options(play, "legal", None, DEFAULT_MAX_PLIES)
    play.add_argument("--shard-size", type=_positive, default=DEFAULT_SHARD_SIZE,
                      help=f"games per shard file (default {DEFAULT_SHARD_SIZE}); at most this many "
                           "games are held in memory per worker")
    _add_scale_options(play)
    play.add_argument("--out", type=Path, default=Path("selfplay-out"),
                      help="output directory (default selfplay-out)")
    play.add_argument("--overwrite", action="store_true",
                      help="replace an earlier run's files in --out")
    play.add_argument("--resume", action="store_true",
                      help="finish the interrupted run in --out (give the options it was started with)")
    play.add_argument("--no-compress", dest="compress", action="store_false",
                      help="store the shards uncompressed (faster to write and read, larger)")
    play.add_argument("--show", type=_game_ply, metavar="GAME:PLY",
                      help=f"position to picture (default: game 0, ply {DEFAULT_SHOW_PLY} or "
                           f"its last)")

    from quellor_selfplay import train as training

    train = commands.add_parser(
        "train",
        help="train an agent by self-play",
        description=(
            "Self-play reinforcement learning: plays games with the current network against "
            "itself and earlier checkpoints, learns from them with PPO, repeats; matches the "
            "network against random play and its previous checkpoint at every evaluation and "
            "writes metrics.csv and learning-curve.png."
        ),
    )
    d = training.DEFAULTS
    train.add_argument("--iterations", type=_positive, default=d.iterations,
                       help=f"training iterations (default {d.iterations})")
    train.add_argument("--minutes", type=_positive_float,
                       help="stop after the iteration that passes this much time (and evaluate)")
    train.add_argument("--games", type=_positive, default=d.games,
                       help=f"games played per iteration (default {d.games})")
    _add_game_options(train, "dark", "own", DEFAULT_DARK_PLIES, d.batch)
    _add_scale_options(train)
    train.add_argument("--overlap", action=argparse.BooleanOptionalAction, default=None,
                       help="play the next iteration's games (with the weights one iteration "
                            "behind) while the learner trains (default: on with --ray)")
    train.add_argument("--net", choices=("squares", "mlp"), default=d.net,
                       help=f"architecture of a new network (default {d.net})")
    train.add_argument("--channels", type=_positive, default=d.channels,
                       help=f"squares: channels per square (default {d.channels})")
    train.add_argument("--blocks", type=_non_negative, default=d.blocks,
                       help=f"squares: 3 x 3 convolution blocks (default {d.blocks})")
    train.add_argument("--hidden", type=_positive, default=d.hidden,
                       help=f"mlp: hidden width (default {d.hidden})")
    train.add_argument("--init", type=Path, metavar="CHECKPOINT",
                       help="start from this checkpoint's network instead of a new one")
    train.add_argument("--lr", type=_positive_float, default=d.lr, help=f"learning rate (default {d.lr})")
    train.add_argument("--epochs", type=_positive, default=d.epochs,
                       help=f"passes over each iteration's games (default {d.epochs})")
    train.add_argument("--minibatch", type=_positive, default=d.minibatch,
                       help=f"positions per gradient step (default {d.minibatch})")
    train.add_argument("--clip", type=_positive_float, default=d.clip,
                       help=f"PPO ratio clip (default {d.clip})")
    train.add_argument("--value-coef", type=_non_negative_float, default=d.value_coef,
                       help=f"weight of the value loss (default {d.value_coef})")
    train.add_argument("--entropy", type=_non_negative_float, default=d.entropy,
                       help=f"weight of the entropy bonus (default {d.entropy})")
    train.add_argument("--gamma", type=_fraction, default=d.gamma,
                       help=f"discount per own move (default {d.gamma})")
    train.add_argument("--lam", type=_fraction, default=d.lam,
                       help=f"GAE lambda (default {d.lam})")
    train.add_argument("--pool-size", type=_positive, default=d.pool_size,
                       help=f"earlier networks kept as opponents (default {d.pool_size})")
    train.add_argument("--pool-every", type=_positive, default=d.pool_every,
                       help=f"iterations between additions to the pool (default {d.pool_every})")
    train.add_argument("--pool-games", type=_fraction, default=d.pool_games,
                       help=f"share of each iteration's games played against the pool "
                            f"(default {d.pool_games})")
    train.add_argument("--eval-every", type=_positive, default=d.eval_every,
                       help=f"iterations between evaluations (default {d.eval_every})")
    train.add_argument("--eval-games", type=_positive, default=d.eval_games,
                       help=f"games per evaluation match (default {d.eval_games})")
    train.add_argument("--threads", type=_positive, default=1,
                       help="torch threads of the learner (default 1: the worker processes have the "
                            "other cores)")
    train.add_argument("--final-games", type=_positive, default=d.final_games,
                       help=f"games of the last evaluation against random play (default {d.final_games})")
    train.add_argument("--keep-data", type=_non_negative, default=d.keep_data,
                       help=f"iterations whose games stay on disk as shards (default {d.keep_data})")
    train.add_argument("--out", type=Path, default=Path("train-out"),
                       help="output directory (default train-out)")
    train.add_argument("--overwrite", action="store_true", help="replace an earlier run in --out")
    train.add_argument("--resume", action="store_true",
                       help="continue the run in --out from its last checkpoint")

    match = commands.add_parser(
        "match",
        help="play one policy against another",
        description="Plays A against B, colours alternating, and prints wins, draws, losses, the "
                    "score and the Elo difference with its 95%% interval.",
    )
    match.add_argument("a", metavar="A", help="'random' or a checkpoint (or TorchScript module)")
    match.add_argument("b", metavar="B", help="'random' or a checkpoint (or TorchScript module)")
    match.add_argument("--games", type=_positive, default=400, help="games to play (default 400)")
    _add_game_options(match, "dark", None, DEFAULT_DARK_PLIES)
    match.add_argument("--json", type=Path, metavar="PATH", help="also write the result as JSON")

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
                from quellor_selfplay.play import play

                return play(args, _stop_on_sigterm)
            if args.command == "train":
                from quellor_selfplay.train import train

                return train(args, _stop_on_sigterm)
            if args.command == "match":
                from quellor_selfplay.match import match_command

                return match_command(args)
            return show(args)
    except UsageError as err:
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return 2
    except KeyboardInterrupt as err:
        kept = err.kept if isinstance(err, Stopped) else "nothing was written"
        if _sigterm_received:
            print(f"quellor-selfplay: terminated; {kept}", file=sys.stderr)
            return 128 + signal.SIGTERM
        print(f"quellor-selfplay: interrupted; {kept}", file=sys.stderr)
        return 130
    except Exception as err:
        from quellor_selfplay.data import DataError
        from quellor_selfplay.runner import RunError

        if not isinstance(err, (RunError, OSError, DataError)):
            raise
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return 1


def version(name: str) -> Optional[str]:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def _load_game(run: Path, game: int) -> dict[str, Any]:
    from quellor_selfplay import data

    if (run / data.MANIFEST).exists():
        from quellor_selfplay.play import game_record

        try:
            record = game_record(run, game)
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
