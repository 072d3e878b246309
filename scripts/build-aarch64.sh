#!/usr/bin/env bash
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

# Packages that the cross build needs beside the native ones. Debian's arm64
# log4cplus package configuration names the target's librt.a and libnsl.so,
# hence libc6-dev and libnsl-dev of the target.
# libbenchmark-dev lets the benchmarks cross-build too.
CROSS_PACKAGES=(g++-aarch64-linux-gnu qemu-user
    libc6-dev:arm64 libnsl-dev:arm64 qtbase5-dev:arm64 liblog4cplus-dev:arm64
    libbenchmark-dev:arm64)

# Lets dpkg install arm64 packages beside the machine's own. The following
# apt-get update (in ensure_packages) fetches the arm64 lists, so both copies
# of a shared library resolve to the same version.
enable_arm64_packages() {
    [ "$(dpkg --print-architecture)" = arm64 ] && return 0
    dpkg --print-foreign-architectures | grep -qx arm64 && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Adding the arm64 architecture to dpkg" >&2
    "${sudo[@]}" dpkg --add-architecture arm64
}

# Fails unless the file is an AArch64 ELF object.
check_aarch64_elf() {
    local what
    what=$(file -bL "$1")
    echo "$1: $what"
    case "$what" in
    "ELF 64-bit"*"ARM aarch64"*) ;;
    *) echo "error: $1 is not an AArch64 ELF object" >&2; return 1 ;;
    esac
}

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
