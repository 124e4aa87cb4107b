"""quellor-selfplay match A B: one player against another, colours alternating."""

from __future__ import annotations

import dataclasses

from tqdm import tqdm

from quellor_selfplay.commands.common import check_device, check_rules, observation_layout
from quellor_selfplay.commands.errors import UsageError
from quellor_selfplay.config import MatchConfig
from quellor_selfplay.fileio import write_json
from quellor_selfplay.match import format_result, play_match
from quellor_selfplay.net import CheckpointError
from quellor_selfplay.players import PlayerError, load_player


def match(config: MatchConfig) -> int:
    check_device(config.run.device)
    if config.json is not None and not config.json.resolve().parent.is_dir():
        raise UsageError(f"--json {config.json}: its directory does not exist")
    try:
        players = [load_player(source) for source in (config.a, config.b)]
    except (CheckpointError, PlayerError) as err:
        raise UsageError(str(err)) from None
    check_rules(players, config.game.rules)
    layout = observation_layout(players, config.game.observation)

    game = dataclasses.replace(config.game, observation=layout)
    run = config.run
    with tqdm(total=config.games, unit="game", desc="match", disable=not run.progress, dynamic_ncols=True) as bar:

        def on_game(plies: int) -> None:
            bar.update(1)

        result = play_match(players[0], players[1], config.games, game, run.batch, run.seed, run.device, on_game)
    print(f"{game.rules} rules, {layout} observations, at most {game.max_plies} plies, seed {run.seed}")
    print(format_result(result, config.a, config.b), end="")
    if config.json is not None:
        write_json({"a": config.a, "b": config.b, "rules": game.rules, "observation": layout,
                    "max_plies": game.max_plies, "seed": run.seed, **result.as_dict()}, config.json)
    return 0
