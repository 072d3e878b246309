#!/usr/bin/env bash
# Builds everything and runs every test suite: the native build, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh build
ctest --test-dir build --output-on-failure
scripts/hardening.sh build

scripts/setup.sh --sanitize build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure
ASAN_OPTIONS=detect_leaks=1 timeout 120 build-asan/bin/orva-lifecycle 10

# libFuzzer targets, 20 s each, in their own clang build (build-fuzz).
scripts/fuzz.sh 20
