"""Interruptions during a write: SIGTERM stops it as Ctrl-C does, and a commit runs to its end."""

import contextlib
import signal
import threading
from typing import Any, Iterator, List


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived during a write: raised like Ctrl-C's KeyboardInterrupt, so that
    the write is undone on the way out; callers that catch KeyboardInterrupt catch it."""


def _main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


def _raise_terminated(_signum: int, _frame: Any) -> None:
    raise Terminated("terminated (SIGTERM)")


@contextlib.contextmanager
def terminate_as_interrupt() -> Iterator[None]:
    """While the block runs, SIGTERM raises ``Terminated`` instead of ending the
    process on the spot, which would leave the write half done. A handler the
    program installed itself is left alone, as is any thread but the main one
    (only the main thread can handle signals)."""
    if not _main_thread() or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return
    signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


@contextlib.contextmanager
def deferred_signals() -> Iterator[None]:
    """Holds SIGINT and SIGTERM back while the block runs, then raises the first
    that came: a commit either happens whole or not at all."""
    if not _main_thread():
        yield
        return
    caught: List[int] = []
    previous = {}
    for number in (signal.SIGINT, signal.SIGTERM):
        previous[number] = signal.signal(number, lambda signum, _frame: caught.append(signum))
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    if caught:
        handler = previous[caught[0]]
        if callable(handler):
            handler(caught[0], None)
        elif handler is signal.SIG_DFL:
            if caught[0] == signal.SIGINT:
                raise KeyboardInterrupt
            raise Terminated("terminated (SIGTERM)")
