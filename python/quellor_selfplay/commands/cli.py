"""quellor-selfplay: self-play for fog-of-war chess: play games into shards, train an agent,
match two policies, and show what each side saw.

    quellor-selfplay play --games 200 --out out/selfplay
    quellor-selfplay train --minutes 20 --out out/train
    quellor-selfplay match out/train/checkpoints/latest.pt greedy --games 400
    quellor-selfplay exploit out/train/checkpoints/latest.pt --minutes 10 --out out/exploit
    quellor-selfplay show out/selfplay --game 3 --ply 41

Exit status: 0 on success, 2 for a bad option or unusable input, 1 when the games could not be
played or written, 130 after Ctrl-C and 143 after SIGTERM.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import Any, Optional

from quellor_selfplay import SUMMARY_FILE
from quellor_selfplay.commands import exploit, match, play, show, train
from quellor_selfplay.commands.errors import (
    EXIT_FAILED, EXIT_INTERRUPTED, EXIT_TERMINATED, EXIT_USAGE, Stopped, UsageError, sigterm_received,
    sigterm_stops_the_run,
)
from quellor_selfplay.config import (
    ExploitConfig, MatchConfig, PlayConfig, ShowConfig, TrainConfig, add_options, from_namespace,
)
from quellor_selfplay.data import DataError
from quellor_selfplay.runner import RunError

# name: (configuration, run(config), help, description)
COMMANDS: dict[str, tuple[type, Callable[[Any], int], str, str]] = {
    "play": (PlayConfig, play.play, "play games and write them as training data",
             "Plays games in GameBatches and writes them in shards as they finish (read them with "
             f"quellor_selfplay.data), with {SUMMARY_FILE} and a fog-of-war picture of one position."),
    "train": (TrainConfig, train.train, "train an agent by self-play",
              "Self-play reinforcement learning: plays games with the current network against itself, "
              "earlier checkpoints and fixed bots, learns from them with PPO, repeats; matches the network "
              "against random play and the greedy bot at every evaluation and writes metrics.csv and "
              "learning-curve.png."),
    "match": (MatchConfig, match.match, "play one policy against another",
              "Plays A against B, colours alternating, and prints wins, draws, losses, the score and the Elo "
              "difference with its 95% interval."),
    "exploit": (ExploitConfig, exploit.exploit, "train a fresh learner against a frozen agent",
                "Trains a new network with PPO against AGENT alone (AGENT does not learn), matches it against "
                "AGENT at every evaluation, and reports the best score it reached with its 95% interval: an "
                "approximation of how exploitable AGENT is (lower is better). Resumable with --resume."),
    "show": (ShowConfig, show.show, "show what each side saw at one ply of a recorded game",
             "Prints both sides' fog-of-war views next to the true board and writes them as SVG beside the "
             "data."),
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quellor-selfplay", description="Self-play for fog-of-war chess with quellor.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, (config, _, summary, description) in COMMANDS.items():
        add_options(commands.add_parser(name, help=summary, description=description), config)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    config_type, run, _, _ = COMMANDS[args.command]
    config = from_namespace(config_type, args)
    try:
        with sigterm_stops_the_run():
            return run(config)
    except UsageError as err:
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt as err:
        kept = err.kept if isinstance(err, Stopped) else "nothing was written"
        if sigterm_received():
            print(f"quellor-selfplay: terminated; {kept}", file=sys.stderr)
            return EXIT_TERMINATED
        print(f"quellor-selfplay: interrupted; {kept}", file=sys.stderr)
        return EXIT_INTERRUPTED
    except (RunError, OSError, DataError) as err:
        print(f"quellor-selfplay {args.command}: error: {err}", file=sys.stderr)
        return EXIT_FAILED


if __name__ == "__main__":
    raise SystemExit(main())
