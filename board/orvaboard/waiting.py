# SPDX-License-Identifier: MIT
"""The one way the board waits for something: ask, and ask again until an
answer comes or the time is up."""

import time

from . import BoardError


class Timeout(BoardError):
    """The time given to a wait ran out."""


def wait_until(predicate, timeout, failure, interval=0.1):
    """predicate's first true answer, asked at once and then every interval
    seconds. Once timeout seconds have passed without one, raises Timeout
    with failure as its message; failure may be a function, called then,
    so that the message can show the last state."""
    deadline = time.monotonic() + timeout
    while True:
        answer = predicate()
        if answer:
            return answer
        if time.monotonic() >= deadline:
            raise Timeout(failure() if callable(failure) else failure)
        time.sleep(interval)
