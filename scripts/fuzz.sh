#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and the address and undefined
# sanitizers (in build-fuzz), then runs each for a bounded time. Fails on any
# crash, leak, sanitizer report or timeout.
#
# Usage: scripts/fuzz.sh [SECONDS | TARGET=SECONDS ...]
#   SECONDS          every target that long (default 20)
#   TARGET=SECONDS   that target that long, for example config=40; a target
#                    not named runs for 20 s, and 0 leaves it out
# Targets: decode_escape (tens of thousands of inputs a second), label_text
# (hundreds: each input is a label file read by a rescan), config (tens: each
# input creates and destroys a worker and its directory watches).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

targets=(decode_escape label_text config)
declare -A seconds=([decode_escape]=20 [label_text]=20 [config]=20)
usage() {
    echo "usage: $(basename "$0") [SECONDS | TARGET=SECONDS ...] (targets: ${targets[*]})" >&2
    exit 2
}
for arg in "$@"; do
    case "$arg" in
    *=*)
        target="${arg%%=*}" value="${arg#*=}"
        [ -n "${seconds[$target]+known}" ] || usage
        ;;
    *) target="" value="$arg" ;;
    esac
    [[ "$value" =~ ^[0-9]+$ ]] || usage
    if [ -n "$target" ]; then
        seconds[$target]="$value"
    else
        for t in "${targets[@]}"; do seconds[$t]="$value"; done
    fi
done

dir=build-fuzz
ensure_packages "${BASE_PACKAGES[@]}" clang libclang-rt-14-dev

cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVA_FUZZ=ON -DORVA_SANITIZE=ON -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=0
for target in "${targets[@]}"; do
    time="${seconds[$target]}"
    [ "$time" -gt 0 ] || continue
    work="$PWD/$dir/fuzz-work/$target"
    rm -rf "$work" && mkdir -p "$work/corpus"
    log="$work/fuzz.log"
    # New inputs go to the work corpus; the checked-in seeds stay untouched.
    # Absolute paths throughout: fuzz_config works in a directory of its own.
    if ! timeout --kill-after=10 $((time + 60)) "$PWD/$dir/bin/fuzz_$target" \
        -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$work/" "$work/corpus" "$PWD/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz_$target: FAILED (see $log)" >&2
        tail -n 40 "$log" >&2
        failed=1
        continue
    fi
    if grep -qE 'ERROR: (Address|Leak|Undefined)Sanitizer|runtime error:' "$log"; then
        echo "fuzz_$target: sanitizer report (see $log)" >&2
        grep -E -A 20 'Sanitizer|runtime error:' "$log" | head -n 40 >&2
        failed=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | cut -d' ' -f2)
    echo "fuzz_$target: ${runs} executions in ${time} s (${speed}/s), coverage ${cov:-?} edges, corpus $(ls "$work/corpus" | wc -l) new inputs, no failure"
done
exit "$failed"
