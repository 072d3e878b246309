#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs every test suite: the native build, then the same
# tests built with AddressSanitizer and UndefinedBehaviorSanitizer, then the
# AArch64 cross build with its tests under qemu-user, the Debian packages for
# both architectures, and those packages on an emulated board of each. Run it
# as root: the package test installs and removes the amd64 packages, and the
# board's image is built with mmdebstrap.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
scripts/check-spdx.sh
# Tests at most 35 % of tests and shipped code together, counted as the
# README's layout says.
ensure_packages python3
scripts/test-share.py --max 35
scripts/setup.sh build
# What ctest's automount_loop_devices makes file systems with (it runs
# orva-automount on loop devices; exit status 77, skipped, where not root).
ensure_packages "${AUTOMOUNT_TEST_PACKAGES[@]}"
# With the watch-limit case, which lowers the inotify watch limit of a user
# namespace of its own (tests/hardening/tst_badwatchdir.cpp).
ORVA_TEST_WATCH_LIMIT=1 ctest --test-dir build --output-on-failure
# liborva_api's ABI against the last release's (host/abi/).
scripts/check-abi.sh build
scripts/hardening.sh build


# The plug-in built in two build directories is the same file.
scripts/check-reproducible.sh
# The Debian packages (built in build-pkg-amd64, into dist/): lintian, then
# installed, run, built against by an out-of-tree worker, and removed again.
scripts/test-packages.sh --arch amd64

scripts/setup.sh --sanitize build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure
ASAN_OPTIONS=detect_leaks=1 timeout 120 build-asan/bin/orva-lifecycle 10

# libFuzzer targets in their own clang build (build-fuzz), a minute in all,
# most of it where inputs are slow: the escape decoder has seen all its
# branches within a second.
scripts/fuzz.sh decode_escape=5 label_text=20 config=35

# Cross-built for AArch64 (build-aarch64), tests run under qemu-user. The
# limit covers installing the arm64 packages on a fresh machine.
timeout --kill-after=1m 30m scripts/build-aarch64.sh
# The arm64 packages (build-pkg-arm64): lintian, Architecture: arm64 and
# AArch64 ELF files only.
scripts/test-packages.sh --arch arm64

# The emulated board: a booted Debian 12 (Debian's kernel, udev, systemd)
# under qemu with the packages just built, sticks plugged and pulled through
# QMP; each test class boots a board of its own. amd64 in full; arm64 the
# short set, test_vfat_stick: a vfat stick in the board at power-on and one
# plugged. The base images are cached (~/.cache/orva-board) under a key of
# their recipe. A failing test leaves the board's journal, console and
# events in board-artifacts/ (ORVA_BOARD_ARTIFACTS). Exit status 77: skipped
# (not root).
ensure_packages "${BOARD_PACKAGES[@]}"
if [ "$(id -u)" -eq 0 ]; then
    board/orva-board build --arch amd64
    board/orva-board build --arch arm64
fi
# The previous version's orva-automount, for the board's upgrade test
# (cached like the images).
scripts/package-previous.sh --arch amd64
board/tests/test_board.py --arch amd64 || [ $? -eq 77 ]
board/tests/test_board.py --arch arm64 -k test_vfat_stick || [ $? -eq 77 ]
