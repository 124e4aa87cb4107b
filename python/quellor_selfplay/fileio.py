"""Writing files so that a reader never sees half of one, and reading their digests.

Every file the tool writes (shards, manifests, checkpoints, metrics, pictures) goes through
`replacing`: it is written under a hidden temporary name beside its place and renamed over it
only once it is whole, so an interrupted write leaves the old file (or none) and never a torn
one. The temporary is removed however the write ends. Before the rename the file's bytes reach
the disk, and after it the directory's entry does: a machine that loses power then still holds
the file a manifest or checkpoint names, not an empty one under its name.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import signal
import threading
from collections.abc import Iterator
from pathlib import Path
from types import FrameType
from typing import Any, Optional, Union

PathLike = Union[str, "os.PathLike[str]"]


class DataError(ValueError):
    """A file or directory that does not hold what the tool wrote there: damaged, cut short or
    not one of its files. The message names the file and what is wrong with it."""


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
        sync_file(partial)
        os.replace(partial, path)
        sync_directory(Path(path).parent)
    finally:
        partial.unlink(missing_ok=True)


def sync_file(path: PathLike) -> None:
    """Waits until the file's bytes are on the disk, not only in the page cache."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def sync_directory(path: PathLike) -> None:
    """Waits until the directory's entries (a rename into it) are on the disk. Some systems
    cannot open a directory or sync one; there the rename is as safe as they make it."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM back while the block runs, then lets one that came meanwhile
    take effect as it would have: a file and the listing that names it are written together.

    Only in the main thread, where Python runs signal handlers, and only for signals whose
    handler Python set (a handler installed from C is left alone)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []

    def hold(signum: int, frame: Optional[FrameType]) -> None:
        caught.append(signum)

    previous: dict[int, Any] = {}
    for held in (signal.SIGINT, signal.SIGTERM):
        handler = signal.getsignal(held)
        if handler is not None and handler != signal.SIG_IGN:
            previous[held] = handler
            signal.signal(held, hold)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if caught:
            first = previous[caught[0]]
            if callable(first):
                first(caught[0], None)
            else:
                signal.raise_signal(caught[0])


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
