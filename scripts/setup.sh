#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build needs (when missing), then configures and builds.
# Usage: scripts/setup.sh [--sanitize] [--target T] [BUILD_DIR] [-- extra cmake arguments]
# BUILD_DIR defaults to build (build-asan with --sanitize), below the project.
# --target builds only T and what it needs (repeatable); default: everything.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

sanitize=OFF
dir=""
extra=()
targets=()
while (($#)); do
    case "$1" in
    --sanitize) sanitize=ON ;;
    --target) targets+=(--target "$2"); shift ;;
    --) shift; extra=("$@"); break ;;
    *) dir="$1" ;;
    esac
    shift
done
[ -n "$dir" ] || { [ "$sanitize" = ON ] && dir=build-asan || dir=build; }

ensure_packages "${BASE_PACKAGES[@]}"
cmake -S . -B "$dir" -G Ninja -DORVA_SANITIZE="$sanitize" "${extra[@]}" >/dev/null
cmake --build "$dir" "${targets[@]}"
