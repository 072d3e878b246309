#!/usr/bin/env bash
# Builds everything and runs every test suite: the native build, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer, then the
# AArch64 cross build with its tests under qemu-user.
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

# Cross-built for AArch64 (build-aarch64), tests run under qemu-user. The
# limit covers installing the arm64 packages on a fresh machine.
timeout --kill-after=1m 30m scripts/build-aarch64.sh
