"""Writing files so that a reader never sees half of one, and reading their digests.

Every file the tool writes (shards, manifests, checkpoints, metrics, pictures) goes through
`replacing`: it is written under a hidden temporary name beside its place and renamed over it
only once it is whole, so an interrupted write leaves the old file (or none) and never a torn
one. The temporary is removed however the write ends.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Union

PathLike = Union[str, "os.PathLike[str]"]


def partial_path(path: PathLike, suffix: str = "") -> Path:
    """The temporary name a write of `path` goes through: `.NAME.partial` beside it (with
    `suffix` after it, for writers that read the format from the extension)."""
    path = Path(path)
    return path.with_name(f".{path.name}.partial{suffix}")


@contextlib.contextmanager
def replacing(path: PathLike, suffix: str = "") -> Iterator[Path]:
    """Yields the temporary path to write; when the block ends normally it replaces `path`."""
    partial = partial_path(path, suffix)
    try:
        yield partial
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)


def write_text(text: str, path: PathLike) -> None:
    with replacing(path) as partial:
        partial.write_text(text, encoding="utf-8")


def write_json(data: Any, path: PathLike) -> None:
    write_text(json.dumps(data, indent=1) + "\n", path)


def file_digest(path: PathLike) -> str:
    """The SHA-256 of a file's bytes, as hex."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
