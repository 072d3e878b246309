# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board, measured: one vfat stick plugged and
pulled again and again, and for each run the host's times of the plug, the
row, the pull and the row gone, with the guest's own milestones in between
(kernel, udev, orva-automount, udisks2) put on the host's clock; ten sticks
plugged at once and pulled at once, to the last of them shown and gone; and
what orva-automount's resident service costs while nothing happens (its
memory, and how often it wakes). report.py turns the samples into figures."""

import json
import os
import re
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
    # Booted as peer, but each run plugs ten sticks at once.
    "ten": ([], True),
}
TEN_LABELS = [f"LAT{n:02}" for n in range(1, 11)]
TEN_NAMES = [f"ten{n}" for n in range(1, 11)]
JOURNAL_IDS = ["kernel", "orva-automount", "udisksd"]
# The journal lines that mark the milestones: (plug or pull, milestone,
# writer, pattern); the first match in that half of the run counts. The
# patterns are anchored: qemu-ga logs each command it runs, ours included.
KERNEL = [("plug", "usb", "kernel", r"^usb \S+: new .*USB device number"),
          ("plug", "disk", "kernel", r"^sd \S+: \[(\w+)\] Attached SCSI removable disk"),
          ("pull", "disconnect", "kernel", r"^usb \S+: USB disconnect, device number")]
MARKS = {
    "orva": KERNEL + [("plug", "mount", "orva-automount", r"^orva-automount: mounted /dev/"),
                      ("pull", "removed", "orva-automount", r"^orva-automount: removed /")],
    "udiskie": KERNEL + [("plug", "mount", "udisksd", r"^Mounted /dev/"),
                         ("pull", "cleaned", "udisksd", r"^Cleaning up mount point")],
}
# The line each waits for before the pull, and after it: orva-automount
# says "removed" once the entry is gone and the device unmounted.
DONE = {"orva": (r"^orva-automount: mounted /dev/", r"^orva-automount: removed /"),
        "udiskie": (r"^Mounted /dev/", r"^Cleaning up mount point")}
SERVICE = "orva-automount.service"
# The service's state as the kernel counts it: its main thread's status,
# then each thread's context switches (the main one's line counts only its
# own, and a device at work has a thread of its own).
SERVICE_STATE = r"""pid=$(systemctl show -P MainPID "$1")
[ "${pid:-0}" != 0 ] || { echo "$1 has no main process" >&2; exit 1; }
echo "pid: $pid"
grep -E '^(VmRSS|VmHWM|Threads|voluntary_ctxt_switches|nonvoluntary_ctxt_switches):' \
    "/proc/$pid/status" || exit 1
for task in /proc/$pid/task/*/status; do
    grep -E '^(non)?voluntary_ctxt_switches:' "$task" 2>/dev/null | sed 's/^/task_/'
done
true"""


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
    kernel time is late by at most the quickest arrival. Entries sent to
    the journal's own socket (udisksd's, through GLib) carry the time they
    were sent (_SOURCE_REALTIME_TIMESTAMP); orva-automount's, written to
    its standard output, are stamped when journald reads them."""
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
    def wait_journal(self, pattern, timeout=120, count=1):
        """Returns once count journal messages after the cursor match the
        regular expression pattern (anchored at each line)."""
        def logged():
            text = self.sh('journalctl -q -o cat --after-cursor="$1"', self.cursor)
            return len(re.findall(pattern, text, re.MULTILINE)) >= count

        wait_until(logged, timeout, f"not {count} journal line(s) like {pattern} within "
                   f"{timeout} s", interval=0.1)

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


def fresh(pristine):
    """A fresh copy of a stick, beside it: a stick pulled while mounted
    keeps its FAT marked dirty, and every run should meet the same stick.
    The copy keeps the image's holes, so that ten of them cost the host
    little writing just before a run."""
    copy = pristine + ".run"
    with open(pristine, "rb") as source, open(copy, "wb") as target:
        while chunk := source.read(1 << 20):
            if chunk.count(0) == len(chunk):
                target.seek(len(chunk), os.SEEK_CUR)
            else:
                target.write(chunk)
        target.truncate()
    return copy


def first_tree(board, after, present, labels=(LABEL,)):
    """The host time of the first tree since after in which every stick of
    labels has its row (present), or none has, or None."""
    for event in board.trees():
        if event["host_time"] < after:
            continue
        tree = Tree(event)
        shown = [bool(tree.labelled(label)) for label in labels]
        if all(shown) if present else not any(shown):
            return event["host_time"]
    return None


def wait_tree(board, after, present, labels=(LABEL,), timeout=120):
    return wait_until(lambda: first_tree(board, after, present, labels), timeout,
                      f"no tree {'with' if present else 'without'} the row(s) within {timeout} s",
                      interval=0.2)


def timed(board, entries, offset, rtt, busy, plugged, pulled):
    """The fields of a run about the clocks and the host, and the shift
    from the guest's CLOCK_MONOTONIC (the entries' "t", set here) to the
    host's, in seconds. Called once the run's entries are collected: the
    offset's second reading shows how far it drifted over the run."""
    offset_after, _ = clock_offset(board)
    printk_ahead = journal_times(entries)
    # Guest CLOCK_MONOTONIC to host CLOCK_MONOTONIC: through the guest's
    # CLOCK_REALTIME, which journald stamps beside it on every entry.
    entry = entries[-1]
    to_host = (int(entry["__REALTIME_TIMESTAMP"]) - int(entry["__MONOTONIC_TIMESTAMP"])) / 1e6 \
        + offset
    return {"plug_host": plugged, "pull_host": pulled,
            "offset_ms_uncertainty": round(rtt / 2 * 1e3, 3),
            "offset_drift_ms": round((offset_after - offset) * 1e3, 3),
            "printk_ahead_ms": printk_ahead,
            "other_guests": max(busy, other_guests(board.state)),
            "host_load": round(os.getloadavg()[0], 2)}, to_host


def since(t, start):
    """ms from start to t (host seconds), or None."""
    return None if t is None else round((t - start) * 1e3, 3)


def one_run(guest, pristine, mounter):
    board = guest.board
    image = fresh(pristine)
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
    clocks, to_host = timed(board, entries, offset, rtt, busy, plugged, pulled)
    start = {"plug": plugged, "pull": pulled}
    sample = {"mounter": mounter, **clocks, "plug": {}, "pull": {}}

    def mark(path, key, t):
        sample[path][key] = since(None if t is None else t + to_host, start[path])

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
        sample["plug"]["row"] = since(row, plugged)
        sample["pull"]["row"] = since(gone, pulled)
    sample["device"] = device
    return sample


# --- ten sticks at once -----------------------------------------------------


def ten_sticks(work):
    """The ten small sticks LAT01 to LAT10, made once: each run plugs
    fresh copies."""
    return [make_stick(os.path.join(work, f"{name}.img"), [("vfat", label)], size_mib=40)
            for name, label in zip(TEN_NAMES, TEN_LABELS)]


def tenth(entries, writer, pattern):
    """The guest time of the tenth of writer's lines like pattern, or None."""
    times = sorted(e["t"] for e in entries
                   if origin(e) == writer and re.search(pattern, message(e)))
    return times[len(TEN_LABELS) - 1] if len(times) >= len(TEN_LABELS) else None


def ten_run(guest, pristines, mounter):
    """Ten sticks plugged one after the other as fast as QMP takes them,
    then pulled the same way: from the first plug to the last of them shown
    (orva-automount: the first tree with all ten rows; udiskie: udisks2's
    tenth "Mounted"), and from the first pull to the last gone (the first
    tree with none of them; udisks2's tenth clean-up)."""
    board = guest.board
    images = [fresh(pristine) for pristine in pristines]
    # Past whatever an earlier run left in the journal, late lines of a
    # failed run included: this run counts its lines up to ten.
    guest.collect()
    busy = other_guests(board.state)
    offset, rtt = clock_offset(board)
    plugs, pulls = [], []
    count = len(TEN_LABELS)
    try:
        for name, image in zip(TEN_NAMES, images):
            plugs.append(board.plug(name, image))
        if mounter == "orva":
            shown = wait_tree(board, plugs[0], True, TEN_LABELS, timeout=300)
        guest.wait_journal(DONE[mounter][0], timeout=300, count=count)
        time.sleep(0.5)
    finally:
        for name in TEN_NAMES[:len(plugs)]:
            pulls.append(board.unplug(name))
    if mounter == "orva":
        gone = wait_tree(board, pulls[0], False, TEN_LABELS, timeout=300)
    guest.wait_journal(DONE[mounter][1], timeout=300, count=count)
    time.sleep(0.5)
    entries, _ = guest.collect()
    clocks, to_host = timed(board, entries, offset, rtt, busy, plugs[0], pulls[0])
    if mounter != "orva":
        shown, gone = (tenth(entries, "udisksd", pattern) for pattern in DONE[mounter])
        shown = None if shown is None else shown + to_host
        gone = None if gone is None else gone + to_host
    # How long QMP took for the ten plugs and the ten pulls: the last is
    # never shown, nor gone, before its own.
    return {"mounter": mounter, **clocks,
            "plug": {"last": since(shown, plugs[0]), "qmp": since(plugs[-1], plugs[0])},
            "pull": {"last": since(gone, pulls[0]), "qmp": since(pulls[-1], pulls[0])}}


def failed_run(guest, mounter, error, names=("bench",)):
    """A run's sample when it failed; the board is left without its sticks
    and the journal's cursor past the run, for the next."""
    board = guest.board
    for name in names:
        try:
            board.unplug(name)
        except BoardError:
            pass  # pulled already, or never in
    time.sleep(2)
    try:
        guest.collect()
    except Exception as again:  # noqa: BLE001 - the next run tries again
        say(f"{mounter}: {safe(again)}")
    return {"mounter": mounter, "error": str(error)}


# --- idle -------------------------------------------------------------------


def timespan_usec(text):
    """systemd's time span as systemctl show prints it ("3min", "1min 30s",
    "500ms", or a bare number of microseconds) in microseconds; None for
    "infinity" or anything else."""
    units = {"us": 1, "usec": 1, "µs": 1, "ms": 10**3, "msec": 10**3, "s": 10**6,
             "sec": 10**6, "m": 60 * 10**6, "min": 60 * 10**6, "h": 3600 * 10**6,
             "hr": 3600 * 10**6, "d": 86400 * 10**6}
    text = text.strip()
    if text.isdigit():
        return int(text)
    parts = re.findall(r"(\d+(?:\.\d+)?)\s*([a-zµ]+)\s*", text)
    if not parts or "".join(re.findall(r"\d+(?:\.\d+)?\s*[a-zµ]+\s*", text)) != text \
            or any(unit not in units for _, unit in parts):
        return None
    return round(sum(float(value) * units[unit] for value, unit in parts))


def service_state(guest):
    """The service's PID, VmRSS and VmHWM (kB), Threads and its main
    thread's context switches from /proc/PID/status, and all its threads'
    context switches summed, in all_threads."""
    state, threads = {}, {"voluntary_ctxt_switches": 0, "nonvoluntary_ctxt_switches": 0}
    for line in guest.sh(SERVICE_STATE, SERVICE).splitlines():
        key, _, value = line.partition(":")
        number = int(value.split()[0])
        if key.startswith("task_"):
            threads[key[len("task_"):]] += number
        else:
            state[key] = number
    state["all_threads"] = threads
    return state


def idle_sample(guest, seconds):
    """What orva-automount's resident service costs while nothing happens:
    its state before and after seconds in which the guest is left alone
    (no stick, no command: the guest agent's round trips come before and
    after only), and its watchdog's period, whose pings are the only
    wake-ups it should have."""
    guest.board.settle()
    watchdog = guest.sh(f"systemctl show -P WatchdogUSec {SERVICE}").strip()
    before = service_state(guest)
    time.sleep(seconds)
    after = service_state(guest)
    return {"setting": "idle", "mounter": "orva", "seconds": seconds, "before": before,
            "after": after, "watchdog": watchdog, "watchdog_usec": timespan_usec(watchdog)}


# --- a setting: one boot ----------------------------------------------------


def runs(guest, mounter, sticks, args, name):
    """The samples of one automounter on a booted board; the warm-up runs
    first (the first plug after boot loads modules), not counted."""
    ten = name == "ten"
    samples = []
    for run in range(-args.warmup, args.ten_runs if ten else args.runs):
        try:
            if ten:
                sample = ten_run(guest, sticks["ten"], mounter)
            else:
                sample = one_run(guest, sticks["one"], mounter)
        except Exception as error:  # noqa: BLE001 - a run may fail, the rest go on
            say(f"{name}/{mounter} run {run}: {safe(error)}")
            sample = failed_run(guest, mounter, error, TEN_NAMES if ten else ("bench",))
        if run < 0:
            continue
        sample.update(setting=name, run=run)
        samples.append(sample)
        say(f"{name}/{mounter} run {run}: " + safe(" ".join(
            f"{k}={v}" for k, v in sample.get("plug", {}).items())))
    return samples


def idle(guest, args, peers):
    """The idle sample, with orva-automount's rule back in place and
    udiskie stopped; a sample with the error when it cannot be taken."""
    say(f"idle: {args.idle} s")
    try:
        if peers:
            guest.use("orva", args.udiskie)
        sample = idle_sample(guest, args.idle)
    except Exception as error:  # noqa: BLE001 - the runs' samples stand without it
        say(f"idle: {safe(error)}")
        return {"setting": "idle", "mounter": "orva", "error": str(error)}
    say("idle: " + safe(" ".join(f"{k}={v}" for k, v in sample["after"].items()
                                 if k != "all_threads")))
    return sample


def run_setting(name, args, sticks, with_idle=False):
    """The samples of one setting: booted for it (unless --board-up), each
    of its automounters measured in turn; then, with_idle, the idle
    sample."""
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
            samples += runs(guest, mounter, sticks, args, name)
        if with_idle and args.idle > 0:
            samples.append(idle(guest, args, peers))
    return samples


def measure(args, settings, keep):
    """The samples of each setting in turn, on sticks made for them; keep
    is given the samples after every setting, in case a later one fails.
    The idle sample follows the default setting's runs (or the first
    setting's): its board has seen plugs like any other, and the service
    is measured as it is after them. Returns the samples and the settings
    that did not run."""
    samples, failed = [], []
    idle_after = "default" if "default" in settings else next(iter(settings), None)
    with tempfile.TemporaryDirectory(prefix="orva-latency.") as work:
        sticks = {"one": make_stick(os.path.join(work, "stick.img"), [("vfat", LABEL)])}
        if "ten" in settings:
            sticks["ten"] = ten_sticks(work)
        for name in settings:
            try:
                samples += run_setting(name, args, sticks, with_idle=name == idle_after)
            except Exception as error:  # noqa: BLE001 - the other settings still run
                say(f"{name}: {safe(error)}")
                failed.append(name)
            keep(samples)
    return samples, failed
