#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Plug to row on the emulated board: one vfat stick plugged and pulled N
times, and where the time goes between the hot-plug and the row; ten
sticks at once; and orva-automount's resident service left idle.

For every run: plug -> the first tree that holds the stick's link with its
row, pull -> the first tree without it (orva-host's events, host clock),
and the guest's own milestones in between (kernel, udev, orva-automount,
udisks2), mapped onto the host's clock; udev's event -> the row is the
part that is the automounter's own. The peer setting has udisks2 and
udiskie mount the same stick in the same guest. The ten setting plugs ten
sticks one after the other as fast as QMP takes them and pulls them the
same way: plug -> the last of them shown, pull -> the last gone, for each
automounter. The idle figures follow the default setting's runs: the
service's memory, threads and context switches over --idle seconds in
which nothing happens in the guest. Prints figures, never judges them.
measure.py takes the samples, report.py makes the tables and the plot.

    board/bench/latency.py [--runs N] [--ten-runs N] [--idle SECONDS]
                           [--settings default,delay0,peer,ten]
                           [--json FILE] [--markdown] [--plot FILE.png]
    board/bench/latency.py --from-json FILE [--markdown] [--plot FILE.png]

Needs root (orva-board builds its images with mmdebstrap) and the packages
of scripts/package.sh in dist/. Set ORVA_BOARD_CACHE as for orva-board to
reuse its images. About 35 minutes with the defaults on a 2-CPU machine,
10 of them idle (--idle 0 skips that).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
import measure  # noqa: E402
import report  # noqa: E402


def parser():
    p = argparse.ArgumentParser(description="Plug to row on the emulated board.")
    p.add_argument("--runs", type=int, default=20, metavar="N", help="measured runs per setting")
    p.add_argument("--warmup", type=int, default=1, metavar="N",
                   help="unmeasured runs first (the first mount loads modules)")
    p.add_argument("--arch", default="amd64", choices=["amd64", "arm64"])
    p.add_argument("--ten-runs", type=int, default=5, metavar="N",
                   help="measured runs of ten sticks per automounter in the ten setting")
    p.add_argument("--idle", type=int, default=600, metavar="SECONDS",
                   help="how long the service is left idle after the default setting's "
                        "runs, or the first setting's (0: not measured)")
    p.add_argument("--settings", default="default,delay0,peer,ten",
                   help="which of default, delay0, peer, ten to run (comma-separated)")
    p.add_argument("--state", default="/tmp/orva-bench-state", metavar="DIR")
    p.add_argument("--board-up", action="store_true",
                   help="measure on the board that is up in --state, booted for the one "
                        "setting given, and leave it up")
    p.add_argument("--udiskie", default="--no-config --automount --no-notify --no-tray "
                   "--no-file-manager --no-password-prompt --no-terminal",
                   metavar="ARGS", help="udiskie's options in the peer and ten settings")
    p.add_argument("--json", metavar="FILE", help="write the raw samples")
    p.add_argument("--from-json", metavar="FILE", help="no board: figures from saved samples")
    p.add_argument("--markdown", action="store_true", help="tables as Markdown")
    p.add_argument("--plot", metavar="FILE.png")
    return p


def measured(p, args):
    """The samples of a run on the board, and the settings that did not
    run; None where the board cannot be run here."""
    chosen = [s for s in args.settings.split(",") if s]
    unknown = [s for s in chosen if s not in measure.SETTINGS]
    if not chosen:
        p.error("no settings to run")
    if unknown:
        p.error(f"unknown settings: {', '.join(unknown)}")
    if args.board_up and len(chosen) != 1:
        p.error("--board-up measures one setting")
    if os.geteuid() != 0:
        measure.say("needs root (orva-board builds the board's image as root)")
        return None

    def keep(samples):
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"label": measure.LABEL, "arch": args.arch, "runs": args.runs,
                           "ten_runs": args.ten_runs, "idle": args.idle,
                           "samples": samples}, f, indent=1)

    return measure.measure(args, chosen, keep)


def main():
    p = parser()
    args = p.parse_args()
    failed = []
    if args.from_json:
        with open(args.from_json) as f:
            samples = json.load(f)["samples"]
    else:
        result = measured(p, args)
        if result is None:
            return 77
        samples, failed = result
    print(report.tables(samples, args.markdown))
    if args.plot:
        if report.plot(samples, args.plot):
            measure.say(f"plot in {args.plot}")
        else:
            measure.say(f"no plot: matplotlib is missing (apt-get install python3-matplotlib); "
                        f"{args.plot} not drawn")
    if failed:
        measure.say(f"settings that did not run: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
