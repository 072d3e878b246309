#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws rescan cost against entry count from orva-bench's --csv output."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

LINES = [
    ("floor", "floor: bare listing", "k--"),
    ("floor-lookup", "floor + label look-ups (no label files)", "k:"),
    ("nochange", "rescan, nothing changed", "o-"),
    ("allnew", "rescan, every entry new", "s-"),
    ("allnew-nolabels", "rescan, every entry new, no label files", "^-"),
    ("allgone", "rescan, every entry gone", "v-"),
]


def main(source, target):
    with open(source, newline="") as f:
        rows = list(csv.DictReader(f))
    fig, ax = plt.subplots(figsize=(6.4, 4.2), dpi=80)
    for key, label, style in LINES:
        # A kind not run at a size has an empty cell.
        points = [(int(r["entries"]), float(r[key]) / 1000) for r in rows if r[key]]
        ax.plot([p[0] for p in points], [p[1] for p in points], style, label=label, markersize=4)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("subdirectories in the watched directory")
    ax.set_ylabel("CPU time per rescan (ms)")
    ax.set_title("Rescan cost against entry count")
    ax.grid(True, which="major", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(target)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
