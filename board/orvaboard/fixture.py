# SPDX-License-Identifier: MIT
"""What a run on the board needs around it: a board booted for a block of
work and powered off after it, a program in the guest that opens each entry
the moment it appears, and, when something fails, the board's journal,
console and events kept where one can look at them."""

import contextlib
import os
import shutil
import sys

from . import TOP, BoardError, machine
from .agent import GuestAgent
from .board import CONFIG, WATCH_DIR, Board
from .waiting import wait_until

WATCH_LOG = "/run/orva-watch.log"
WATCH_ERR = "/run/orva-watch.err"


@contextlib.contextmanager
def booted(state, arch="amd64", *, disks=(), append=(), with_peers=False, watch=None,
           artifacts=None):
    """A Board up in state for as long as the block runs, and down after it.
    watch: a file name that a program in the guest opens in each new entry
    (watch_entries). artifacts: the name to keep the board's artefacts under
    (save_artifacts) when booting or the block fails."""
    board = Board(state, arch)
    # Not one to power off afterwards: the board of someone else.
    if machine.is_up(board.state):
        raise BoardError(f"a board is already up in {board.state}")
    try:
        board.up(disks, append, with_peers)
        if watch:
            watch_entries(board, watch)
        yield board
    except Exception:
        if artifacts:
            save_artifacts(board, artifacts)
        raise
    finally:
        board.down()


def watch_entries(board, name):
    """Starts a program in the guest that opens the file name in each entry
    the moment the entry appears in the watched directory, as a program
    that waits for a stick would, and logs "ENTRY WHAT-IT-READ" (opened)."""
    entries = "|".join(f"{prefix}*" for prefix, _ in CONFIG["watchPrefixes"])
    board.exec("systemd-run", "--unit=orva-watch", "sh", "-c",
               'cd "$1" && inotifywait -m -e create -e moved_to --format %f .'
               f' 2>{WATCH_ERR} | while IFS= read -r f; do case $f in *.label) ;;'
               f' {entries}) echo "$f $(cat "$f/$2" 2>&1)" >>{WATCH_LOG} ;; esac; done',
               "sh", WATCH_DIR, name)
    # inotifywait says when its watch is in place.
    wait_until(lambda: "established" in board.exec("cat", WATCH_ERR, check=False), 10,
               "the entry watcher did not start")


def opened(board):
    """What the entry watcher read, a line per entry: "ENTRY TEXT"."""
    return board.exec("cat", WATCH_LOG, check=False).splitlines()


def artifacts_root():
    """$ORVA_BOARD_ARTIFACTS, or board-artifacts/ in the project's top."""
    return os.environ.get("ORVA_BOARD_ARTIFACTS") or os.path.join(TOP, "board-artifacts")


def save_artifacts(board, name):
    """Keeps what shows why a board misbehaved in the folder name under
    artifacts_root(), replacing what an earlier run kept there: the guest's
    journal of this boot (when the guest agent answers), the console and
    orva-host's events. Says where on stderr and returns the folder."""
    folder = os.path.join(artifacts_root(), name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    try:
        # A guest that misbehaves may answer slowly: more patience than a
        # test's requests get, on a session of its own (the board's is
        # closed, as the guest agent takes one client at a time).
        board.disconnect()
        with GuestAgent(board.state, timeout=60) as session:
            journal, _, _ = session.run(["journalctl", "-b", "--no-pager", "-o",
                                         "short-monotonic"], timeout=120)
        with open(os.path.join(folder, "journal.txt"), "wb") as f:
            f.write(journal)
    except (OSError, BoardError) as error:
        print(f"no journal of the board: {error}", file=sys.stderr)
    for kept in ("console.log", "events.jsonl"):
        if os.path.exists(os.path.join(board.state, kept)):
            shutil.copy(os.path.join(board.state, kept), folder)
    print(f"the board's journal, console and events: {folder}", file=sys.stderr)
    return folder
