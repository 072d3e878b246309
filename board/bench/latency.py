#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board: one vfat stick plugged and pulled N
times, and where the time goes between the hot-plug and the row.

For every run: plug -> the first tree that holds the stick's link with its
row, pull -> the first tree without it (orva-host's events, host clock),
and the guest's own milestones in between (kernel, udev, systemd,
orva-automount, udisks2), mapped onto the host's clock. Prints figures,
never judges them.

    board/bench/latency.py [--runs N] [--settings default,delay0,peer]
                           [--json FILE] [--markdown] [--plot FILE.png]
    board/bench/latency.py --from-json FILE [--markdown] [--plot FILE.png]

Needs root (orva-board builds its images with mmdebstrap) and the packages
of scripts/package.sh in dist/. Set ORVA_BOARD_CACHE as for orva-board to
reuse its images. About 15 minutes with the defaults on a 2-CPU machine.
"""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.realpath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import boardkit  # noqa: E402

LABEL = "LATENCY"
UDEV_LOG = "/run/bench-udev.log"
ORVA_RULE = "/etc/udev/rules.d/99-orva-automount.rules"
SETTINGS = {
    # name: (kernel arguments, image with udisks2 and udiskie)
    "default": ([], False),
    "delay0": (["usb-storage.delay_use=0"], False),
    "peer": ([], True),
}
# Milestones in the order they are shown; times are ms after the plug (or
# the pull) on the host's clock.
PLUG = [("usb", "kernel sees the USB device"),
        ("disk", "kernel attached the disk"),
        ("udev", "udev processed the partition"),
        ("unit", "orva-automount@ unit starting"),
        ("row", "row in orva-host's tree"),
        ("mount", "mounted (orva-automount, udisks2)")]
PULL = [("disconnect", "kernel: USB disconnect"),
        ("udev", "udev processed the removal"),
        ("stopping", "orva-automount@ unit stopping"),
        ("row", "row gone from the tree"),
        ("stopped", "orva-automount@ unit stopped"),
        ("cleaned", "udisks2 cleaned up the mount point")]
# Where each automounter's path ends: orva-automount brings the entry in,
# which brings the row, once the device is mounted, and says "mounted" just
# after; the unit stops after the entry is gone.
END = {("orva", "plug"): "row", ("orva", "pull"): "row",
       ("udiskie", "plug"): "mount", ("udiskie", "pull"): "cleaned"}
JOURNAL_IDS = ["kernel", "systemd", "orva-automount", "udisksd"]


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
    agent = board.agent()
    try:
        best = None
        for _ in range(samples):
            sent = time.monotonic()
            guest = agent.execute("guest-get-time") / 1e9
            back = time.monotonic()
            if best is None or back - sent < best[1]:
                best = ((sent + back) / 2 - guest, back - sent)
        return best
    finally:
        agent.close()


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
        extended regular expression pattern."""
        self.sh('deadline=$(($(date +%s) + $3)); '
                'until journalctl -q -o cat --after-cursor="$1" | grep -Eq -- "$2"; do '
                '[ "$(date +%s)" -lt "$deadline" ] || exit 1; sleep 0.1; done',
                self.cursor, pattern, str(timeout))

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
        self.sh('for i in $(seq 300); do busctl --system --no-legend list 2>/dev/null '
                '| grep -q "udiskie" && exit 0; sleep 0.1; done; exit 1', check=False)
        time.sleep(3)


def other_guests(state):
    """How many other emulated machines run on this host now: their load
    shows in the figures."""
    try:
        with open(os.path.join(state, "qemu.pid")) as f:
            ours = f.read().strip()
    except OSError:
        ours = None
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
    for event in board.trees():
        if event["host_time"] >= after and bool(boardkit.Tree(event).labelled(LABEL)) == present:
            return event["host_time"]
    return None


def wait_tree(board, after, present, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        t = first_tree(board, after, present)
        if t is not None:
            return t
        time.sleep(0.2)
    raise RuntimeError(f"no tree {'with' if present else 'without'} the row within {timeout} s")


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


# --- a setting: one boot ----------------------------------------------------


def run_setting(name, args, image):
    append, peers = SETTINGS[name]
    board = boardkit.Board(args.state, args.arch)
    command = ["up", "--arch", args.arch, "--state", args.state]
    for arg in append:
        command += ["--append", arg]
    if peers:
        command.append("--with-peers")
    if not args.board_up:
        say(f"{name}: booting ({' '.join(command[1:])})")
        started = time.monotonic()
        result = board.run(*command, check=False, timeout=1800)
        if result.returncode != 0:
            raise RuntimeError(f"orva-board up failed:\n{safe(result.stderr)}")
        say(f"{name}: up after {time.monotonic() - started:.0f} s")
    samples = []
    try:
        guest = Guest(board)
        guest.start_watching()
        for mounter in (["orva", "udiskie"] if peers else ["orva"]):
            if peers:
                guest.use(mounter, args.udiskie)
            for run in range(-args.warmup, args.runs):
                try:
                    sample = one_run(guest, image, mounter)
                except Exception as error:  # noqa: BLE001 - a run may fail, the rest go on
                    say(f"{name}/{mounter} run {run}: {safe(error)}")
                    sample = {"mounter": mounter, "error": str(error)}
                    # Start the next run from a board without the stick
                    # and past this run's journal lines.
                    board.run("unplug", "--state", args.state, "--id", "bench", check=False)
                    time.sleep(2)
                    try:
                        guest.collect()
                    except Exception as again:  # noqa: BLE001
                        say(f"{name}/{mounter}: {safe(again)}")
                if run < 0:
                    continue  # the first plug after boot loads modules: not counted
                sample.update(setting=name, run=run)
                samples.append(sample)
                say(f"{name}/{mounter} run {run}: " + safe(" ".join(
                    f"{k}={v}" for k, v in sample.get("plug", {}).items())))
    finally:
        if not args.board_up:
            board.down()
    return samples


# --- figures ----------------------------------------------------------------


def percentile(values, p):
    """Linear interpolation between the nearest ranks (numpy's default)."""
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    k = (len(values) - 1) * p / 100
    low = int(k)
    high = min(low + 1, len(values) - 1)
    return values[low] + (values[high] - values[low]) * (k - low)


def groups(samples):
    """(title, samples) per setting and automounter, in a fixed order."""
    out = []
    for setting in SETTINGS:
        for mounter in ("orva", "udiskie"):
            chosen = [s for s in samples if s.get("setting") == setting
                      and s.get("mounter") == mounter and "error" not in s]
            if chosen:
                title = setting if setting != "peer" else f"peer, {mounter}"
                out.append((title, chosen))
    return out


def ms(value):
    if value is None:
        return "-"
    return f"{value:,.0f}".replace(",", " ")


def column(chosen, path, key):
    return [s[path].get(key) for s in chosen]


def steps(chosen, path, keys):
    """Median time of each milestone after the one before it (in keys'
    order), per run."""
    out = []
    previous = [0.0] * len(chosen)
    for key in keys:
        now = column(chosen, path, key)
        out.append(percentile([n - p for n, p in zip(now, previous)
                               if n is not None and p is not None], 50))
        previous = [n if n is not None else p for n, p in zip(now, previous)]
    return out


def cell(chosen, path, milestones, index, step):
    """'median (+step, share)': the share of the path up to its end; a
    milestone after the end gets no share."""
    key = milestones[index][0]
    median = percentile(column(chosen, path, key), 50)
    if median is None:
        return "-"
    keys = [k for k, _ in milestones]
    last = keys.index(END[(chosen[0]["mounter"], path)])
    if index > last:
        return f"{ms(median)} (+{ms(step[index])} after the {keys[last]})"
    total = sum(v for v in step[:last + 1] if v is not None)
    share = f", {100 * step[index] / total:.0f}%" if total and step[index] is not None else ""
    return f"{ms(median)} (+{ms(step[index])}{share})"


def tables(samples, markdown):
    lines = []

    def table(header, rows):
        if markdown:
            lines.append("| " + " | ".join(header) + " |")
            lines.append("|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|")
            lines.extend("| " + " | ".join(row) + " |" for row in rows)
        else:
            widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
            for row in [header] + rows:
                lines.append("  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                       for i, (c, w) in enumerate(zip(row, widths))).rstrip())
        lines.append("")

    def stat(chosen, path, key, p):
        return ms(percentile(column(chosen, path, key), p))

    found = groups(samples)
    failed = len([s for s in samples if "error" in s])
    table(["setting", "runs", "plug → row, median ms", "p95", "pull → row gone, median ms", "p95"],
          [[t, str(len(c)), stat(c, "plug", "row", 50), stat(c, "plug", "row", 95),
            stat(c, "pull", "row", 50), stat(c, "pull", "row", 95)]
           for t, c in found if c[0]["mounter"] == "orva"])
    for path, milestones in (("plug", PLUG), ("pull", PULL)):
        keys = [k for k, _ in milestones]
        per_group = [(c, steps(c, path, keys)) for _, c in found]
        rows = [[text] + [cell(c, path, milestones, i, step) for c, step in per_group]
                for i, (_, text) in enumerate(milestones)]
        rows = [row for row in rows if any(c != "-" for c in row[1:])]
        table([f"ms after the {path}: median (+step, share)"] + [t for t, _ in found], rows)
    peer = [(t, c) for t, c in found if t.startswith("peer")]
    if peer:
        table(["peer setting, same stick and guest", "runs", "plug → mounted, median ms", "p95",
               "pull → unmounted, median ms", "p95"],
              [[("orva-automount" if c[0]["mounter"] == "orva" else "udisks2 + udiskie"),
                str(len(c)), stat(c, "plug", "mount", 50), stat(c, "plug", "mount", 95),
                *([stat(c, "pull", "stopped", 50), stat(c, "pull", "stopped", 95)]
                  if c[0]["mounter"] == "orva" else
                  [stat(c, "pull", "cleaned", 50), stat(c, "pull", "cleaned", 95)])]
               for t, c in peer])
    uncertainty = [s["offset_ms_uncertainty"] for _, c in found for s in c]
    ahead = [s["printk_ahead_ms"] for _, c in found for s in c]
    drift = [abs(s["offset_drift_ms"]) for _, c in found for s in c]
    if uncertainty:
        lines.append(f"Guest times on the host's clock: ±{percentile(uncertainty, 50):.2f} ms "
                     f"(median; worst ±{max(uncertainty):.2f} ms), half the shortest of 16 "
                     f"guest-agent round trips; the offset moved by at most {max(drift):.2f} ms "
                     f"between the start and the end of a run. The printk clock ran {min(ahead):.1f} to "
                     f"{max(ahead):.1f} ms ahead of CLOCK_MONOTONIC. Steps are medians of "
                     "each run's step; p95 is linear between ranks.")
    busy = [s for _, c in found for s in c if s.get("other_guests")]
    lines.append(f"Runs with another emulated machine on the host: {len(busy)} of "
                 f"{sum(len(c) for _, c in found)}.")
    if failed:
        lines.append(f"{failed} run(s) failed and are left out (see the JSON).")
    return "\n".join(lines)


def plot(samples, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        say(f"no plot: matplotlib is missing (apt-get install python3-matplotlib); {path} not drawn")
        return
    found = groups(samples)
    keys = [k for k, _ in PLUG]
    colours = dict(zip(keys, plt.get_cmap("tab10").colors))
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6), dpi=80,
                                      gridspec_kw={"width_ratios": [3, 2]})
    drawn = set()
    for y, (title, chosen) in enumerate(found):
        last = keys.index(END[(chosen[0]["mounter"], "plug")])
        mine = [k for k in keys[:last + 1] if any(v is not None for v in column(chosen, "plug", k))]
        start = 0.0
        for key, value in zip(mine, steps(chosen, "plug", mine)):
            value = value or 0.0
            left.barh(y, value / 1e3, left=start / 1e3, color=colours[key],
                      label=None if key in drawn else
                      "→ " + ("udisks2 mounted it" if key == "mount" else dict(PLUG)[key]))
            drawn.add(key)
            start += value
    left.set_yticks(range(len(found)), [t for t, _ in found])
    left.invert_yaxis()
    left.set_xlabel("seconds after the plug (median of each step)")
    left.set_title("Plug → row (udiskie: → mounted), by step")
    left.legend(fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3)
    boxes, names = [], []
    for title, chosen in found:
        shown = (["row"] if chosen[0]["mounter"] == "orva" else []) + \
            (["mount"] if title.startswith("peer") else [])
        for key in shown:
            boxes.append([v / 1e3 for v in column(chosen, "plug", key) if v is not None])
            names.append(title.replace(", ", "\n") + ("\nrow" if key == "row" else "\nmounted"))
    right.boxplot(boxes, whis=(5, 95))
    right.set_xticks(range(1, len(names) + 1), names, fontsize="small")
    right.set_ylim(bottom=0)
    right.set_ylabel("seconds after the plug (whiskers: 5-95%)")
    right.set_title("Plug → row or mounted")
    fig.tight_layout()
    fig.savefig(path)
    say(f"plot in {path}")


# --- main -------------------------------------------------------------------


def main():
    p = argparse.ArgumentParser(description="Plug to row on the emulated board.")
    p.add_argument("--runs", type=int, default=20, metavar="N", help="measured runs per setting")
    p.add_argument("--warmup", type=int, default=1, metavar="N",
                   help="unmeasured runs first (the first mount loads modules)")
    p.add_argument("--arch", default="amd64", choices=["amd64", "arm64"])
    p.add_argument("--settings", default="default,delay0,peer",
                   help="which of default, delay0, peer to run (comma-separated)")
    p.add_argument("--state", default="/tmp/orva-bench-state", metavar="DIR")
    p.add_argument("--board-up", action="store_true",
                   help="measure on the board that is up in --state, booted for the one "
                        "setting given, and leave it up")
    p.add_argument("--udiskie", default="--no-config --automount --no-notify --no-tray --no-file-manager "
                   "--no-password-prompt --no-terminal",
                   metavar="ARGS", help="udiskie's options in the peer setting")
    p.add_argument("--json", metavar="FILE", help="write the raw samples")
    p.add_argument("--from-json", metavar="FILE", help="no board: figures from saved samples")
    p.add_argument("--markdown", action="store_true", help="tables as Markdown")
    p.add_argument("--plot", metavar="FILE.png")
    args = p.parse_args()

    if args.from_json:
        with open(args.from_json) as f:
            samples = json.load(f)["samples"]
    else:
        chosen = [s for s in args.settings.split(",") if s]
        unknown = [s for s in chosen if s not in SETTINGS]
        if unknown:
            p.error(f"unknown settings: {', '.join(unknown)}")
        if args.board_up and len(chosen) != 1:
            p.error("--board-up measures one setting")
        if os.geteuid() != 0:
            say("needs root (orva-board builds the board's image as root)")
            return 77
        samples, failed = [], []
        with tempfile.TemporaryDirectory(prefix="orva-latency.") as work:
            image = boardkit.make_stick(os.path.join(work, "stick.img"), [("vfat", LABEL)])
            for name in chosen:
                try:
                    samples += run_setting(name, args, image)
                except Exception as error:  # noqa: BLE001 - the other settings still run
                    say(f"{name}: {safe(error)}")
                    failed.append(name)
                if args.json:  # kept after every setting, in case a later one fails
                    with open(args.json, "w") as f:
                        json.dump({"label": LABEL, "arch": args.arch, "runs": args.runs,
                                   "samples": samples}, f, indent=1)
    print(tables(samples, args.markdown))
    if args.plot:
        plot(samples, args.plot)
    if not args.from_json and failed:
        say(f"settings that did not run: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
