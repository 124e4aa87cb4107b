"""What several commands check and report the same way."""

from __future__ import annotations

from importlib import metadata
from collections.abc import Sequence
from typing import Optional

import torch

from quellor_selfplay.commands.errors import UsageError
from quellor_selfplay.players import PlayerConfig
from quellor_selfplay.runner import RunError, import_ray


def check_device(device: str) -> None:
    try:
        where = torch.device(device)
    except (RuntimeError, ValueError) as err:
        raise UsageError(f"--device {device!r}: {err}") from None
    if where.type == "cuda" and not torch.cuda.is_available():
        raise UsageError(f"--device {device!r}: CUDA is not available here")


def check_ray(address: Optional[str]) -> None:
    """A usage error for an empty --ray, or for --ray without Ray installed."""
    if address is None:
        return
    if not address.strip():
        raise UsageError("--ray needs an address, 'auto' or 'local'")
    try:
        import_ray()
    except RunError as err:
        raise UsageError(str(err)) from None


def version(name: str) -> Optional[str]:
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None


def check_rules(players: Sequence[PlayerConfig], rules: str) -> None:
    """UsageError for a player that reads beliefs (a search player, or one of the user's own) in
    games of other rules than the dark ones: beliefs follow fog-of-war games only."""
    for player in players:
        if player.reads_beliefs and rules != "dark":
            does = "searches" if player.kind == "search" else "reads beliefs of"
            raise UsageError(f"{player.name} {does} the positions its side cannot rule out, which only "
                             f"fog-of-war games have: use --rules dark, not {rules}")


def observation_layout(players: Sequence[PlayerConfig], chosen: Optional[str]) -> str:
    """The observation layout the batch gives `players`: `chosen`, else the one their
    checkpoints were trained on, else own. UsageError when they disagree."""
    trained = {p.observation for p in players if p.observation is not None}
    if chosen is not None:
        if trained - {chosen}:
            raise UsageError(f"--observation {chosen}: a checkpoint was trained on {trained.pop()!r} observations")
        return chosen
    if len(trained) > 1:
        raise UsageError("the players were trained on different observations: the batch gives one; "
                         "pick it with --observation")
    return trained.pop() if trained else "own"
