#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and the address and undefined
# sanitizers (in build-fuzz), then runs each for a bounded time. Fails on any
# crash, leak, sanitizer report or timeout.
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds="${1:-20}"
dir=build-fuzz
ensure_packages "${BASE_PACKAGES[@]}" clang libclang-rt-14-dev

cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVA_FUZZ=ON -DORVA_SANITIZE=ON -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$dir" -j2 --target fuzz_decode_escape fuzz_label_text fuzz_config

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp:print_suppressions=0"
failed=0
for target in decode_escape label_text config; do
    work="$PWD/$dir/fuzz-work/$target"
    rm -rf "$work" && mkdir -p "$work/corpus"
    log="$work/fuzz.log"
    # Full stacks for the configuration target, so that the suppression of
    # the JSON parser's own leaks can see that parser's frames.
    asan="$ASAN_OPTIONS"
    [ "$target" != config ] || asan="$asan:fast_unwind_on_malloc=0"
    # New inputs go to the work corpus; the checked-in seeds stay untouched.
    if ! ASAN_OPTIONS="$asan" timeout --kill-after=10 $((seconds + 60)) "$dir/bin/fuzz_$target" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
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
    echo "fuzz_$target: ${runs} executions in ${seconds} s (${speed}/s), coverage ${cov:-?} edges, corpus $(ls "$work/corpus" | wc -l) new inputs, no failure"
done
exit "$failed"
