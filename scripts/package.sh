#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages into dist/: liborva-cb-storagelink (the plug-in),
# liborva-api0 (the host stand-in), liborva-api-dev (headers, CMake package,
# pkg-config file), orva-host and orva-automount, each
# package with ELF files also as a -dbgsym package holding their debug symbols. Installs what the build needs
# (with apt-get) when missing.
# Usage: scripts/package.sh [--arch amd64|arm64]   (default amd64)
# arm64 is cross-built on an amd64 machine (cmake/aarch64-linux-gnu.cmake,
# Debian's arm64 libraries beside the machine's own). The build directory is
# build-pkg-ARCH.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

usage() { sed -n 's/^# Usage: //p' "$0"; }

arch=amd64
while (($#)); do
    case "$1" in
    --arch) [ $# -ge 2 ] || { usage >&2; exit 2; }; arch="$2"; shift ;;
    --arch=*) arch="${1#--arch=}" ;;
    -h | --help) usage; exit 0 ;;
    *) echo "package.sh: unknown argument '$1'" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
arch=$(arch_option --arch "$arch")

start=$SECONDS
# dpkg-dev: dpkg-shlibdeps, dpkg-gensymbols and dpkg-architecture; binutils:
# objcopy and readelf for the -dbgsym packages; file: how CPack tells ELF
# files.
needed=(cmake ninja-build g++ pkg-config file binutils dpkg-dev qtbase5-dev liblog4cplus-dev)
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    [ "$arch" = arm64 ] && enable_arm64_packages
    needed+=("${ARM64_PACKAGES[@]}")
fi
ensure_packages "${needed[@]}"

dir="build-pkg-$arch"
configure_package_build "$dir" "$arch"
cmake --build "$dir" -j2

# liborva-api0's symbols file, from host/abi/liborva-api0.symbols: the built
# library must export exactly the symbols listed there (-c4 fails on one
# added or gone, showing the difference). dpkg-gensymbols reads the library
# with the target's objdump.
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
library=$(readlink -f "$dir/lib/$multiarch/liborva_api.so.0")
mkdir -p "$dir/packaging/runtime"
dpkg-architecture -a"$arch" -c dpkg-gensymbols -c4 -pliborva-api0 -v"${library##*.so.}" \
    -Ihost/abi/liborva-api0.symbols -e"$library" -O"$dir/packaging/runtime/symbols" || {
    echo "package.sh: the symbols of $library and host/abi/liborva-api0.symbols differ" >&2
    exit 1
}

# Time stamps in the packages: the last commit's, so that packaging the same
# sources twice gives the same archives.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y CHANGELOG.md)
fi
export SOURCE_DATE_EPOCH

# dpkg-shlibdeps reads DEB_HOST_* to look at the target's libraries and
# packages (:arm64) with the target's objdump.
rm -f "$dir"/*.deb "$dir"/*.ddeb
(cd "$dir" && CC="$multiarch-gcc" dpkg-architecture -a"$arch" -c cpack -G DEB >cpack.log 2>&1) || {
    cat "$dir/cpack.log" >&2
    echo "package.sh: cpack failed" >&2
    exit 1
}

# What CPack 3.25 leaves for Debian to want, put right in the package:
# - its -dbgsym packages list their files in md5sums by the absolute path of
#   its staging directory: list them by their path in the package;
# - they have no /usr/share/doc: debhelper links it to the doc folder of the
#   package they belong to, whose copyright and changelog then apply;
# - liborva-api0 calls ldconfig in postinst and postrm although its trigger
#   (activate-noawait ldconfig) already does that: drop the calls.
fix_package() {
    local deb="$1" work="$dir/fixup"
    rm -rf "$work"
    dpkg-deb -R "$deb" "$work"
    local package
    package=$(dpkg-deb -f "$deb" Package)
    case "$package" in
    *-dbgsym)
        mkdir -p "$work/usr/share/doc"
        ln -s "${package%-dbgsym}" "$work/usr/share/doc/$package"
        touch -h -d "@$SOURCE_DATE_EPOCH" "$work/usr/share/doc/$package" "$work/usr/share/doc" \
            "$work/usr/share" "$work/usr"
        (cd "$work" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0r md5sum) \
            >"$work/DEBIAN/md5sums"
        ;;
    liborva-api0)
        grep -qx 'activate-noawait ldconfig' "$work/DEBIAN/triggers"
        rm -f "$work/DEBIAN/postinst" "$work/DEBIAN/postrm"
        ;;
    *) return 0 ;;
    esac
    dpkg-deb --root-owner-group -Zxz -b "$work" "$deb" >/dev/null
    rm -rf "$work"
}

# Debian names debug symbol packages .deb, as apt and lintian expect.
mkdir -p dist
rm -f dist/*_"$arch".deb
for f in "$dir"/*.deb "$dir"/*.ddeb; do
    base=$(basename "$f")
    fix_package "$f"
    mv "$f" "dist/${base%.*}.deb"
done
echo "Packages for $arch in dist/ ($((SECONDS - start)) s):"
for f in dist/*_"$arch".deb; do
    printf '  %-52s %8s bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done
