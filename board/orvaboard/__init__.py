# SPDX-License-Identifier: MIT
"""The emulated board as a library: Debian 12 booted under qemu with this
project's packages, and USB storage and SD cards plugged and pulled while
it runs.

board/orva-board is the command over it; the board's tests and benchmark
import it. Its modules:

- waiting: the one way to wait for something with a deadline
- jsonline, qmp, agent: qemu's monitor (QMP) and the guest agent, each a
  JSON object a line over a Unix socket
- image: the base image, built by mmdebstrap and cached under a key of its
  recipe
- machine: the qemu command, up and down, the files of a state folder and
  orva-host's events; relay: what carries those events to the host
- devices: sticks and card readers plugged, pulled, ejected and inserted;
  a card put into the SD slot and taken out
- sticks: stick images made with the real mkfs tools
- board: a Board object over all of it and the worker's Tree
- fixture: a board booted for a block of work, the guest's entry watcher,
  and what a failure leaves for a look afterwards
- testing: the board tests' runner

Times are the host's CLOCK_MONOTONIC seconds.
"""

import os
import sys

BOARD = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
TOP = os.path.dirname(BOARD)


class BoardError(Exception):
    """Something the board cannot do, said as the command says it."""


def say(*words):
    """A line to the user on stderr, as the command's own."""
    print("orva-board:", *words, file=sys.stderr, flush=True)
