# SPDX-License-Identifier: MIT
# Shared by the scripts of this folder; source it, do not run it.
# shellcheck shell=bash

# The architecture that "--arch ARCH" (or --arch=ARCH) at the front of the
# arguments names, amd64 without one: the two that packages are built for.
arch_option() {
    local arch=amd64
    case "${1:-}" in
    --arch) arch="${2:-}" ;;
    --arch=*) arch="${1#--arch=}" ;;
    esac
    case "$arch" in
    amd64 | arm64) echo "$arch" ;;
    *) echo "$(basename "$0"): --arch wants amd64 or arm64, got '$arch'" >&2; return 2 ;;
    esac
}

# Installs the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}" >&2
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build needs (Google Benchmark so that orva-bench keeps compiling).
# shellcheck disable=SC2034 # used by the scripts that source this file
BASE_PACKAGES=(cmake ninja-build g++ make pkg-config file qtbase5-dev liblog4cplus-dev
    libbenchmark-dev libblkid-dev libmount-dev libudev-dev libsystemd-dev)

# What tests/automount needs: the mkfs tools of the file systems it tries
# (ntfs-3g: mkntfs, and the driver where the kernel has no ntfs3),
# jq for orva-host's JSON events, shellcheck, strace to kill an add at a
# given system call.
# shellcheck disable=SC2034
AUTOMOUNT_TEST_PACKAGES=(e2fsprogs btrfs-progs xfsprogs dosfstools exfatprogs ntfs-3g jq shellcheck
    strace)

# What the emulated board (board/orva-board) needs: qemu for both
# architectures, mmdebstrap with qemu-user's binfmt for an arm64 image, and
# the tools its tests make sticks with.
# shellcheck disable=SC2034
BOARD_PACKAGES=(qemu-system-x86 qemu-system-arm qemu-utils mmdebstrap arch-test
    qemu-user-static binfmt-support e2fsprogs dosfstools exfatprogs ntfs-3g btrfs-progs fdisk
    python3)

# What a cross build for arm64 needs beside the native packages. Debian's
# arm64 log4cplus package configuration names the target's librt.a and
# libnsl.so, hence libc6-dev and libnsl-dev of the target.
# shellcheck disable=SC2034
ARM64_PACKAGES=(g++-aarch64-linux-gnu libc6-dev:arm64 libnsl-dev:arm64 qtbase5-dev:arm64
    liblog4cplus-dev:arm64 libblkid-dev:arm64 libmount-dev:arm64 libudev-dev:arm64 libsystemd-dev:arm64)

# What the ABI check of liborva_api (scripts/check-abi.sh) needs: abidw and
# abidiff.
# shellcheck disable=SC2034
ABI_CHECK_PACKAGES=(abigail-tools)

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

# Debian's compiler or linker flags (FLAGS: CPPFLAGS, CXXFLAGS, LDFLAGS) for
# the architecture ARCH, with every hardening feature. The project maps its own
# paths out of the binaries (-ffile-prefix-map): dpkg-buildflags' map of the
# current directory would only repeat that.
debian_buildflags() {
    DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath" \
        DEB_HOST_ARCH="$1" dpkg-buildflags --get "$2"
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

# Configures DIR as the packages are built: for /usr with Debian's library
# folder, Debian's hardening flags, only what is shipped (no tests,
# benchmarks or fuzz targets), for the Debian architecture ARCH (amd64 or
# arm64; arm64 cross-builds on an amd64 machine with the toolchain file).
# Extra arguments go to cmake.
configure_package_build() {
    local dir="$1" arch="$2"
    shift 2
    local multiarch args=()
    multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
    if [ "$arch" != "$(dpkg --print-architecture)" ]; then
        [ "$arch" = arm64 ] || { echo "error: no cross toolchain for $arch" >&2; return 1; }
        args+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DORVA_QEMU_PRELOAD=OFF)
    fi
    local cxxflags ldflags
    cxxflags="$(debian_buildflags "$arch" CPPFLAGS) $(debian_buildflags "$arch" CXXFLAGS)"
    ldflags="$(debian_buildflags "$arch" LDFLAGS)"
    cmake -S . -B "$dir" -G Ninja "${args[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_INSTALL_LIBDIR="lib/$multiarch" \
        -DCMAKE_CXX_FLAGS="$cxxflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
        -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
        -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
        -DBUILD_TESTING=OFF -DORVA_FUZZ=OFF -DORVA_SANITIZE=OFF \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
        -DORVA_DEB_ARCHITECTURE="$arch" "$@" >/dev/null
}
