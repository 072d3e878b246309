#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the board's base image from Debian's archive with mmdebstrap: a
# Debian 12 root file system for ARCH (ext4, rootfs.img), with Debian's
# kernel (vmlinuz) and an initramfs from tiny-initramfs (initrd.img) taken
# out of it for a direct kernel boot. This project's packages are not in it:
# the board installs them at boot (orva-board-install).
#
# Usage: board/image/build-image.sh ARCH OUTDIR [PACKAGE_LIST...]
#        (package lists beside "packages" to add, such as packages-peers)
# Run as root. A foreign ARCH runs its maintainer scripts under qemu-user
# through binfmt_misc, which is mounted for the build if it is not.
set -euo pipefail

arch=$1
out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
mirror=${ORVA_BOARD_MIRROR:-http://deb.debian.org/debian}
security=${ORVA_BOARD_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

work=$(mktemp -d "${TMPDIR:-/var/tmp}/orva-board-image.XXXXXX")
binfmt_mounted=
cleanup() {
    rm -rf "$work"
    [ -z "$binfmt_mounted" ] || umount /proc/sys/fs/binfmt_misc
}
trap cleanup EXIT

if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    if ! mountpoint -q /proc/sys/fs/binfmt_misc; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
        binfmt_mounted=1
    fi
    update-binfmts --enable "qemu-$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)"
fi

lists=("$here/packages")
for list in "$@"; do lists+=("$here/$list"); done
packages=$(sed -e 's/#.*//' -e "s/@ARCH@/$arch/g" "${lists[@]}" | xargs | tr ' ' ,)
root=$work/root
guest=$here/guest

# Before the kernel is installed: tiny-initramfs reads its configuration when
# the kernel's hook makes the initramfs.
essential_hook="mkdir -p \"\$1/etc/tiny-initramfs\" && cp $guest/tiny-initramfs.conf \"\$1/etc/tiny-initramfs/\""
customize_hook="$here/customize.sh \"\$1\" $guest"

mmdebstrap --mode=root --variant=apt --architectures="$arch" \
    --aptopt='APT::Install-Recommends "false"' \
    --dpkgopt='path-exclude=/usr/share/locale/*' \
    --include="$packages" \
    --essential-hook="$essential_hook" \
    --customize-hook="$customize_hook" \
    bookworm "$root" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb $security bookworm-security main"

mkdir -p "$out"
cp "$(readlink -f "$root/vmlinuz")" "$out/vmlinuz"
cp "$(readlink -f "$root/initrd.img")" "$out/initrd.img"
# Room for what the board installs at boot and writes while it runs; the
# file is sparse.
mke2fs -q -t ext4 -L orva-board -d "$root" "$out/rootfs.img" 2G
