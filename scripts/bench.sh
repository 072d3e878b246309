#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the benchmark (Release, in build-bench) and runs it: rescan cost against
# the bare listing, reaction time against raw inotify delivery, heap per link.
# Usage: scripts/bench.sh [--plot PNG] [orva-bench arguments]
# --plot draws rescan cost against entry count into PNG (needs python3-matplotlib).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

plot=""
if [ "${1:-}" = --plot ]; then
    plot="$2"
    shift 2
fi

ensure_packages "${BASE_PACKAGES[@]}"
[ -z "$plot" ] || ensure_packages python3-matplotlib
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVA_SANITIZE=OFF >/dev/null
cmake --build build-bench --target orva-bench

echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
csv=build-bench/rescan.csv
build-bench/bin/orva-bench --benchmark_color=false --csv="$csv" "$@"
# Debian's python, where python3-matplotlib lives.
[ -z "$plot" ] || /usr/bin/python3 benchmarks/plot_rescan.py "$csv" "$plot"
