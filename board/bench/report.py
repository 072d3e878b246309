# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board, reported: the samples of measure.py
as tables (plain or Markdown) and a plot. Figures only, never a verdict."""

import statistics

# Milestones in the order they are shown; times are ms after the plug (or
# the pull) on the host's clock. Samples of older runs may hold milestones
# not listed here (the systemd units of an automounter started per device):
# they are not shown.
PLUG = [("usb", "kernel sees the USB device"),
        ("disk", "kernel attached the disk"),
        ("udev", "udev processed the partition"),
        ("row", "row in orva-host's tree"),
        ("mount", "mounted (orva-automount, udisks2)")]
PULL = [("disconnect", "kernel: USB disconnect"),
        ("udev", "udev processed the removal"),
        ("row", "row gone from the tree"),
        ("removed", "orva-automount unmounted and removed it"),
        ("cleaned", "udisks2 cleaned up the mount point")]
# Where each automounter's path ends: orva-automount brings the entry in,
# which brings the row, once the device is mounted, and says "mounted" just
# after; on the pull it takes the entry away first, which takes the row,
# and says "removed" once the device is unmounted too.
END = {("orva", "plug"): "row", ("orva", "pull"): "row",
       ("udiskie", "plug"): "mount", ("udiskie", "pull"): "cleaned"}
NAMES = {"orva": "orva-automount", "udiskie": "udisks2 + udiskie"}
# Settings whose samples have no milestones: they have tables of their own.
APART = ("ten", "idle")


def present(values):
    return [v for v in values if v is not None]


def median(values):
    """The median of the values that are there, or None."""
    values = present(values)
    return statistics.median(values) if values else None


def percentile(values, p):
    """The p-th percentile (1 to 99) of the values that are there, linear
    between the nearest ranks (numpy's default), or None."""
    values = present(values)
    if len(values) < 2:
        return values[0] if values else None
    return statistics.quantiles(values, n=100, method="inclusive")[p - 1]


def groups(samples):
    """(title, samples) per setting and automounter, in the order they ran;
    failed runs left out."""
    good = [s for s in samples if "error" not in s and s.get("setting") not in APART]
    out = []
    for setting, mounter in dict.fromkeys((s["setting"], s["mounter"]) for s in good):
        title = setting if setting != "peer" else f"peer, {mounter}"
        out.append((title, [s for s in good if (s["setting"], s["mounter"]) == (setting, mounter)]))
    return out


def number(value):
    """A whole number, its thousands set apart by spaces ("1 234"), or "-"."""
    if value is None:
        return "-"
    return f"{value:,.0f}".replace(",", " ")


def ms(value):
    """A time in milliseconds, as number shows it."""
    return number(value)


def column(chosen, path, key):
    return [s[path].get(key) for s in chosen]


def steps(chosen, path, keys):
    """Median time of each milestone after the one before it (in keys'
    order), per run."""
    out = []
    previous = [0.0] * len(chosen)
    for key in keys:
        now = column(chosen, path, key)
        out.append(median([n - p for n, p in zip(now, previous)
                           if n is not None and p is not None]))
        previous = [n if n is not None else p for n, p in zip(now, previous)]
    return out


def cell(chosen, path, milestones, index, step):
    """'median (+step, share)': the share of the path up to its end; a
    milestone after the end gets no share."""
    key = milestones[index][0]
    middle = median(column(chosen, path, key))
    if middle is None:
        return "-"
    keys = [k for k, _ in milestones]
    last = keys.index(END[(chosen[0]["mounter"], path)])
    if index > last:
        return f"{ms(middle)} (+{ms(step[index])} after the {keys[last]})"
    total = sum(v for v in step[:last + 1] if v is not None)
    share = f", {100 * step[index] / total:.0f}%" if total and step[index] is not None else ""
    return f"{ms(middle)} (+{ms(step[index])}{share})"


def table(lines, header, rows, markdown):
    """Appends a table to lines, as Markdown or aligned plain text."""
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


def figure(values, p):
    """The median (p 50) or the p-th percentile of per-run values, in ms."""
    return ms(median(values) if p == 50 else percentile(values, p))


def stat(chosen, path, key, p):
    """The median (p 50) or the p-th percentile of a milestone, in ms."""
    return figure(column(chosen, path, key), p)


def from_udev(chosen):
    """Per run, udev's event for the partition → the automounter's end of
    the plug (the row for orva-automount, mounted for udiskie): what is
    left once the kernel and udev are done, the automounter's own time
    (and for the row, orva-host's)."""
    end = END[(chosen[0]["mounter"], "plug")]
    return [None if s["plug"].get(end) is None or s["plug"].get("udev") is None
            else s["plug"][end] - s["plug"]["udev"] for s in chosen]


def summary_rows(found):
    return [[t, str(len(c)), stat(c, "plug", "row", 50), stat(c, "plug", "row", 95),
             figure(from_udev(c), 50), figure(from_udev(c), 95),
             stat(c, "pull", "row", 50), stat(c, "pull", "row", 95)]
            for t, c in found if c[0]["mounter"] == "orva"]


def milestone_rows(found, path, milestones):
    keys = [k for k, _ in milestones]
    per_group = [(c, steps(c, path, keys)) for _, c in found]
    rows = [[text] + [cell(c, path, milestones, i, step) for c, step in per_group]
            for i, (_, text) in enumerate(milestones)]
    return [row for row in rows if any(c != "-" for c in row[1:])]


def peer_rows(peer):
    """Each automounter to its own end: the row (orva-automount) or
    mounted (udiskie), and the row gone or the mount point cleaned up."""
    rows = []
    for _, c in peer:
        mounter = c[0]["mounter"]
        plug, pull = END[(mounter, "plug")], END[(mounter, "pull")]
        rows.append([NAMES.get(mounter, mounter), str(len(c)),
                     stat(c, "plug", plug, 50), stat(c, "plug", plug, 95),
                     figure(from_udev(c), 50), figure(from_udev(c), 95),
                     stat(c, "pull", pull, 50), stat(c, "pull", pull, 95)])
    return rows


def ten_groups(samples):
    """(automounter, samples) of the ten-stick runs, in the order they ran;
    failed runs left out."""
    good = [s for s in samples if s.get("setting") == "ten" and "error" not in s]
    return [(m, [s for s in good if s["mounter"] == m])
            for m in dict.fromkeys(s["mounter"] for s in good)]


def ten_rows(ten):
    return [[NAMES.get(m, m), str(len(c)), stat(c, "plug", "last", 50),
             stat(c, "plug", "last", 95), stat(c, "pull", "last", 50),
             stat(c, "pull", "last", 95)] for m, c in ten]


def idle_samples(samples):
    return [s for s in samples if s.get("setting") == "idle" and "error" not in s]


def of_all_threads(sample):
    """Whether the idle context switches can be those of all the service's
    threads: not when their number changed, as a thread that ended takes
    its count with it."""
    before, after = sample["before"], sample["after"]
    return "all_threads" in before and "all_threads" in after \
        and before.get("Threads") == after.get("Threads")


def switches(sample, key):
    """How many context switches of kind key the service made while idle:
    of all its threads, or else of its main thread."""
    before, after = sample["before"], sample["after"]
    if of_all_threads(sample):
        before, after = before["all_threads"], after["all_threads"]
    return after[key] - before[key]


def before_after(sample, key):
    """A value that should not move while idle: once, or "before → after"."""
    before, after = sample["before"].get(key), sample["after"].get(key)
    return number(after) if before == after else f"{number(before)} → {number(after)}"


def idle_rows(idle):
    return [[f"orva-automount, PID {before_after(s, 'pid')}", number(s["seconds"]),
             before_after(s, "VmRSS"), before_after(s, "VmHWM"), before_after(s, "Threads"),
             number(switches(s, "voluntary_ctxt_switches")),
             number(switches(s, "nonvoluntary_ctxt_switches"))] for s in idle]


def idle_notes(idle):
    """What the idle figures should be: the watchdog's pings alone."""
    lines = []
    for s in idle:
        usec = s.get("watchdog_usec")
        whose = ("Context switches are those of all its threads." if of_all_threads(s) else
                 "Context switches are its main thread's (its number of threads changed).")
        if usec:
            every = usec / 2 / 1e6
            lines.append(f"Idle: orva-automount pings systemd's watchdog every {every:g} s "
                         f"(half of WatchdogUSec={s.get('watchdog', usec)}), about "
                         f"{s['seconds'] / every:.0f} times in {s['seconds']} s: the only "
                         f"wake-ups expected. {whose}")
        else:
            lines.append(f"Idle: orva-automount has no watchdog (WatchdogUSec="
                         f"{s.get('watchdog', usec)}): no wake-ups expected in "
                         f"{s['seconds']} s. {whose}")
    return lines


def notes(samples, found, ten):
    """What the figures rest on: the clocks, other guests, failed runs."""
    lines = []
    timed = [s for _, c in found + ten for s in c]
    uncertainty = [s["offset_ms_uncertainty"] for s in timed]
    ahead = [s["printk_ahead_ms"] for s in timed]
    drift = [abs(s["offset_drift_ms"]) for s in timed]
    if uncertainty:
        lines.append(f"Guest times on the host's clock: ±{median(uncertainty):.2f} ms "
                     f"(median; worst ±{max(uncertainty):.2f} ms), half the shortest of 16 "
                     f"guest-agent round trips; the offset moved by at most {max(drift):.2f} ms "
                     f"between the start and the end of a run. The printk clock ran {min(ahead):.1f} to "
                     f"{max(ahead):.1f} ms ahead of CLOCK_MONOTONIC. Steps are medians of "
                     "each run's step; p95 is linear between ranks.")
    if ten:
        def qmp(path):
            return ms(median([s[path].get("qmp") for _, c in ten for s in c]))

        lines.append("Ten sticks: from the first plug to the first tree with all ten rows "
                     "(orva-automount) or udisks2's tenth \"Mounted\" line (udiskie), and from "
                     "the first pull to the first tree with none of them or udisks2's tenth "
                     f"\"Cleaning up mount point\". QMP took {qmp('plug')} ms from the first "
                     f"plug to the tenth, and {qmp('pull')} ms from the first pull to the "
                     "tenth (medians).")
    busy = [s for s in timed if s.get("other_guests")]
    if timed:
        lines.append(f"Runs with another emulated machine on the host: {len(busy)} of "
                     f"{len(timed)}.")
    failed = len([s for s in samples if "error" in s and s.get("setting") != "idle"])
    if failed:
        lines.append(f"{failed} run(s) failed and are left out (see the JSON).")
    for s in samples:
        if s.get("setting") == "idle" and "error" in s:
            lines.append(f"The idle measurement failed: {s['error']}")
    return lines


def tables(samples, markdown):
    """The figures as text: plug and pull to the row, each milestone, the
    peer setting's automounters side by side, ten sticks at once, the
    service idle, and notes; a table for each of them that was measured."""
    lines = []
    found, ten, idle = groups(samples), ten_groups(samples), idle_samples(samples)

    def add(header, rows):
        if rows:  # what was not measured has no table
            table(lines, header, rows, markdown)

    add(["setting", "runs", "plug → row, median ms", "p95", "udev event → row, median ms",
         "p95", "pull → row gone, median ms", "p95"], summary_rows(found))
    for path, milestones in (("plug", PLUG), ("pull", PULL)):
        if found:
            add([f"ms after the {path}: median (+step, share)"] + [t for t, _ in found],
                milestone_rows(found, path, milestones))
    add(["peer setting, same stick and guest", "runs", "plug → row / mounted, median ms", "p95",
         "udev event → row / mounted, median ms", "p95",
         "pull → row gone / cleaned up, median ms", "p95"],
        peer_rows([(t, c) for t, c in found if t.startswith("peer")]))
    add(["ten sticks at once", "runs", "plug → last shown, median ms", "p95",
         "pull → last gone, median ms", "p95"], ten_rows(ten))
    add(["idle", "seconds", "RSS kB", "peak RSS kB", "threads", "voluntary switches",
         "involuntary switches"], idle_rows(idle))
    lines += notes(samples, found, ten) + idle_notes(idle)
    return "\n".join(lines)


def plot(samples, path):
    """Draws plug → row by step, and the spread of plug → row or mounted,
    into path (PNG); False when matplotlib is missing."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
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
    if drawn:  # none where only ten sticks and idle were measured
        left.legend(fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3)
    boxes, names = [], []
    for title, chosen in found:
        shown = (["row"] if chosen[0]["mounter"] == "orva" else []) + \
            (["mount"] if title.startswith("peer") else [])
        for key in shown:
            boxes.append([v / 1e3 for v in column(chosen, "plug", key) if v is not None])
            names.append(title.replace(", ", "\n") + ("\nrow" if key == "row" else "\nmounted"))
    ten = ten_groups(samples)
    for mounter, chosen in ten:
        boxes.append([v / 1e3 for v in column(chosen, "plug", "last") if v is not None])
        names.append(f"ten\n{mounter}\n" + ("row" if mounter == "orva" else "mounted"))
    right.boxplot(boxes, whis=(5, 95))
    right.set_xticks(range(1, len(names) + 1), names, fontsize="small")
    right.set_ylim(bottom=0)
    right.set_ylabel("seconds after the plug (whiskers: 5-95%)")
    right.set_title("Plug → row or mounted" + (" (ten: the last of ten)" if ten else ""))
    fig.tight_layout()
    fig.savefig(path)
    return True
