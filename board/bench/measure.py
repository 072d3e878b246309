# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board, measured: one vfat stick plugged and
pulled again and again, and for each run the host's times of the plug, the
row, the pull and the row gone, with the guest's own milestones in between
(kernel, udev, systemd, orva-automount, udisks2) put on the host's clock.
report.py turns the samples into figures."""

import json
import os
import re
import shutil
import sys
import tempfile
import time
from contextlib import nullcontext

from orvaboard import BoardError
from orvaboard.board import Board, Tree
from orvaboard.fixture import booted
from orvaboard.machine import read_pid
from orvaboard.sticks import make_stick
from orvaboard.waiting import wait_until

LABEL = "LATENCY"
UDEV_LOG = "/run/bench-udev.log"
ORVA_RULE = "/etc/udev/rules.d/99-orva-automount.rules"
SETTINGS = {
    # name: (kernel arguments, image with udisks2 and udiskie)
    "default": ([], False),
    "delay0": (["usb-storage.delay_use=0"], False),
    "peer": ([], True),
}
JOURNAL_IDS = ["kernel", "systemd", "orva-automount", "udisksd"]
# The journal lines that mark the milestones: (plug or pull, milestone,
# writer, pattern); the first match in that half of the run counts. The
# patterns are anchored: qemu-ga logs each command it runs, ours included.
KERNEL = [("plug", "usb", "kernel", r"^usb \S+: new .*USB device number"),
          ("plug", "disk", "kernel", r"^sd \S+: \[(\w+)\] Attached SCSI removable disk"),
          ("pull", "disconnect", "kernel", r"^usb \S+: USB disconnect, device number")]
MARKS = {
    "orva": KERNEL + [("plug", "unit", "systemd", r"^Starting orva-automount@"),
                      ("plug", "mount", "orva-automount", r"^orva-automount: mounted /dev/"),
                      ("pull", "stopping", "systemd", r"^Stopping orva-automount@"),
                      ("pull", "stopped", "systemd", r"^Stopped orva-automount@")],
    "udiskie": KERNEL + [("plug", "mount", "udisksd", r"^Mounted /dev/"),
                         ("pull", "cleaned", "udisksd", r"^Cleaning up mount point")],
}
# The line each waits for before the pull, and after it.
DONE = {"orva": (r"^orva-automount: mounted /dev/", r"^Stopped orva-automount@"),
        "udiskie": (r"^Mounted /dev/", r"^Cleaning up mount point")}


def safe(text):
    """Guest text for our terminal: controls as escapes."""
    return re.sub(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\u200e\u200f\u202a-\u202e\u2066-\u2069]",
                  lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 0x100
                  else f"\\u{ord(m.group()):04x}", str(text))


def say(*words):
    print("latency:", *words, file=sys.stderr, flush=True)


# --- the guest's clock ------------------------------------------------------


def clock_offset(board, samples=16):
    """host CLOCK_MONOTONIC minus the guest's CLOCK_REALTIME, in seconds,
    from the guest agent's guest-get-time: a request that runs no process,
    so a round trip takes about a millisecond. The sample with the shortest
    round trip wins; its half is the uncertainty."""
    with board.agent() as agent:
        best = None
        for _ in range(samples):
            sent = time.monotonic()
            guest = agent.execute("guest-get-time") / 1e9
            back = time.monotonic()
            if best is None or back - sent < best[1]:
                best = ((sent + back) / 2 - guest, back - sent)
        return best


# --- what the guest wrote down ----------------------------------------------


def message(entry):
    text = entry.get("MESSAGE", "")
    if isinstance(text, list):  # journalctl gives non-UTF-8 text as bytes
        text = bytes(text).decode("utf-8", "replace")
    return text or ""


def origin(entry):
    """Who wrote an entry: its syslog identifier, or for programs that log
    through GLib's structured logging (udisksd) its command name."""
    return entry.get("SYSLOG_IDENTIFIER") or entry.get("_COMM")


def journal_times(entries):
    """Each entry's time on the guest's CLOCK_MONOTONIC, in seconds.

    journald stamps an entry when it reads it, which for the kernel's
    messages can be tens of milliseconds late under TCG. The kernel's own
    stamp (_SOURCE_MONOTONIC_TIMESTAMP) is on the printk clock, which runs
    apart from CLOCK_MONOTONIC (23 ms ahead after 15 minutes here); its
    offset is taken as the largest (source - arrival) among the batch, so a
    kernel time is late by at most the quickest arrival. systemd's own
    entries carry the time they were sent (_SOURCE_REALTIME_TIMESTAMP)."""
    kernel = [int(e["_SOURCE_MONOTONIC_TIMESTAMP"]) - int(e["__MONOTONIC_TIMESTAMP"])
              for e in entries if e.get("_SOURCE_MONOTONIC_TIMESTAMP")]
    printk_ahead = max(kernel) if kernel else 0
    for e in entries:
        arrival = int(e["__MONOTONIC_TIMESTAMP"])
        if e.get("_SOURCE_MONOTONIC_TIMESTAMP"):
            t = int(e["_SOURCE_MONOTONIC_TIMESTAMP"]) - printk_ahead
        elif e.get("_SOURCE_REALTIME_TIMESTAMP"):
            real_minus_mono = int(e["__REALTIME_TIMESTAMP"]) - arrival
            t = int(e["_SOURCE_REALTIME_TIMESTAMP"]) - real_minus_mono
        else:
            t = arrival
        e["t"] = t / 1e6
    return printk_ahead / 1e3


UDEV_LINE = re.compile(r"^UDEV\s+\[(\d+\.\d+)\]\s+(\w+)\s+(\S+)\s+\(block\)$")


def udev_events(text):
    """(time, action, kernel name) from udevadm monitor's lines: the time
    is CLOCK_MONOTONIC when the monitor got udev's event, after its rules."""
    events = []
    for line in text.splitlines():
        m = UDEV_LINE.match(line.strip())
        if m:
            events.append((float(m.group(1)), m.group(2), m.group(3).rsplit("/", 1)[1]))
    return events


class Guest:
    """The board, with the bench's view of its journal and udev."""

    def __init__(self, board):
        self.board = board
        self.cursor = None

    def sh(self, script, *args, check=True):
        return self.board.exec("sh", "-c", script, "sh", *args, check=check)

    def start_watching(self):
        self.sh("systemctl is-active -q bench-udevmon || systemd-run -q --unit=bench-udevmon "
                f"-p StandardOutput=append:{UDEV_LOG} udevadm monitor --udev -s block")
        self.cursor = self.sh("journalctl -n 0 --show-cursor -q | sed -n 's/^-- cursor: //p'")
        self.cursor = self.cursor.strip()

    # journalctl --after-cursor skips the first entry after the cursor
    # when matches are given as well (systemd 252), so these read every
    # entry and pick theirs out.
    def wait_journal(self, pattern, timeout=120):
        """Returns once a journal message after the cursor matches the
        regular expression pattern (anchored at each line)."""
        def logged():
            return re.search(pattern, self.sh('journalctl -q -o cat --after-cursor="$1"',
                                              self.cursor), re.MULTILINE)

        wait_until(logged, timeout, f"no journal line like {pattern} within {timeout} s",
                   interval=0.1)

    def collect(self):
        """The journal entries since the cursor from the programs that mark
        the milestones, and udev's events so far; moves the cursor on."""
        ids = "|".join(JOURNAL_IDS)
        out = self.sh('journalctl -o json --after-cursor="$1" '
                      f'| grep -E \'"(SYSLOG_IDENTIFIER|_COMM)":"({ids})"\'; '
                      f'echo "--udev--"; cat {UDEV_LOG}', self.cursor)
        journal, _, udev = out.partition("--udev--\n")
        entries = [json.loads(line) for line in journal.splitlines() if line.startswith("{")]
        if entries:
            self.cursor = entries[-1]["__CURSOR"]
        return entries, udev_events(udev)

    def use(self, mounter, udiskie_args):
        """Lets one automounter at the stick: orva-automount's rule, or
        udiskie on udisks2, never both."""
        if mounter == "orva":
            self.sh(f"systemctl stop bench-udiskie 2>/dev/null; rm -f {ORVA_RULE}; "
                    "udevadm control --reload")
            return
        self.sh(f"ln -sf /dev/null {ORVA_RULE} && udevadm control --reload && "
                "systemctl start udisks2 && "
                "{ systemctl is-active -q bench-udiskie || "
                "systemd-run -q --unit=bench-udiskie -p Environment=PYTHONUNBUFFERED=1 "
                f"udiskie {udiskie_args}; }}")
        # udiskie tells nothing when it listens; it does once it has said
        # hello to udisks2 on the bus. Then give it a moment to subscribe.
        try:
            wait_until(lambda: "udiskie" in self.sh("busctl --system --no-legend list",
                                                    check=False), 30, "udiskie on the bus")
        except BoardError as error:
            say(f"going on: {error}")
        time.sleep(3)


def other_guests(state):
    """How many other emulated machines run on this host now: their load
    shows in the figures."""
    ours = str(read_pid(state, "qemu.pid"))
    count = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or pid == ours:
            continue
        try:
            with open(f"/proc/{pid}/comm") as f:
                count += f.read().startswith("qemu-system")
        except OSError:
            pass
    return count


# --- one run ----------------------------------------------------------------


def first_tree(board, after, present):
    """The host time of the first tree since after that holds the stick's
    row (present) or not, or None."""
    for event in board.trees():
        if event["host_time"] >= after and bool(Tree(event).labelled(LABEL)) == present:
            return event["host_time"]
    return None


def wait_tree(board, after, present, timeout=120):
    return wait_until(lambda: first_tree(board, after, present), timeout,
                      f"no tree {'with' if present else 'without'} the row within {timeout} s",
                      interval=0.2)


def one_run(guest, pristine, mounter):
    board = guest.board
    # A fresh copy each time: a stick pulled while mounted keeps its FAT
    # marked dirty, and every run should meet the same stick.
    image = pristine + ".run"
    shutil.copyfile(pristine, image)
    busy = other_guests(board.state)
    offset, rtt = clock_offset(board)
    plugged = board.plug("bench", image)
    try:
        if mounter == "orva":
            row = wait_tree(board, plugged, True)
        guest.wait_journal(DONE[mounter][0])
        time.sleep(0.5)
    finally:
        pulled = board.unplug("bench")
    if mounter == "orva":
        gone = wait_tree(board, pulled, False)
    guest.wait_journal(DONE[mounter][1])
    time.sleep(0.5)
    entries, udev = guest.collect()
    offset_after, _ = clock_offset(board)
    printk_ahead = journal_times(entries)
    # Guest CLOCK_MONOTONIC to host CLOCK_MONOTONIC: through the guest's
    # CLOCK_REALTIME, which journald stamps beside it on every entry.
    entry = entries[-1]
    to_host = (int(entry["__REALTIME_TIMESTAMP"]) - int(entry["__MONOTONIC_TIMESTAMP"])) / 1e6 \
        + offset
    start = {"plug": plugged, "pull": pulled}
    sample = {"mounter": mounter, "plug_host": plugged, "pull_host": pulled,
              "offset_ms_uncertainty": round(rtt / 2 * 1e3, 3),
              "offset_drift_ms": round((offset_after - offset) * 1e3, 3),
              "printk_ahead_ms": printk_ahead,
              "other_guests": max(busy, other_guests(board.state)),
              "host_load": round(os.getloadavg()[0], 2), "plug": {}, "pull": {}}

    def mark(path, key, t):
        sample[path][key] = None if t is None else round((t + to_host - start[path]) * 1e3, 3)

    def half(path, t):
        return (t + to_host < pulled) == (path == "plug")

    disk = None
    for path, key, writer, pattern in MARKS[mounter]:
        found = [(e["t"], m) for e in entries if origin(e) == writer and half(path, e["t"])
                 for m in [re.search(pattern, message(e))] if m]
        mark(path, key, found[0][0] if found else None)
        if key == "disk" and found:
            disk = found[0][1].group(1)
    # udev's event for the partition (or, without a table, for the disk).
    names = [name for _, action, name in udev if action == "add" and disk
             and name.startswith(disk) and name != disk]
    device = names[-1] if names else disk
    for path, action in (("plug", "add"), ("pull", "remove")):
        times = [t for t, a, name in udev if a == action and name == device and half(path, t)
                 and t + to_host >= plugged]
        mark(path, "udev", times[0] if times else None)
    if mounter == "orva":
        sample["plug"]["row"] = round((row - plugged) * 1e3, 3)
        sample["pull"]["row"] = round((gone - pulled) * 1e3, 3)
    sample["device"] = device
    return sample


def failed_run(guest, mounter, error):
    """A run's sample when it failed; the board is left without the stick
    and the journal's cursor past the run, for the next."""
    board = guest.board
    try:
        board.unplug("bench")
    except BoardError:
        pass  # pulled already, or never in
    time.sleep(2)
    try:
        guest.collect()
    except Exception as again:  # noqa: BLE001 - the next run tries again
        say(f"{mounter}: {safe(again)}")
    return {"mounter": mounter, "error": str(error)}


# --- a setting: one boot ----------------------------------------------------


def runs(guest, mounter, image, args, name):
    """The samples of one automounter on a booted board; the warm-up runs
    first (the first plug after boot loads modules), not counted."""
    samples = []
    for run in range(-args.warmup, args.runs):
        try:
            sample = one_run(guest, image, mounter)
        except Exception as error:  # noqa: BLE001 - a run may fail, the rest go on
            say(f"{name}/{mounter} run {run}: {safe(error)}")
            sample = failed_run(guest, mounter, error)
        if run < 0:
            continue
        sample.update(setting=name, run=run)
        samples.append(sample)
        say(f"{name}/{mounter} run {run}: " + safe(" ".join(
            f"{k}={v}" for k, v in sample.get("plug", {}).items())))
    return samples


def run_setting(name, args, image):
    """The samples of one setting: booted for it (unless --board-up), each
    of its automounters measured in turn."""
    append, peers = SETTINGS[name]
    if args.board_up:
        board = nullcontext(Board(args.state, args.arch))
    else:
        say(f"{name}: booting ({' '.join(append) or 'no kernel arguments'}"
            f"{', with udisks2 and udiskie' if peers else ''})")
        board = booted(args.state, args.arch, append=append, with_peers=peers,
                       artifacts=f"latency.{name}")
    started = time.monotonic()
    with board as board:
        if not args.board_up:
            say(f"{name}: up after {time.monotonic() - started:.0f} s")
        guest = Guest(board)
        guest.start_watching()
        samples = []
        for mounter in (["orva", "udiskie"] if peers else ["orva"]):
            if peers:
                guest.use(mounter, args.udiskie)
            samples += runs(guest, mounter, image, args, name)
    return samples


def measure(args, settings, keep):
    """The samples of each setting in turn, on a stick made for them; keep
    is given the samples after every setting, in case a later one fails.
    Returns the samples and the settings that did not run."""
    samples, failed = [], []
    with tempfile.TemporaryDirectory(prefix="orva-latency.") as work:
        image = make_stick(os.path.join(work, "stick.img"), [("vfat", LABEL)])
        for name in settings:
            try:
                samples += run_setting(name, args, image)
            except Exception as error:  # noqa: BLE001 - the other settings still run
                say(f"{name}: {safe(error)}")
                failed.append(name)
            keep(samples)
    return samples, failed
