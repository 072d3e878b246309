#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# orva-automount with real parts: file system images made with the mkfs
# tools, attached as loop devices, mounted into a directory that orva-host
# --json watches with the plug-in, and taken out again.
#
# The emulated board (board/tests/test_board.py) plugs real sticks into a
# booted Debian: vfat with its options, exfat, ext4, NTFS, two partitions,
# a code-page label, read-only media with their journal line, btrfs refused
# by default, a stick without a file system, the attach row, card readers.
# What is here is what the board does not show: the options of the other
# types (btrfs and xfs allowed by the configuration), labels that blkid
# escapes, the messages of refused adds, links planted where orva-automount
# writes, repeated and busy commands, the configuration and udev's
# environment, what a crash leaves and cleanup, and the files' own checks
# (shellcheck, dash, systemd-analyze verify).
#
# Usage: tests/automount/test-automount.sh [ORVA_HOST [PLUGIN]]
#        (default: build/bin/orva-host and the plug-in it finds)
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or loop devices or
# mounts refused here). It never leaves a mount or a loop device behind.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
automount=$top/automount/orva-automount
host=${1:-$top/build/bin/orva-host}
plugin=("${@:2:1}")

failures=0
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
# expect WHAT ACTUAL EXPECTED; check WHAT COMMAND...: the command succeeds.
expect() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi; }
check() { if "${@:2}"; then pass "$1"; else fail "$1"; fi; }
skip() { echo "SKIP: $*" && exit $((failures ? 1 : 77)); }

# --- the clean-up that runs whatever happens --------------------------------

work=$(mktemp -d /tmp/orva-automount-test.XXXXXX)
watch=$work/watch
mkdir -m 0755 "$watch" "$work/probe"
events=$work/events.json
host_pid=
export ORVA_AUTOMOUNT_CONFIG=$work/no-config
unset ACTION DEVNAME ID_BUS ID_FS_TYPE ID_FS_LABEL_ENC

# Loop devices whose backing file lies in the work directory, and mount
# points there, deepest first.
our_loops() { losetup -l -n -O NAME,BACK-FILE 2>/dev/null | awk -v w="$work/" 'index($2, w) == 1 { print $1 }'; }
our_mounts() { findmnt -rn -o TARGET 2>/dev/null | awk -v w="$work/" 'index($0, w) == 1' | sort -r; }

cleanup() {
    local status=$? t l
    exec 7<&-
    [ -z "$host_pid" ] || { kill "$host_pid" && wait "$host_pid"; } 2>/dev/null || true
    for t in $(our_mounts); do umount -l "$t" || true; done
    for l in $(our_loops); do losetup -d "$l" || true; done
    [ -z "$(our_mounts)$(our_loops)" ] || { echo "FAIL: left behind: $(our_mounts) $(our_loops)" >&2 && exit 1; }
    rm -rf --one-file-system "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# --- the files themselves ----------------------------------------------------

if command -v shellcheck >/dev/null; then
    check "shellcheck orva-automount" shellcheck -s sh "$automount" "$top/automount/orva-automount.default"
    check "shellcheck this test" shellcheck "$0"
else echo "note: shellcheck missing, not checked"; fi
! command -v dash >/dev/null || check "dash parses orva-automount" dash -n "$automount"

# systemd-analyze verify on the units, with the script where ExecStart
# names it. Parse problems are only logged at debug level here, so they are
# looked for.
if command -v systemd-analyze >/dev/null; then
    for unit in orva-automount@.service orva-automount-cleanup.service; do
        sed "s|/usr/sbin/orva-automount|$automount|" "$top/automount/$unit" >"$work/$unit"
    done
    out=$(SYSTEMD_LOG_LEVEL=debug systemd-analyze verify "$work/orva-automount@sdb1.service" \
        "$work/orva-automount-cleanup.service" 2>&1) || fail "systemd-analyze verify the units: $out"
    expect "systemd-analyze verify: no problem in the units" \
        "$(grep -E 'orva-automount(@|-cleanup)\.service:[0-9]+: ' <<<"$out")" ""
fi

[ "$(id -u)" -eq 0 ] || skip "not root: loop devices and mounts need root"
for tool in losetup blkid mount umount findmnt mkfs.ext4 jq; do command -v "$tool" >/dev/null || skip "$tool is missing"; done

# attach IMAGE [losetup options]: prints the loop device.
attach() { losetup --find --show "${@:2}" "$1"; }
detach() { losetup -d "$1"; }

# Loop devices and mounting may be refused (a restricted container). The
# device is the one most cases use: ext4 labelled Plain.
truncate -s 32M "$work/plain.img" && mkfs.ext4 -q -F -L Plain "$work/plain.img"
dev=$(attach "$work/plain.img" 2>/dev/null) || skip "loop devices are not permitted here"
mount -t ext4 "$dev" "$work/probe" 2>/dev/null || { detach "$dev" && skip "mounting is not permitted here"; }
umount "$work/probe"
k=${dev##*/}

# --- orva-host watching the directory ---------------------------------------

# Label files are read with the locale's codec.
LC_ALL=C.UTF-8 "$host" --json --watch "$watch" --prefix usb-:USB --prefix odd-:Odd \
    --log-level INFO "${plugin[@]}" >"$events" 2>"$work/host.err" &
host_pid=$!

# wait_until COMMAND...: polls for up to 10 s.
wait_until() { local i; for ((i = 0; i < 200; i++)); do ! "$@" || return 0; sleep 0.05; done; return 1; }
wait_until grep -q '"event":"ready"' "$events" || { cat "$work/host.err" >&2 && exit 1; }

# The node of ENTRY in the latest tree event, as JSON, or nothing.
node() { jq -cnR --arg p "/CMStorageLinkWorker/$1" \
    '[inputs | fromjson? | select(.event == "tree")][-1].nodes[]? | select(.path == $p)' "$events"; }
has_link() { [ -n "$(node "$1")" ]; }
has_no_link() { [ -z "$(node "$1")" ]; }

# --- what is checked ---------------------------------------------------------

# What a directory holds beside orva-automount's own staging directory, and
# what that holds beside its locks: both empty once a device has gone, and
# after a refused add.
listing() {
    find "$1" -mindepth 1 -maxdepth 1 ! -name .orva-automount -printf '%f\n' | sort
    [ ! -d "$1/.orva-automount/mnt" ] || ls -A "$1/.orva-automount/mnt"
}
# expect_nothing_left WHAT DEV
expect_nothing_left() { expect "$1: nothing left" "$(listing "$watch")$(findmnt -rn -o TARGET --source "$2")" ""; }
# run WHAT ARGUMENTS...: orva-automount succeeds.
run() { if "$automount" "${@:2}" >/dev/null; then pass "$1"; else fail "$1: exit status $?"; fi; }

# expect_refused WHAT MESSAGE-PATTERN DEVICE ARGUMENTS...: orva-automount
# fails with a message matching the pattern and leaves nothing behind.
expect_refused() {
    local err
    ! err=$("$automount" "${@:4}" 2>&1 >/dev/null) || fail "$1: accepted"
    check "$1: refused, the message matches '$2': $err" grep -qE "$2" <<<"$err"
    expect_nothing_left "$1" "$3"
}

# expect_added WHAT DEV ENTRY TYPE LABEL [OPTIONS-PATTERN]: DEV is mounted
# behind the entry, a link to its staging directory, with the options; the
# label file holds blkid's encoding, and the link shows the original label.
expect_added() {
    local dir=$watch/$3 options=${6:-^rw,nosuid,nodev,noexec,noatime} n
    check "$1: the label file is a regular file" test -f "$dir.label" -a ! -L "$dir.label"
    expect "$1: label file, mode" "$(od -An -c "$dir.label") $(stat -c %a "$dir.label")" \
        "$(blkid -p -o udev "$2" | sed -n 's/^ID_FS_LABEL_ENC=//p' | od -An -c) 644"
    expect "$1: the entry links to its mount" "$(readlink "$dir")" ".orva-automount/mnt/$3"
    expect "$1: mount" "$(findmnt -rn -v -o SOURCE,FSTYPE --mountpoint "$dir" || true)" "$2 $4"
    n=$(findmnt -rn -o OPTIONS --mountpoint "$dir" || true)
    check "$1: mount options '$n' match '$options'" grep -qE "$options" <<<"$n"
    check "$1: a link for $3" wait_until has_link "$3"
    expect "$1: description, id" "$(node "$3" | jq -r '.description + "|" + .id')" "$5|${3#*-}"
}

# expect_removed WHAT DEV ENTRY: the link, the entry, the label file, the
# staging directory and the mount gone.
expect_removed() { check "$1: link gone" wait_until has_no_link "$3" && expect_nothing_left "$1" "$2"; }

# add_remove WHAT DEV ENTRY TYPE LABEL OPTIONS-PATTERN ARGUMENTS...: added
# with the arguments, checked, removed (without a prefix), checked.
add_remove() {
    run "$1: add" --watch-dir "$watch" "${@:7}" add "$2"
    expect_added "$@"
    run "$1: remove" --watch-dir "$watch" remove "$2"
    expect_removed "$1" "$2" "$3"
}

# --- every file system type, mounted where the kernel can --------------------

ran=() skipped=()

# fs_case TYPE SIZE OPTIONS-PATTERN LABEL MKFS...: an image of TYPE with
# LABEL (the mkfs command takes the label as its last argument), added and
# removed where the kernel can mount the type.
fs_case() {
    local type=$1 size=$2 options=$3 label=$4 d
    command -v "$5" >/dev/null || { skipped+=("$type ($5 missing)") && return; }
    truncate -s "$size" "$work/$type.img" && "${@:5}" "$label" "$work/$type.img" >/dev/null
    d=$(attach "$work/$type.img")
    if mount -t "$type" -o ro "$d" "$work/probe" 2>/dev/null && umount "$work/probe"; then
        ran+=("$type")
        add_remove "$type" "$d" "usb-${d##*/}" "$type" "$label" "$options" --prefix usb-
    else
        skipped+=("$type (the kernel cannot mount it)")
    fi
    detach "$d"
}

# Each label holds blanks, a backslash, characters that blkid escapes and,
# where the type allows them, letters outside ASCII, within the type's limit
# (ext4 16 bytes, xfs 12, exfat 11 characters). What each type is mounted
# with: never setuid, devices, programs or links to follow; exfat, without
# owners of its own, belongs to HOST_USER (root here) and no file is
# executable; UTF-8 names. btrfs and xfs only where the configuration names
# them.
always='^rw,nosuid,nodev,noexec,noatime,nosymfollow'
echo 'ALLOWED_TYPES="exfat ext4 btrfs xfs"' >"$work/all-types"
export ORVA_AUTOMOUNT_CONFIG=$work/all-types
fs_case ext4 32M "$always,errors=remount-ro" 'Fotos Ü\x41 (1)' mkfs.ext4 -q -F -L
fs_case btrfs 128M "$always," $'Ürlaub – Größe\t😀 "$HOME" \'s\' a\\x41\\b;|&*?[]{}~%!^`<>#+=@:,.' \
    mkfs.btrfs -q -f -L
fs_case xfs 300M "$always," 'Daten é\x5;' mkfs.xfs -q -f -L
fs_case exfat 32M "$always,fmask=0133,dmask=0022,iocharset=utf8,errors=remount-ro" \
    'Ärger \x41!' mkfs.exfat -L
export ORVA_AUTOMOUNT_CONFIG=$work/no-config

# --- refused: a message and nothing left -------------------------------------

# No file system; ext4 on a device shorter than the file system (blkid sees
# it, the kernel refuses it); a file that is no block device; prefixes that
# would leave the directory, hide the entry or run a command if evaluated;
# a device on no known bus; a type that the configuration does not allow.
truncate -s 8M "$work/blank.img" && truncate -s 64M "$work/short.img" && mkfs.ext4 -q -F "$work/short.img"
blank=$(attach "$work/blank.img")
short=$(attach "$work/short.img" --sizelimit 16M)
expect_refused "no file system" "no file system" "$blank" --watch-dir "$watch" --prefix usb- add "$blank"
expect_refused "mount refused" "refused" "$short" --watch-dir "$watch" --prefix usb- add "$short"
detach "$blank" && detach "$short"
expect_refused "regular file" "not a block device" /dev/null --watch-dir "$watch" add "$work/blank.img"
# shellcheck disable=SC2016 # a prefix that would run a command if evaluated
for p in ../ a/b .hidden- '' 'x y-' 'x$(id)-'; do
    expect_refused "prefix '$p'" "invalid prefix" "$dev" --watch-dir "$watch" --prefix "$p" add "$dev"
done
expect_refused "no bus, no prefix" "give --prefix" "$dev" --watch-dir "$watch" add "$dev"
echo 'ALLOWED_TYPES="btrfs xfs"' >"$work/config-types"
ORVA_AUTOMOUNT_CONFIG=$work/config-types expect_refused "ext4 not in ALLOWED_TYPES" \
    "type ext4, which is not allowed" "$dev" --watch-dir "$watch" --prefix usb- add "$dev"

# A watch directory that others may write: refused, nothing made in it.
mkdir "$work/open" && chmod 0777 "$work/open"
err=$("$automount" --watch-dir "$work/open" --prefix usb- add "$dev" 2>&1) || true
expect "world-writable watch directory: the message; what is made" \
    "$(grep -o "writable by others" <<<"$err")|$(listing "$work/open")" "writable by others|"

# A link planted under the entry's name: refused, nothing mounted through it.
mkdir "$work/victim-dir" && ln -s "$work/victim-dir" "$watch/usb-$k"
if "$automount" --watch-dir "$watch" --prefix usb- add "$dev" 2>/dev/null; then fail "planted entry link: accepted"; fi
expect "planted entry link: nothing mounted, no label file" \
    "$(findmnt -rn -o TARGET --source "$dev" || true)$(listing "$watch")" "usb-$k"
rm "$watch/usb-$k"

# --- a planted label link, repeated and busy commands ------------------------

# A link planted under the label file's name is replaced, not followed.
echo keep >"$work/victim" && ln -s "$work/victim" "$watch/usb-$k.label"
run "planted label link: add" --watch-dir "$watch" --prefix usb- add "$dev"
expect "planted label link: its target untouched" "$(cat "$work/victim")" keep
expect_added "planted label link" "$dev" "usb-$k" ext4 Plain
# A second add changes nothing.
title=$(node "usb-$k" | jq -r .title)
run "add again" --watch-dir "$watch" --prefix usb- add "$dev"
expect "add again: one mount, the same link" \
    "$(findmnt -rn -o TARGET --source "$dev" | wc -l) $(node "usb-$k" | jq -r .title)" "1 $title"
# Busy (a directory open on it): remove unmounts lazily and still takes the
# entry away. A second remove changes nothing.
exec 7<"$watch/usb-$k/"
run "busy: remove" --watch-dir "$watch" remove "$dev"
expect_removed "busy" "$dev" "usb-$k"
exec 7<&-
run "remove again" --watch-dir "$watch" remove "$dev"
expect_nothing_left "remove again" "$dev"

# remove without --prefix finds an entry with any prefix by its mount.
add_remove "other prefix" "$dev" "odd-$k" ext4 Plain '' --prefix odd-

# --- configuration and udev's environment -----------------------------------

printf 'WATCH_DIR=%s\nMOUNT_OPTIONS=ro,noatime\nPREFIX_MMC=odd-\n' "$work/configured" >"$work/config"
mkdir -m 0755 "$work/configured"
export ORVA_AUTOMOUNT_CONFIG=$work/config
run "configured: add" --prefix usb- add "$dev"
expect "configured: mounted in WATCH_DIR with MOUNT_OPTIONS, the label file there" \
    "$(findmnt -rn -v -o SOURCE,OPTIONS --mountpoint "$work/configured/usb-$k" | cut -d, -f1-5) \
$(cat "$work/configured/usb-$k.label")" "$dev ro,nosuid,nodev,noexec,noatime Plain"
run "configured: remove" remove "$dev"
expect "configured: gone" "$(listing "$work/configured")" ""
# --watch-dir wins over WATCH_DIR.
add_remove "configured, --watch-dir" "$dev" "usb-$k" ext4 Plain '^ro,nosuid,nodev,noexec' --prefix usb-
expect "configured, --watch-dir: nothing in WATCH_DIR" "$(listing "$work/configured")" ""

# Started from the udev rule for an SD card: type, label and bus come from
# its environment, the prefix from the bus and PREFIX_MMC. (USB, with the
# default prefix, is what the board plugs.)
ACTION=add DEVNAME=$dev ID_BUS=mmc ID_FS_TYPE=ext4 ID_FS_LABEL_ENC='from\x20udev\x21' \
    run "udev, ID_BUS=mmc: add" --watch-dir "$watch" add "$dev"
check "udev, ID_BUS=mmc: a link odd-$k" wait_until has_link "odd-$k"
expect "udev, ID_BUS=mmc: description" "$(node "odd-$k" | jq -r .description)" "from udev!"
run "udev, ID_BUS=mmc: remove" --watch-dir "$watch" remove "$dev"
expect_removed "udev, ID_BUS=mmc" "$dev" "odd-$k"
export ORVA_AUTOMOUNT_CONFIG=$work/no-config

# --- what a crash leaves, and cleanup ---------------------------------------

stage=$watch/.orva-automount/mnt

# An add killed after mounting and before linking, and a remove that never
# ran: the next add takes both over.
mkdir -p "$stage/usb-$k" "$watch/new-$k" && mount -t ext4 "$dev" "$stage/usb-$k"
echo stale >"$watch/usb-$k.label"
run "after a crash: add" --watch-dir "$watch" --prefix usb- add "$dev"
expect_added "after a crash" "$dev" "usb-$k" ext4 Plain
expect "after a crash: one mount, the notification entry gone" \
    "$(findmnt -rn -o TARGET --source "$dev" | wc -l) $(listing "$watch" | tr '\n' ' ')" \
    "1 usb-$k usb-$k.label usb-$k "

# cleanup takes what no mounted device backs and keeps the rest: the mounted
# entry, and what is not orva-automount's.
ln -s .orva-automount/mnt/usb-sdz1 "$watch/usb-sdz1" && ln -s /tmp "$watch/usb-foreign"
mkdir "$stage/usb-sdz1" "$watch/usb-old1" "$watch/new-sdy" "$watch/other"
echo gone | tee "$watch/usb-sdz1.label" "$watch/mmc-gone.label" "$watch/.usb-sdx.label.AbC123" >/dev/null
run "cleanup" --watch-dir "$watch" cleanup
expect "cleanup: what stays; still mounted" \
    "$(listing "$watch" | tr '\n' ' ')$(findmnt -rn -o TARGET --source "$dev")" \
    "other usb-foreign usb-$k usb-$k.label usb-$k $stage/usb-$k"
rm -r "$watch/usb-foreign" "$watch/other"
run "cleanup: remove" --watch-dir "$watch" remove "$dev"
expect_removed "cleanup" "$dev" "usb-$k"
detach "$dev"

# --- summary -----------------------------------------------------------------

echo "file system types mounted: ${ran[*]:-none}; not mounted: ${skipped[*]:-none}"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2 && exit 1; }
echo "all checks passed"
