#!/bin/sh
# SPDX-License-Identifier: MIT
# mmdebstrap's customize hook for the board's image: ROOT is the new root
# file system, GUEST the folder of the files the board adds to it.
set -eu
root=$1
guest=$2

echo orva-board >"$root/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 orva-board\n' >"$root/etc/hosts"
printf '/dev/vda / ext4 rw,noatime 0 1\n' >"$root/etc/fstab"
# root logs in on the console without a password: the board is a test rig
# reached only through its own serial line.
chroot "$root" passwd -d root >/dev/null

install -m 755 "$guest/orva-board-install" "$root/usr/local/sbin/"
install -m 644 "$guest/orva-board-install.service" "$root/etc/systemd/system/"
systemctl --root="$root" enable orva-board-install.service
# Periodic maintenance would only add noise to the board's time stamps.
systemctl --root="$root" mask apt-daily.timer apt-daily-upgrade.timer \
    e2scrub_all.timer fstrim.timer
