#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage: scripts/package-previous.sh [--arch amd64|arm64] [COMMIT]
# Builds the orva-automount package of an earlier commit into
# dist-previous/ARCH/, for the board's upgrade test: by default the last
# one whose automounter mounted each device from a systemd unit of its own.
# Only that package's program is built. Kept in the board's cache
# (ORVA_BOARD_CACHE, else ~/.cache/orva-board) under the commit's hash.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

arch=amd64
commit=8b3ecfa
while (($#)); do
    case "$1" in
    --arch) [ $# -ge 2 ] || { echo "package-previous.sh: --arch wants a value" >&2; exit 2; }
        arch="$2"; shift ;;
    --arch=*) arch="${1#--arch=}" ;;
    -h | --help) sed -n 's/^# Usage: //p' "$0"; exit 0 ;;
    -*) echo "package-previous.sh: unknown option '$1'" >&2; exit 2 ;;
    *) commit="$1" ;;
    esac
    shift
done
arch=$(arch_option --arch "$arch")
out="dist-previous/$arch"
# A shallow clone may not have it: the upgrade test then skips itself.
if ! hash=$(git rev-parse --verify -q "$commit^{commit}"); then
    rm -rf "$out"
    echo "package-previous.sh: $commit is not in this clone; no previous package" >&2
    exit 0
fi
cache="${ORVA_BOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orva-board}/previous-$arch-$hash"

if [ ! -f "$cache/done" ]; then
    start=$SECONDS
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    git archive "$hash" | tar -x -C "$work"
    (
        cd "$work"
        configure_package_build build "$arch" >/dev/null
        cmake --build build --target orva-automount orva-automount-manpage orva-deb-changelog >/dev/null
        multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH)
        SOURCE_DATE_EPOCH=$(git -C "$OLDPWD" log -1 --format=%ct "$hash")
        export SOURCE_DATE_EPOCH
        cd build
        CC="$multiarch-gcc" dpkg-architecture -a"$arch" -c \
            cpack -G DEB -D CPACK_COMPONENTS_ALL=automount -D CPACK_DEBIAN_DEBUGINFO_PACKAGE=OFF \
            >cpack.log 2>&1 || { cat cpack.log >&2; exit 1; }
    )
    rm -rf "$cache"
    mkdir -p "$cache"
    cp "$work"/build/orva-automount_*.deb "$cache/"
    touch "$cache/done"
    echo "package-previous.sh: orva-automount of ${hash:0:12} built in $((SECONDS - start)) s"
fi
rm -rf "$out"
mkdir -p "$out"
cp "$cache"/orva-automount_*.deb "$out/"
ls "$out"
