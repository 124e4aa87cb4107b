"""What several commands check and report the same way."""

from __future__ import annotations

from importlib import metadata
from typing import Optional

import torch

from quellor_selfplay.commands.errors import UsageError
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
