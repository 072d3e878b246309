# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board, reported: the samples of measure.py
as tables (plain or Markdown) and a plot. Figures only, never a verdict."""

import statistics

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
    good = [s for s in samples if "error" not in s]
    out = []
    for setting, mounter in dict.fromkeys((s["setting"], s["mounter"]) for s in good):
        title = setting if setting != "peer" else f"peer, {mounter}"
        out.append((title, [s for s in good if (s["setting"], s["mounter"]) == (setting, mounter)]))
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


def stat(chosen, path, key, p):
    """The median (p 50) or the p-th percentile of a milestone, in ms."""
    values = column(chosen, path, key)
    return ms(median(values) if p == 50 else percentile(values, p))


def summary_rows(found):
    return [[t, str(len(c)), stat(c, "plug", "row", 50), stat(c, "plug", "row", 95),
             stat(c, "pull", "row", 50), stat(c, "pull", "row", 95)]
            for t, c in found if c[0]["mounter"] == "orva"]


def milestone_rows(found, path, milestones):
    keys = [k for k, _ in milestones]
    per_group = [(c, steps(c, path, keys)) for _, c in found]
    rows = [[text] + [cell(c, path, milestones, i, step) for c, step in per_group]
            for i, (_, text) in enumerate(milestones)]
    return [row for row in rows if any(c != "-" for c in row[1:])]


def peer_rows(peer):
    rows = []
    for _, c in peer:
        orva = c[0]["mounter"] == "orva"
        end = "stopped" if orva else "cleaned"
        rows.append([("orva-automount" if orva else "udisks2 + udiskie"), str(len(c)),
                     stat(c, "plug", "mount", 50), stat(c, "plug", "mount", 95),
                     stat(c, "pull", end, 50), stat(c, "pull", end, 95)])
    return rows


def notes(samples, found):
    """What the figures rest on: the clocks, other guests, failed runs."""
    lines = []
    uncertainty = [s["offset_ms_uncertainty"] for _, c in found for s in c]
    ahead = [s["printk_ahead_ms"] for _, c in found for s in c]
    drift = [abs(s["offset_drift_ms"]) for _, c in found for s in c]
    if uncertainty:
        lines.append(f"Guest times on the host's clock: ±{median(uncertainty):.2f} ms "
                     f"(median; worst ±{max(uncertainty):.2f} ms), half the shortest of 16 "
                     f"guest-agent round trips; the offset moved by at most {max(drift):.2f} ms "
                     f"between the start and the end of a run. The printk clock ran {min(ahead):.1f} to "
                     f"{max(ahead):.1f} ms ahead of CLOCK_MONOTONIC. Steps are medians of "
                     "each run's step; p95 is linear between ranks.")
    busy = [s for _, c in found for s in c if s.get("other_guests")]
    lines.append(f"Runs with another emulated machine on the host: {len(busy)} of "
                 f"{sum(len(c) for _, c in found)}.")
    failed = len([s for s in samples if "error" in s])
    if failed:
        lines.append(f"{failed} run(s) failed and are left out (see the JSON).")
    return lines


def tables(samples, markdown):
    """The figures as text: plug and pull to the row, each milestone, the
    peer setting's automounters side by side, and notes."""
    lines = []
    found = groups(samples)
    table(lines, ["setting", "runs", "plug → row, median ms", "p95", "pull → row gone, median ms",
                  "p95"], summary_rows(found), markdown)
    for path, milestones in (("plug", PLUG), ("pull", PULL)):
        table(lines, [f"ms after the {path}: median (+step, share)"] + [t for t, _ in found],
              milestone_rows(found, path, milestones), markdown)
    peer = [(t, c) for t, c in found if t.startswith("peer")]
    if peer:
        table(lines, ["peer setting, same stick and guest", "runs", "plug → mounted, median ms",
                      "p95", "pull → unmounted, median ms", "p95"], peer_rows(peer), markdown)
    lines += notes(samples, found)
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
    return True
