#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# orva-automount with real parts: file system images made with the mkfs
# tools, attached as loop devices, mounted into a directory that orva-host
# --json watches with the plug-in, and taken out again.
#
# Usage: tests/automount/test-automount.sh [ORVA_HOST [PLUGIN]]
#        (default: build/bin/orva-host and the plug-in it finds)
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or loop devices or
# mounts refused here). It never leaves a mount or a loop device behind.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
automount=$top/automount/orva-automount
host=${1:-$top/build/bin/orva-host}
plugin=()
[ -z "${2:-}" ] || plugin=("$2")

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
# expect WHAT ACTUAL EXPECTED
expect() {
    if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi
}

# --- the files themselves ----------------------------------------------------

if command -v shellcheck >/dev/null; then
    if shellcheck -s sh "$automount" "$top/automount/orva-automount.default" &&
        shellcheck "$0"; then
        pass "shellcheck"
    else
        fail "shellcheck"
    fi
else
    echo "note: shellcheck missing, not checked"
fi
if command -v dash >/dev/null && ! dash -n "$automount"; then
    fail "dash cannot parse orva-automount"
fi

# systemd-analyze verify on the unit, with the script where ExecStart names
# it. Parse problems are only logged at debug level here, so they are
# looked for.
if command -v systemd-analyze >/dev/null; then
    units=$(mktemp -d)
    trap 'rm -rf "$units"' EXIT
    for unit in orva-automount@.service orva-automount-cleanup.service; do
        sed "s|/usr/sbin/orva-automount|$automount|" "$top/automount/$unit" >"$units/$unit"
    done
    if out=$(SYSTEMD_LOG_LEVEL=debug systemd-analyze verify "$units/orva-automount@sdb1.service" \
        "$units/orva-automount-cleanup.service" 2>&1) &&
        ! grep -E 'orva-automount(@|-cleanup)\.service:[0-9]+: ' <<<"$out"; then
        pass "systemd-analyze verify the units"
    else
        fail "systemd-analyze verify the units: $out"
    fi
    rm -rf "$units"
    trap - EXIT
fi

skip() {
    echo "SKIP: $*"
    [ "$failures" -eq 0 ] || exit 1
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root: loop devices and mounts need root"
for tool in losetup blkid mount umount findmnt mkfs.ext4 mkswap jq; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

# --- set-up and the clean-up that runs whatever happens ----------------------

work=$(mktemp -d /tmp/orva-automount-test.XXXXXX)
watch=$work/watch
mkdir -m 0755 "$watch"
events=$work/events.json
host_pid=
busy_pid=
export ORVA_AUTOMOUNT_CONFIG=$work/no-config
unset ACTION DEVNAME ID_BUS ID_FS_TYPE ID_FS_LABEL_ENC

# Loop devices whose backing file lies in the work directory.
our_loops() {
    losetup -l -n -O NAME,BACK-FILE 2>/dev/null | awk -v w="$work/" 'index($2, w) == 1 { print $1 }'
}
# Mount points in the work directory, deepest first.
our_mounts() {
    findmnt -rn -o TARGET | awk -v w="$work/" 'index($0, w) == 1' | sort -r
}

cleanup() {
    local status=$? t l
    [ -z "$busy_pid" ] || kill "$busy_pid" 2>/dev/null || true
    if [ -n "$host_pid" ]; then
        kill "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    for t in $(our_mounts); do umount -l "$t" || true; done
    for l in $(our_loops); do losetup -d "$l" || true; done
    if [ -n "$(our_mounts)$(our_loops)" ]; then
        echo "FAIL: left behind: $(our_mounts) $(our_loops)" >&2
        status=1
    else
        rm -rf --one-file-system "$work"
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# attach IMAGE [losetup options]: prints the loop device.
attach() {
    losetup --find --show "${@:2}" "$1"
}
detach() { losetup -d "$1"; }

# Loop devices and mounting may be refused (a restricted container).
probe_img=$work/probe.img
truncate -s 16M "$probe_img"
mkfs.ext4 -q -F "$probe_img"
probe_dev=$(attach "$probe_img" 2>/dev/null) || skip "loop devices are not permitted here"
mkdir "$work/probe"
if ! mount -t ext4 "$probe_dev" "$work/probe" 2>/dev/null; then
    detach "$probe_dev"
    skip "mounting is not permitted here"
fi
umount "$work/probe"
detach "$probe_dev"

# --- orva-host watching the directory ---------------------------------------

# Label files are read with the locale's codec.
LC_ALL=C.UTF-8 "$host" --json --watch "$watch" --prefix usb-:USB --prefix mmc-:Card \
    --prefix odd-:Odd --log-level INFO "${plugin[@]}" >"$events" 2>"$work/host.err" &
host_pid=$!

# wait_until COMMAND...: polls for up to 10 s.
wait_until() {
    local i
    for ((i = 0; i < 200; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}
wait_until grep -q '"event":"ready"' "$events" || { cat "$work/host.err" >&2; exit 1; }

# The node of ENTRY in the latest tree event, as JSON, or nothing.
node() {
    jq -cR --arg p "/CMStorageLinkWorker/$1" \
        'fromjson? | select(.event == "tree") | [.nodes[] | select(.path == $p)][0]' \
        "$events" | tail -n 1 | grep -v '^null$' || true
}
has_link() { [ -n "$(node "$1")" ]; }
has_no_link() { [ -z "$(node "$1")" ]; }

# --- what is checked ---------------------------------------------------------

# Nothing of a refused add: an empty watch directory, no mount of the device.
# What a directory holds beside orva-automount's own staging directory, and
# what that holds beside its locks: both empty once a device has gone.
listing() {
    find "$1" -mindepth 1 -maxdepth 1 ! -name .orva-automount -printf '%f\n' | sort
    [ ! -d "$1/.orva-automount/mnt" ] || ls -A "$1/.orva-automount/mnt"
}

expect_nothing_left() {
    local what=$1 dev=$2
    expect "$what: watch directory empty" "$(listing "$watch")" ""
    expect "$what: $dev not mounted" "$(findmnt -rn -o TARGET --source "$dev" || true)" ""
}

# expect_refused WHAT MESSAGE-PATTERN DEVICE ARGUMENTS...: the command fails
# with a message matching the pattern and leaves nothing behind.
expect_refused() {
    local what=$1 pattern=$2 dev=$3 err
    shift 3
    if err=$("$automount" "$@" 2>&1 >/dev/null); then
        fail "$what: accepted"
    elif ! grep -qE "$pattern" <<<"$err"; then
        fail "$what: message '$err' does not match '$pattern'"
    else
        pass "$what: refused ($err)"
    fi
    expect_nothing_left "$what" "$dev"
}

# expect_added WHAT DEV ENTRY TYPE LABEL [OPTIONS-PATTERN]: DEV is mounted
# on the entry with the options, the label file holds blkid's encoding, and
# the link shows the original label.
expect_added() {
    local what=$1 dev=$2 entry=$3 type=$4 label=$5 options=${6:-^rw,nosuid,nodev,noexec,noatime} dir
    dir=$watch/$entry
    local enc mnt n
    enc=$(blkid -p -o udev "$dev" | sed -n 's/^ID_FS_LABEL_ENC=//p')
    if [ ! -f "$dir.label" ] || [ -L "$dir.label" ]; then
        fail "$what: $dir.label is not a regular file"
    fi
    expect "$what: label file" "$(od -An -c "$dir.label")" "$(printf '%s\n' "$enc" | od -An -c)"
    expect "$what: label file mode" "$(stat -c %a "$dir.label")" 644
    expect "$what: the entry links to its mount" "$(readlink "$dir")" ".orva-automount/mnt/$entry"
    mnt=$(findmnt -rn -v -o SOURCE,FSTYPE --mountpoint "$dir" || true)
    expect "$what: mount" "$mnt" "$dev $type"
    n=$(findmnt -rn -o OPTIONS --mountpoint "$dir" || true)
    if grep -qE "$options" <<<"$n"; then
        pass "$what: mount options $n"
    else
        fail "$what: mount options '$n' do not match '$options'"
    fi
    if wait_until has_link "$entry"; then
        expect "$what: description" "$(node "$entry" | jq -r .description)" "$label"
        expect "$what: id" "$(node "$entry" | jq -r .id)" "${entry#*-}"
    else
        fail "$what: no link for $entry"
    fi
}

# expect_removed WHAT DEV ENTRY
expect_removed() {
    local what=$1 dev=$2 entry=$3
    if wait_until has_no_link "$entry"; then pass "$what: link gone"; else fail "$what: link still there"; fi
    if [ -e "$watch/$entry" ]; then fail "$what: directory left"; else pass "$what: directory gone"; fi
    if [ -e "$watch/$entry.label" ]; then fail "$what: label file left"; else pass "$what: label file gone"; fi
    expect "$what: not mounted" "$(findmnt -rn -o TARGET --source "$dev" || true)" ""
    expect "$what: watch directory empty" "$(listing "$watch")" ""
}

run() {
    local what=$1
    shift
    if "$automount" "$@" >/dev/null; then pass "$what"; else fail "$what: exit status $?"; fi
}

# --- every file system type, mounted where the kernel can --------------------

ran=() skipped=()

# fs_case TYPE SIZE LABEL MKFS...: an image of TYPE with LABEL (the mkfs
# command takes the label as its last argument), added and removed twice
# where the kernel can mount the type; elsewhere refused, and blkid's
# encoding of the label still decoded by the plug-in.
fs_case() {
    local type=$1 size=$2 label=$3 img dev entry title enc
    shift 3
    if ! command -v "$1" >/dev/null; then
        skipped+=("$type ($1 missing)")
        return
    fi
    img=$work/$type.img
    truncate -s "$size" "$img"
    "$@" "$label" "$img" >/dev/null
    dev=$(attach "$img")
    entry=usb-${dev##*/}

    if mount -t "$type" -o ro "$dev" "$work/probe" 2>"$work/probe.err"; then
        umount "$work/probe"
        ran+=("$type")
        run "$type: add" --watch-dir "$watch" --prefix usb- add "$dev"
        expect_added "$type" "$dev" "$entry" "$type" "$label" "${OPTIONS[$type]}"
        # A second add changes nothing.
        title=$(node "$entry" | jq -r .title)
        run "$type: add again" --watch-dir "$watch" --prefix usb- add "$dev"
        expect "$type: one mount after a second add" \
            "$(findmnt -rn -o TARGET --source "$dev" | wc -l)" 1
        expect "$type: same link after a second add" "$(node "$entry" | jq -r .title)" "$title"
        run "$type: remove" --watch-dir "$watch" remove "$dev"
        expect_removed "$type" "$dev" "$entry"
        run "$type: remove again" --watch-dir "$watch" remove "$dev"
        expect_nothing_left "$type: remove again" "$dev"
    else
        skipped+=("$type (the kernel cannot mount it: $(tr '\n' ' ' <"$work/probe.err"))")
        # Allowed, but the mount is refused: nothing of it stays.
        expect_refused "$type: add, mount refused" "refused" "$dev" \
            --watch-dir "$watch" --prefix usb- add "$dev"
        enc=$(blkid -p -o udev "$dev" | sed -n 's/^ID_FS_LABEL_ENC=//p')
        printf '%s\n' "$enc" >"$watch/usb-blkid-$type.label"
        mkdir "$watch/usb-blkid-$type"
        if wait_until has_link "usb-blkid-$type"; then
            expect "$type: blkid's encoding, decoded by the plug-in" \
                "$(node "usb-blkid-$type" | jq -r .description)" "$label"
        else
            fail "$type: no link for usb-blkid-$type"
        fi
        rmdir "$watch/usb-blkid-$type"
        rm "$watch/usb-blkid-$type.label"
        wait_until has_no_link "usb-blkid-$type" || fail "$type: link usb-blkid-$type stays"
    fi
    detach "$dev"
}

# Each label holds blanks, a backslash, characters that blkid escapes and,
# where the type allows them, letters outside ASCII, within the type's limit
# (ext4 16 bytes, xfs 12, vfat 11 characters of the DOS set, exfat 11).
# What each type is mounted with: never setuid, devices, programs or links
# to follow; the types without owners of their own belong to HOST_USER
# (root here) and no file is executable; UTF-8 names.
always='^rw,nosuid,nodev,noexec,noatime,nosymfollow'
declare -A OPTIONS=(
    [ext4]="$always,errors=remount-ro"
    [btrfs]="$always,"
    [xfs]="$always,"
    [vfat]="$always,fmask=0133,dmask=0022,.*shortname=mixed,utf8,flush"
    [exfat]="$always,fmask=0133,dmask=0022,iocharset=utf8,errors=remount-ro"
)
# btrfs and xfs are mounted only where the configuration names them.
echo 'ALLOWED_TYPES="vfat exfat ext4 btrfs xfs"' >"$work/all-types"
export ORVA_AUTOMOUNT_CONFIG=$work/all-types
fs_case ext4 32M 'Fotos Ü\x41 (1)' mkfs.ext4 -q -F -L
fs_case btrfs 128M $'Ürlaub – Größe\t😀 "$HOME" \'s\' a\\x41\\b;|&*?[]{}~%!^`<>#+=@:,.' \
    mkfs.btrfs -q -f -L
fs_case xfs 300M 'Daten é\x5;' mkfs.xfs -q -f -L
fs_case vfat 32M "A B&\$%'()!~" mkfs.vfat -n
fs_case exfat 32M 'Ärger \x41!' mkfs.exfat -L
export ORVA_AUTOMOUNT_CONFIG=$work/no-config

# --- devices that are refused ------------------------------------------------

truncate -s 8M "$work/blank.img"
dev=$(attach "$work/blank.img")
expect_refused "no file system" "no file system" "$dev" --watch-dir "$watch" --prefix usb- add "$dev"
detach "$dev"

if command -v mkfs.btrfs >/dev/null; then
    truncate -s 128M "$work/btrfs.img"
    mkfs.btrfs -q -f "$work/btrfs.img" >/dev/null 2>&1
    dev=$(attach "$work/btrfs.img")
    expect_refused "btrfs by default" "type btrfs, which is not allowed" "$dev" \
        --watch-dir "$watch" --prefix usb- add "$dev"
    detach "$dev"
fi

truncate -s 8M "$work/swap.img"
mkswap "$work/swap.img" >/dev/null 2>&1
dev=$(attach "$work/swap.img")
expect_refused "swap" "type swap, which is not allowed" "$dev" --watch-dir "$watch" --prefix usb- add "$dev"
detach "$dev"

expect_refused "regular file" "not a block device" /dev/null \
    --watch-dir "$watch" --prefix usb- add "$work/swap.img"
expect_refused "character device" "not a block device" /dev/null \
    --watch-dir "$watch" --prefix usb- add /dev/null

# An ext4 file system on a device shorter than the file system: blkid sees
# it, the kernel refuses it.
truncate -s 64M "$work/short.img"
mkfs.ext4 -q -F -L short "$work/short.img"
dev=$(attach "$work/short.img" --sizelimit 16M)
expect_refused "mount refused" "refused" "$dev" --watch-dir "$watch" --prefix usb- add "$dev"
detach "$dev"

# --- names, links and the watch directory ------------------------------------

truncate -s 32M "$work/plain.img"
mkfs.ext4 -q -F -L 'Plain' "$work/plain.img"
dev=$(attach "$work/plain.img")
k=${dev##*/}

# shellcheck disable=SC2016 # a prefix that would run a command if evaluated
for p in ../ a/b .hidden- '' 'x y-' 'x$(id)-'; do
    expect_refused "prefix '$p'" "invalid prefix" "$dev" --watch-dir "$watch" --prefix "$p" add "$dev"
done
expect_refused "no bus, no prefix" "give --prefix" "$dev" --watch-dir "$watch" add "$dev"

# A link planted under the label file's name is replaced, not followed.
echo keep >"$work/victim"
ln -s "$work/victim" "$watch/usb-$k.label"
run "planted label link: add" --watch-dir "$watch" --prefix usb- add "$dev"
expect "planted label link: its target untouched" "$(cat "$work/victim")" keep
expect_added "planted label link" "$dev" "usb-$k" ext4 Plain
run "planted label link: remove" --watch-dir "$watch" remove "$dev"
expect_removed "planted label link" "$dev" "usb-$k"

# A link planted under the entry's name: nothing is mounted through it.
mkdir "$work/victim-dir"
ln -s "$work/victim-dir" "$watch/usb-$k"
if "$automount" --watch-dir "$watch" --prefix usb- add "$dev" 2>/dev/null; then
    fail "planted entry link: accepted"
else
    pass "planted entry link: refused"
fi
expect "planted entry link: nothing mounted" "$(findmnt -rn -o TARGET --source "$dev" || true)" ""
expect "planted entry link: no label file" "$(listing "$watch")" "usb-$k"
rm "$watch/usb-$k"

# A watch directory that others may write is refused.
mkdir -m 0777 "$work/open"
chmod 0777 "$work/open"
if err=$("$automount" --watch-dir "$work/open" --prefix usb- add "$dev" 2>&1); then
    fail "world-writable watch directory: accepted"
else
    expect "world-writable watch directory: refused, nothing made" "$(listing "$work/open")" ""
    grep -q "writable by others" <<<"$err" || fail "world-writable watch directory: message '$err'"
fi

# Busy: remove unmounts lazily and still takes the directory away.
run "busy: add" --watch-dir "$watch" --prefix usb- add "$dev"
(cd "$watch/usb-$k" && exec sleep 60) &
busy_pid=$!
sleep 0.2
run "busy: remove" --watch-dir "$watch" remove "$dev"
expect_removed "busy" "$dev" "usb-$k"
kill "$busy_pid"
wait "$busy_pid" 2>/dev/null || true
busy_pid=

# remove without --prefix finds an entry with any prefix by its mount.
run "other prefix: add" --watch-dir "$watch" --prefix odd- add "$dev"
expect_added "other prefix" "$dev" "odd-$k" ext4 Plain
run "other prefix: remove without --prefix" --watch-dir "$watch" remove "$dev"
expect_removed "other prefix" "$dev" "odd-$k"

# --- configuration and udev's environment -----------------------------------

cat >"$work/config" <<EOF
WATCH_DIR=$work/configured
MOUNT_OPTIONS=ro,noatime
EOF
mkdir -m 0755 "$work/configured"
ORVA_AUTOMOUNT_CONFIG=$work/config run "configured: add" --prefix usb- add "$dev"
expect "configured: mounted in WATCH_DIR with MOUNT_OPTIONS" \
    "$(findmnt -rn -v -o SOURCE,OPTIONS --mountpoint "$work/configured/usb-$k" | cut -d, -f1-5)" \
    "$dev ro,nosuid,nodev,noexec,noatime"
expect "configured: label file in WATCH_DIR" "$(cat "$work/configured/usb-$k.label")" Plain
ORVA_AUTOMOUNT_CONFIG=$work/config run "configured: remove" remove "$dev"
expect "configured: gone" "$(listing "$work/configured")" ""
# --watch-dir wins over WATCH_DIR.
ORVA_AUTOMOUNT_CONFIG=$work/config run "configured, --watch-dir: add" --watch-dir "$watch" \
    --prefix usb- add "$dev"
expect_added "configured, --watch-dir" "$dev" "usb-$k" ext4 Plain '^ro,nosuid,nodev,noexec'
expect "configured, --watch-dir: nothing in WATCH_DIR" "$(listing "$work/configured")" ""
ORVA_AUTOMOUNT_CONFIG=$work/config run "configured, --watch-dir: remove" --watch-dir "$watch" remove "$dev"
expect_removed "configured, --watch-dir" "$dev" "usb-$k"

echo 'ALLOWED_TYPES="btrfs xfs"' >"$work/config-types"
ORVA_AUTOMOUNT_CONFIG=$work/config-types expect_refused "ext4 not in ALLOWED_TYPES" \
    "type ext4, which is not allowed" "$dev" --watch-dir "$watch" --prefix usb- add "$dev"

# Started from the udev rule: type, label and bus come from its environment,
# the prefix from the bus (PREFIX_MMC configured, PREFIX_USB by default).
echo 'PREFIX_MMC=odd-' >"$work/config-mmc"
for bus in usb mmc; do
    entry=usb-$k
    [ "$bus" = usb ] || entry=odd-$k
    ORVA_AUTOMOUNT_CONFIG=$work/config-mmc ACTION=add DEVNAME=$dev ID_BUS=$bus ID_FS_TYPE=ext4 \
        ID_FS_LABEL_ENC='from\x20udev\x21' run "udev, ID_BUS=$bus: add" --watch-dir "$watch" add "$dev"
    if wait_until has_link "$entry"; then
        expect "udev, ID_BUS=$bus: description" "$(node "$entry" | jq -r .description)" "from udev!"
    else
        fail "udev, ID_BUS=$bus: no link $entry"
    fi
    ORVA_AUTOMOUNT_CONFIG=$work/config-mmc run "udev, ID_BUS=$bus: remove" --watch-dir "$watch" remove "$dev"
    expect_removed "udev, ID_BUS=$bus" "$dev" "$entry"
done
detach "$dev"

# --- read-only media --------------------------------------------------------

# added_read_only WHAT DEV REASON: mounted read-only, and the reason said.
added_read_only() {
    local what=$1 dev=$2 reason=$3 out
    if out=$("$automount" --watch-dir "$watch" --prefix usb- add "$dev" 2>&1); then
        pass "$what: add"
    else
        fail "$what: add: $out"
    fi
    expect "$what: said" "$(grep -c "^orva-automount: mounted $dev (ext4) read-only: $reason" <<<"$out")" 1
    expect_added "$what" "$dev" "usb-${dev##*/}" ext4 Plain '^ro,nosuid,nodev,noexec,noatime'
    run "$what: remove" --watch-dir "$watch" remove "$dev"
    expect_removed "$what" "$dev" "usb-${dev##*/}"
}

# A write-protected medium is mounted read-only at once.
dev=$(attach "$work/plain.img" --read-only)
added_read_only "write-protected" "$dev" "the device is write-protected"
detach "$dev"

# A file system the kernel writes only in part (an unknown read-only
# compatible feature, as a newer kernel may set) is refused read-write and
# mounted read-only.
if command -v debugfs >/dev/null; then
    cp "$work/plain.img" "$work/rofeature.img"
    debugfs -w -R 'ssv feature_ro_compat 0x4000046b' "$work/rofeature.img" 2>/dev/null
    dev=$(attach "$work/rofeature.img")
    added_read_only "read-write refused" "$dev" "read-write was refused: mount: "
    detach "$dev"
fi

# --- what a crash leaves, and cleanup ---------------------------------------

dev=$(attach "$work/plain.img")
k=${dev##*/}
stage=$watch/.orva-automount/mnt

# An add killed after mounting and before linking, and a remove that never
# ran: the next add takes both over.
mkdir -p "$stage/usb-$k"
mount -t ext4 "$dev" "$stage/usb-$k"
echo stale >"$watch/usb-$k.label"
mkdir "$watch/new-$k"
run "after a crash: add" --watch-dir "$watch" --prefix usb- add "$dev"
expect_added "after a crash" "$dev" "usb-$k" ext4 Plain
expect "after a crash: one mount" "$(findmnt -rn -o TARGET --source "$dev" | wc -l)" 1
expect "after a crash: notification entry gone" "$(ls "$watch")" "usb-$k
usb-$k.label"

# cleanup takes what no mounted device backs and keeps the rest: the mounted
# entry, and what is not orva-automount's.
ln -s .orva-automount/mnt/usb-sdz1 "$watch/usb-sdz1"
mkdir "$stage/usb-sdz1" "$watch/usb-old1" "$watch/new-sdy" "$watch/other"
echo gone >"$watch/usb-sdz1.label"
echo gone >"$watch/mmc-gone.label"
echo tmp >"$watch/.usb-sdx.label.AbC123"
ln -s /tmp "$watch/usb-foreign"
run "cleanup" --watch-dir "$watch" cleanup
expect "cleanup: what stays" "$(listing "$watch" | tr '\n' ' ')" \
    "other usb-foreign usb-$k usb-$k.label usb-$k "
expect "cleanup: staging" "$(ls -A "$stage")" "usb-$k"
expect "cleanup: still mounted" "$(findmnt -rn -o TARGET --source "$dev")" "$stage/usb-$k"
rm "$watch/usb-foreign"
rmdir "$watch/other"
run "cleanup: remove" --watch-dir "$watch" remove "$dev"
expect_removed "cleanup" "$dev" "usb-$k"
detach "$dev"

# --- summary -----------------------------------------------------------------

echo "file system types mounted: ${ran[*]:-none}"
for s in "${skipped[@]}"; do echo "not mounted: $s"; done
if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"
