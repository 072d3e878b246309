#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the benchmark (Release, in build-bench) and runs it: rescan cost against
# the bare listing, reaction time against raw inotify delivery, heap per link.
# Usage: scripts/bench.sh [--plot PNG] [orva-bench arguments]
#        scripts/bench.sh --count-instructions
# --plot draws rescan cost against entry count into PNG (needs python3-matplotlib).
# --count-instructions counts, under callgrind, the instructions of one
# every-entry-gone rescan at 1 000, 10 000 and 100 000 entries: a figure of
# the work done that the machine's caches and load do not move.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# Instructions of the rescanEmptied() calls in one run, divided by their number.
instructions_per_rescan() {
    local out=$1 total calls
    total=$(sed -n 's/^summary: //p' "$out")
    calls=$(callgrind_annotate --tree=caller --inclusive=yes "$out" |
        sed -n 's/.*< .*allGone.*(\([0-9]*\)x).*/\1/p' | head -1)
    echo $((total / calls))
}

count_instructions() {
    local n out ir previous="" previous_n=""
    ensure_packages valgrind
    echo "Instructions of one every-entry-gone rescan (callgrind), half the entries links"
    for n in 1000 10000 100000; do
        out=build-bench/callgrind.allgone.$n
        valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*rescanEmptied*' \
            --callgrind-out-file="$out" build-bench/bin/orva-bench --large-sizes="$n" \
            --benchmark_filter="^allgone/$n/" --min-time=0.000001 --repetitions=1 --trials=1 \
            >"$out.log" 2>&1
        ir=$(instructions_per_rescan "$out")
        printf '  %6d entries: %11d instructions, %5d per removed link' "$n" "$ir" $((ir * 2 / n))
        if [ -n "$previous" ]; then
            awk -v a="$previous" -v b="$ir" -v m="$previous_n" -v n="$n" \
                'BEGIN { printf ", k = %.2f from %d", log(b / a) / log(n / m), m }'
        fi
        echo
        previous=$ir
        previous_n=$n
    done
}

plot=""
if [ "${1:-}" = --plot ]; then
    plot="$2"
    shift 2
fi

ensure_packages "${BASE_PACKAGES[@]}"
[ -z "$plot" ] || ensure_packages python3-matplotlib
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVA_SANITIZE=OFF >/dev/null
cmake --build build-bench --target orva-bench
if [ "${1:-}" = --count-instructions ]; then
    count_instructions
    exit 0
fi

echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
    "$(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
csv=build-bench/rescan.csv
build-bench/bin/orva-bench --benchmark_color=false --csv="$csv" "$@"
# Debian's python, where python3-matplotlib lives.
[ -z "$plot" ] || /usr/bin/python3 benchmarks/plot_rescan.py "$csv" "$plot"
