"""How a command ends: usage errors, Ctrl-C and SIGTERM, and the exit statuses they give.

    0    success
    1    the games could not be played or written
    2    a bad option or unusable input
    130  Ctrl-C
    143  SIGTERM
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType
from typing import Optional

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 128 + signal.SIGTERM


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


def sigterm_received() -> bool:
    return _sigterm_received


def _raise_terminated(signum: int, frame: Optional[FrameType]) -> None:
    global _sigterm_received
    _sigterm_received = True
    # Once is enough: a second SIGTERM must not break off the clean-up of the first.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise Terminated


def stop_on_sigterm() -> None:
    """Makes SIGTERM raise Terminated (in the main thread only, where Python runs handlers).
    Called again after a library (ray.init) has put in a handler of its own."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _raise_terminated)


@contextlib.contextmanager
def sigterm_stops_the_run() -> Iterator[None]:
    """SIGTERM raises Terminated inside the block; the process's own handler is back after it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    global _sigterm_received
    _sigterm_received = False
    previous = signal.getsignal(signal.SIGTERM)
    stop_on_sigterm()
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous if previous is not None else signal.SIG_DFL)
