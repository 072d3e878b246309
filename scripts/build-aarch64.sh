#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross-builds everything for AArch64 (64-bit ARM Linux) and runs the test
# suite under qemu-user. Installs what it needs from Debian's arm64 packages
# (multiarch) when missing.
# Usage: scripts/build-aarch64.sh [BUILD_DIR] [-- extra cmake arguments]
# BUILD_DIR defaults to build-aarch64, below the project.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

dir=build-aarch64
extra=()
while (($#)); do
    case "$1" in
    --) shift; extra=("$@"); break ;;
    *) dir="$1" ;;
    esac
    shift
done

# The cross build's packages (scripts/lib.sh), qemu-user to run what it
# built, and libbenchmark-dev so that the benchmarks cross-build too.
CROSS_PACKAGES=("${ARM64_PACKAGES[@]}" qemu-user libbenchmark-dev:arm64)

start=$SECONDS
enable_arm64_packages
ensure_packages "${BASE_PACKAGES[@]}" "${CROSS_PACKAGES[@]}"
installed=$SECONDS

# The fuzz targets need clang and its fuzzer runtime: native only.
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
    -DORVA_FUZZ=OFF "${extra[@]}" >/dev/null
cmake --build "$dir" -j2
built=$SECONDS

check_aarch64_elf "$dir/lib/orva/workers/liborva_cb_storagelink.so"
ctest --test-dir "$dir" --output-on-failure
tested=$SECONDS

# The installed tree, as it lands on a board, must run by itself: the
# runner finds the plug-in beside it and both find liborva_api.
stage="$(cd "$dir" && pwd)/stage"
rm -rf "$stage"
DESTDIR="$stage" cmake --install "$dir" --prefix /usr/local >/dev/null
check_aarch64_elf "$stage/usr/local/lib/orva/workers/liborva_cb_storagelink.so"
if ! timeout -s KILL 120 qemu-aarch64 -L / "$stage/usr/local/bin/orva-host" --demo --step-ms 50 \
    >"$dir/installed-demo.log" 2>&1; then
    cat "$dir/installed-demo.log" >&2
    echo "error: the installed orva-host failed its demo" >&2
    exit 1
fi
echo "Installed tree in $stage runs its demo"

echo "AArch64: install $((installed - start)) s, cross build $((built - installed)) s," \
    "tests under qemu $((tested - built)) s"
