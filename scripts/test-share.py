#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The tests' share of the code, counted the one way the project counts it.

Lines are the non-blank, non-comment lines of the files git tracks. Tests are
tests/ and board/tests/, in every language. Shipped code is what the packages
are built from: src/, host/, hostkit/, runner/ and automount/, less the ABI
baseline in host/abi/ (data made by tools) and the man pages (text). The
support library, the stress, fuzz and benchmark tools, the scripts and the
emulated board's own tooling count on neither side.
"""

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TESTS = ("tests/", "board/tests/")
SHIPPED = ("src/", "host/", "hostkit/", "runner/", "automount/")
C_LIKE = {".c", ".cc", ".cpp", ".h", ".hpp"}


def is_counted(name):
    return not name.startswith("host/abi/") and not name.endswith((".1", ".5", ".8"))


def code_lines(path):
    """Non-blank lines that are not only a comment: // and /* */ in C and
    C++, # elsewhere (a #! line is code)."""
    c_like = path.suffix in C_LIKE
    count, in_block = 0, False
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        text = line.strip()
        if not text:
            continue
        if c_like:
            if in_block:
                in_block = "*/" not in text
                continue
            if text.startswith("//"):
                continue
            if text.startswith("/*"):
                in_block = "*/" not in text
                continue
        elif text.startswith("#") and not text.startswith("#!"):
            continue
        count += 1
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", action="store_true", help="list each counted file")
    parser.add_argument("--max", type=float, metavar="PERCENT",
                        help="fail when the tests' share is above this")
    args = parser.parse_args()

    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, text=True,
                             stdout=subprocess.PIPE).stdout.split("\n")
    totals = {"tests": 0, "shipped": 0}
    for name in filter(is_counted, filter(None, tracked)):
        side = "tests" if name.startswith(TESTS) else "shipped" if name.startswith(SHIPPED) else None
        if side is None or not (ROOT / name).is_file():
            continue
        lines = code_lines(ROOT / name)
        totals[side] += lines
        if args.files:
            print(f"{side:8} {lines:6}  {name}")
    share = 100.0 * totals["tests"] / (totals["tests"] + totals["shipped"])
    print(f"tests {totals['tests']} lines, shipped code {totals['shipped']} lines:"
          f" tests are {share:.1f} % of the two")
    if args.max is not None and share > args.max:
        sys.exit(f"test-share: above {args.max:g} %")


if __name__ == "__main__":
    main()
