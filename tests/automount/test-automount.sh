#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# orva-automount with real parts: file system images made with the mkfs
# tools, attached as loop devices, mounted into a directory that orva-host
# --json watches with the plug-in, and taken out again.
#
# The emulated board (board/tests/test_board.py) plugs real sticks into a
# booted Debian, where udev, systemd and dash run the files: vfat with its
# options, exfat, ext4, NTFS, two partitions, a code-page label, read-only
# media with their journal line, btrfs refused by default, a stick without
# a file system, the attach row, card readers, the clean-up unit. What is
# here is what the board does not show: the options of ext4 and exfat and
# of btrfs allowed by the configuration, labels that blkid escapes, the
# messages of refused adds, links planted where orva-automount writes,
# repeated and busy commands, the configuration and udev's environment,
# what a crash leaves and cleanup, and shellcheck.
#
# Usage: tests/automount/test-automount.sh [ORVA_HOST [PLUGIN]]
#        (default: build/bin/orva-host and the plug-in it finds)
# Exit status: 0 passed, 1 failed, 77 skipped (not root, or loop devices or
# mounts refused here). It never leaves a mount or a loop device behind.
set -euo pipefail
# orva-automount sets its own umask: what it makes must not depend on ours.
umask 077

top=$(cd "$(dirname "$0")/../.." && pwd)
host=${1:-$top/build/bin/orva-host}
automount=${ORVA_AUTOMOUNT:-$(dirname "$host")/../sbin/orva-automount}
plugin=("${@:2:1}")

failures=0 passed=0 skipped=0
fail() { echo "FAIL: $*" >&2 && failures=$((failures + 1)); }
pass() { echo "ok: $*" && passed=$((passed + 1)); }
# A case this machine cannot run is counted apart, with its reason: a run
# that checked nothing must not read as passed.
skip_case() { echo "SKIP: $*" && skipped=$((skipped + 1)); }
# expect WHAT ACTUAL EXPECTED; check WHAT COMMAND...: the command succeeds.
expect() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$2', expected '$3'"; fi; }
check() { if "${@:2}"; then pass "$1"; else fail "$1"; fi; }
skip() { echo "SKIP: $*" && exit $((failures ? 1 : 77)); }

# --- the clean-up that runs whatever happens --------------------------------

# As root, in a mount namespace of its own with a tmpfs over /run: every
# mount it makes dies with it, however it ends (a SIGKILL included), and
# the udev database it makes for its device is its own, never the
# machine's.
if [ "$(id -u)" -eq 0 ] && [ -z "${ORVA_AUTOMOUNT_TEST_NS-}" ] &&
    unshare -m --propagation private mount -t tmpfs -o mode=0755 orva-test-run /run 2>/dev/null; then
    # shellcheck disable=SC2016 # expanded by the shell in the namespace
    ORVA_AUTOMOUNT_TEST_NS=1 exec unshare -m --propagation private \
        sh -c 'mount -t tmpfs -o mode=0755 orva-test-run /run && exec "$0" "$@"' "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/orva-automount-test.XXXXXX")
# Others may enter it: the cases of a local user need to reach places in it.
chmod 0755 "$work"
watch=$work/watch
mkdir -m 0755 "$watch" "$work/probe" && mkdir -m 0777 "$work/open"
events=$work/events.json
host_pid=''
unset ACTION DEVNAME ID_BUS ID_FS_TYPE ID_FS_LABEL_ENC
# config [VARIABLE=VALUE...]: orva-automount's configuration from here on,
# always with the watched directory as WATCH_DIR.
export ORVA_AUTOMOUNT_CONFIG=$work/config
# Locks and records of its own, never those of an installed automounter.
run=$work/run
export ORVA_AUTOMOUNT_RUNTIME_DIR=$run
config() { printf '%s\n' "WATCH_DIR=$watch" "$@" >"$ORVA_AUTOMOUNT_CONFIG"; }
config

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

if command -v shellcheck >/dev/null; then
    check "shellcheck this test" shellcheck "$0"
else skip_case "shellcheck is missing"; fi

expect "--version" "$("$automount" --version)" "orva-automount $(sed -n 's/^project(orva_storagelink VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")"
check "--help" grep -q "^Usage: orva-automount" <<<"$("$automount" --help)"
check "-- ends the options" "$automount" -- remove /dev/orva-automount-test-none
expect "an option's value missing" "$("$automount" --watch-dir 2>&1)" "orva-automount: --watch-dir needs a directory"
check "remove with no watch directory" "$automount" --watch-dir "$work/none" remove /dev/null
check "withdraw with no watch directory" "$automount" --watch-dir "$work/none" withdraw /dev/null
check "cleanup with no watch directory" "$automount" --watch-dir "$work/none" cleanup
check "none of them makes the watch directory" test ! -e "$work/none"
expect "an unknown option is one, with the usage" "$("$automount" -x remove /dev/null 2>&1 | grep -c -e "^Usage: orva-automount" -e "^orva-automount: unknown option -x$")" 2
# Exit statuses: 2 a usage error, 1 a failure (3, refused by policy, below).
# Where a stream is the journal (JOURNAL_STREAM names it, as systemd sets
# it), each line has its priority: <3> a failure, <4> a warning, <6> what
# was done; a stream the variable does not name gets none.
journal() { local stream; stream=$(stat -c %d:%i "$work/journal"); JOURNAL_STREAM=$stream "$@" 2>>"$work/journal"; }
expect "a usage error: exit status 2" "$("$automount" -x 2>/dev/null; echo $?)" 2
: >"$work/journal" && status=0 && journal "$automount" add /dev/orva-none >/dev/null || status=$?
expect "a failure: exit status 1, an error in the journal" "$status $(cat "$work/journal")" \
    "1 <3>orva-automount: /dev/orva-none is not a block device"

[ "$(id -u)" -eq 0 ] || skip "not root: loop devices and mounts need root"
for tool in losetup blkid mount umount findmnt mkfs.ext4 mkfs.vfat jq; do command -v "$tool" >/dev/null || skip "$tool is missing"; done

# Loop devices and mounting may be refused (a restricted container). The
# device is the one most cases use: ext4 labelled Plain.
truncate -s 32M "$work/plain.img" && mkfs.ext4 -q -F -L Plain "$work/plain.img"
dev=$(losetup -f --show "$work/plain.img" 2>/dev/null) || skip "loop devices are not permitted here"
{ mount -t ext4 "$dev" "$work/probe" && umount "$work/probe"; } 2>/dev/null ||
    skip "mounting is not permitted here"
k=${dev##*/}

# --- orva-host watching the directory ---------------------------------------

# Label files are read with the locale's codec.
LC_ALL=C.UTF-8 "$host" --json --watch "$watch" --prefix usb-:USB --prefix odd-:Odd \
    --log-level INFO "${plugin[@]}" >"$events" 2>"$work/host.err" &
host_pid=$!

# wait_until COMMAND...: polls for up to 10 s.
wait_until() { local i; for ((i = 0; i < 200; i++)); do ! "$@" || return 0; sleep 0.05; done; return 1; }
wait_until grep -q '"event":"ready"' "$events" || { cat "$work/host.err" >&2 && exit 1; }

# shows ENTRY TEXT: the latest tree shows the link of ENTRY with TEXT (its
# description|id), or no link when TEXT is empty.
shows() {
    jq -enR --arg p "/CMStorageLinkWorker/$1" --arg t "$2" '[inputs | fromjson? | select(.event == "tree")]
        | [.[-1].nodes[]? | select(.path == $p) | .description + "|" + .id] == [$t] - [""]' "$events" >/dev/null
}

# --- what is checked ---------------------------------------------------------

# What a directory holds beside orva-automount's own staging directory, and
# what that holds beside its locks.
listing() {
    find "$1" -mindepth 1 -maxdepth 1 ! -name .orva-automount -printf '%f\n' | sort
    [ ! -d "$1/.orva-automount/mnt" ] || ls -A "$1/.orva-automount/mnt"
}
# expect_nothing_left WHAT DEV: in the watched directory, in the open one
# that must be refused, and mounted: nothing, or only $left.
expect_nothing_left() {
    expect "$1: nothing left" \
        "$(listing "$watch")$(listing "$work/open")$(findmnt -rn -o TARGET --source "$2")" "${left-}"
}
# strace, quiet, with the program's leak check off (in a sanitizer build:
# LeakSanitizer cannot run under ptrace).
traced=(env "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -qq -f -o /dev/null)
# run WHAT ARGUMENTS...: orva-automount succeeds.
run() { if "$automount" "${@:2}" >/dev/null; then pass "$1"; else fail "$1: exit status $?"; fi; }

# expect_refused WHAT MESSAGE-PATTERN ARGUMENTS...: orva-automount fails
# with a message matching the pattern and leaves nothing behind for the
# device (the last argument), not even the record of its steps.
expect_refused() {
    local err
    ! err=$("$automount" "${@:3}" 2>&1 >/dev/null) || fail "$1: accepted"
    check "$1: refused, the message matches '$2': $err" grep -qE "$2" <<<"$err"
    expect_nothing_left "$1" "${!#}"
    check "$1: no record left" test ! -e "$run/$(basename "${!#}").steps"
}

# expect_added WHAT DEV ENTRY TYPE LABEL [OPTIONS]: the label file, a
# regular file, holds the encoded label (blkid's, or udev's when given)
# and a newline; the entry links to DEV's one mount, with TYPE and OPTIONS;
# nothing else is in the directory; the link shows the original label.
expect_added() {
    local dir=$watch/$3 label=${ID_FS_LABEL_ENC-} options=${6:-rw,nosuid,nodev,noexec,noatime}
    [ -n "$label" ] || label=$(blkid -p -o udev "$2" | sed -n 's/^ID_FS_LABEL_ENC=//p')
    expect "$1: the label file" "$(stat -c %F,%a "$dir.label") $(od -An -c "$dir.label")" \
        "regular file,644 $(printf '%s\n' "$label" | od -An -c)"
    expect "$1: the entry, its one mount, all there is" \
        "$(readlink "$dir") $(findmnt -rn -o TARGET --source "$2") $(listing "$watch" | tr '\n' ' ')" \
        ".orva-automount/mnt/$3 $watch/.orva-automount/mnt/$3 $3 $3.label $3 "
    check "$1: mounted as $4 with $options" \
        grep -qE "^$4 $options" <<<"$(findmnt -rn -o FSTYPE,OPTIONS --source "$2")"
    check "$1: the link shows '$5'" wait_until shows "$3" "$5|${3#*-}"
}

# expect_removed WHAT DEV ENTRY: the link, the entry, the label file, the
# staging directory and the mount gone.
expect_removed() { check "$1: link gone" wait_until shows "$3" "" && expect_nothing_left "$1" "$2"; }

# add_remove WHAT DEV ENTRY TYPE LABEL OPTIONS ARGUMENTS...: added with the
# arguments, checked, removed (without a prefix), checked.
add_remove() {
    run "$1: add" "${@:7}" add "$2"
    expect_added "$@"
    expect "$1: status says it is mounted" "$("$automount" "${@:7}" status --json |
        grep -o "{\"device\": \"$2\", \"entry\": \"$3\", \"state\": \"[a-z]*\"")" \
        "{\"device\": \"$2\", \"entry\": \"$3\", \"state\": \"mounted\""
    run "$1: remove" remove "$2"
    expect_removed "$1" "$2" "$3"
    expect "$1: status no longer lists it" "$("$automount" "${@:7}" status | grep -c "^$2 ")" 0
}

# --- file system types, mounted where the kernel can -------------------------

# fs_case TYPE SIZE OPTIONS LABEL MKFS...: an image of TYPE with LABEL (the
# mkfs command takes the label as its last argument), added with a prefix
# of no bus (remove finds it by its mount; the option given as one word)
# and removed.
fs_case() {
    local type=$1 size=$2 options=$3 label=$4 d
    command -v "$5" >/dev/null || { skip_case "$type: $5 is missing" && return; }
    truncate -s "$size" "$work/$type.img" && "${@:5}" "$label" "$work/$type.img" >/dev/null
    d=$(losetup -f --show "$work/$type.img")
    { mount -t "$type" -o ro "$d" "$work/probe" && umount "$work/probe"; } 2>/dev/null ||
        { skip_case "$type: the kernel cannot mount it" && return; }
    add_remove "$type" "$d" "odd-${d##*/}" "$type" "$label" "$options" --prefix=odd-
}

# Each label holds blanks, a backslash, characters that blkid escapes and,
# where the type allows them, letters outside ASCII, within the type's limit
# (ext4 16 bytes, exfat 11 characters). What each type is mounted with:
# never setuid, devices, programs or links to follow; exfat, without owners
# of its own, belongs to HOST_USER (root here) and no file is executable;
# UTF-8 names. btrfs only where the configuration names it.
always=rw,nosuid,nodev,noexec,noatime,nosymfollow
config 'ALLOWED_TYPES="exfat ext4 btrfs"'
fs_case ext4 32M "$always,errors=remount-ro" 'Fotos Ü\x41 (1)' mkfs.ext4 -q -F -L
fs_case btrfs 128M "$always," $'Ürlaub – Größe\t😀 "$HOME" \'s\' a\\x41\\b;|&*?[]{}~%!^`<>#+=@:,.' \
    mkfs.btrfs -q -f -L
fs_case exfat 32M "$always,fmask=0133,dmask=0022,iocharset=utf8,errors=remount-ro" \
    'Ärger \x41!' mkfs.exfat -L

# A label that is not UTF-8 on a type other than FAT is no code page's:
# its bytes are escaped as they are.
truncate -s 16M "$work/latin.img" && mkfs.ext4 -q -F -L "$(printf 'caf\351')" "$work/latin.img" &&
    latin=$(losetup -f --show "$work/latin.img")
# (The plug-in shows the byte as U+FFFD.)
add_remove "ext4, a byte that is not UTF-8" "$latin" "odd-${latin##*/}" ext4 $'caf\uFFFD' \
    "$always,errors=remount-ro" --prefix odd-

# NTFS through ntfs-3g where the kernel has no ntfs3 (this machine's case
# when fuseblk is all it knows): the FUSE driver drops nosymfollow, the
# mount carries it all the same. Its daemon killed (a crafted image can
# crash it), the dead mount is cleared by add, by cleanup and by remove.
if ! grep -qw ntfs3 /proc/filesystems && grep -qw fuseblk /proc/filesystems &&
    command -v mkntfs >/dev/null; then
    truncate -s 16M "$work/ntfs.img" && mkntfs -q -F -f -L 'Windows Daten' "$work/ntfs.img" >/dev/null 2>&1
    nt=$(losetup -f --show "$work/ntfs.img")
    # Left out unless allowed: ntfs-3g would read the stick as root.
    config && expect_refused "ntfs, by default" "type ntfs, which is not allowed \(allowed: vfat exfat ext2 ext3 ext4\); NTFS is left out by default: .* ntfs-3g reads the stick as root. Add ntfs to ALLOWED_TYPES" \
        --prefix odd- add "$nt"
    config 'ALLOWED_TYPES="ntfs"'
    kill_daemon() { kill -KILL "$(pgrep -f "ntfs-3g $nt ")" && sleep 0.2; }
    dead() { ! stat "$watch/$1/" >/dev/null 2>&1; }
    e=odd-${nt##*/} options="$always,user_id=0,group_id=0"
    config 'ALLOWED_TYPES="ntfs"' FILE_MASK=u+x
    expect_refused "ntfs, FILE_MASK not octal" "FILE_MASK and DIR_MASK are octal masks" --prefix odd- add "$nt"
    config 'ALLOWED_TYPES="ntfs"'
    # ntfs-3g hidden by /dev/null, in a mount namespace of the command's own.
    # shellcheck disable=SC2016 # expanded by the script it writes
    printf '#!/bin/sh\nexec unshare -m sh -c '\''for h in /sbin/mount.ntfs-3g /usr/sbin/mount.ntfs-3g; do mount --bind /dev/null "$h"; done; exec "$0" "$@"'\'' "%s" "$@"\n' "$automount" >"$work/hidden" && chmod +x "$work/hidden"
    automount=$work/hidden expect_refused "ntfs, no ntfs-3g" "no ntfs3 and ntfs-3g is not installed" --prefix odd- add "$nt"
    add_remove ntfs "$nt" "$e" fuseblk 'Windows Daten' "$options" --prefix odd-
    for mend in add cleanup remove; do
        run "ntfs, killed before $mend: add" --prefix odd- add "$nt"
        kill_daemon && check "ntfs, killed before $mend: its mount is dead" dead "$e"
        case $mend in
        add)
            run "ntfs, killed: add again" --prefix odd- add "$nt"
            expect_added "ntfs, killed: added again" "$nt" "$e" fuseblk 'Windows Daten' "$options"
            run "ntfs, killed: remove" remove "$nt" ;;
        cleanup) expect "ntfs, killed: cleanup says" "$("$automount" cleanup)" "orva-automount: removed the stale entry $watch/$e" ;;
        remove) run "ntfs, killed: remove" remove "$nt" ;;
        esac
        expect_nothing_left "ntfs, killed before $mend" "$nt"
        check "ntfs, killed before $mend: no record left" test ! -e "$run/$(basename "$nt").steps"
    done
    config
else skip_case "ntfs: no FUSE driver to try here (the kernel has ntfs3 or no fuseblk)"; fi

# --- refused: a message and nothing left -------------------------------------

# No file system; two of them; ext4 on a device shorter than the file system (blkid sees
# it, the kernel refuses it); a file that is no block device; prefixes that
# would leave the directory, hide the entry or run a command if evaluated;
# a device on no known bus; a --watch-dir that others may write (it wins
# over WATCH_DIR); a link planted under the entry's name; a type that the
# configuration does not allow.
truncate -s 8M "$work/blank.img" "$work/two.img" && truncate -s 64M "$work/short.img" && mkfs.ext4 -q -F "$work/short.img"
blank=$(losetup -f --show "$work/blank.img") && short=$(losetup -f --show --sizelimit 16M "$work/short.img")
expect_refused "no file system" "no file system" --prefix usb- add "$blank"
# FAT with an ext4 superblock in its reserved sectors.
mkfs.vfat "$work/two.img" >/dev/null && dd if="$work/plain.img" of="$work/two.img" bs=1K skip=1 seek=1 count=1 conv=notrunc status=none
expect_refused "two file systems" "signatures of more than one file system" --prefix usb- add "$(losetup -f --show "$work/two.img")"
expect_refused "mount refused" "was refused: wrong fs type.*; read-only: wrong fs type" --prefix usb- add "$short"
# Read-only asked for by MOUNT_OPTIONS: no second try.
config MOUNT_OPTIONS=ro && expect_refused "ro, refused" "\) on .* was refused: wrong fs type" --prefix usb- add "$short"
config
expect_refused "regular file" "not a block device" add "$work/blank.img"
# shellcheck disable=SC2016 # a prefix that would run a command if evaluated
for p in ../ a/b .hidden- '' 'x y-' 'x$(id)-'; do
    expect_refused "prefix '$p'" "invalid prefix" --prefix "$p" add "$dev"
done
expect_refused "remove, prefix ''" "invalid prefix" --prefix '' remove "$dev"
expect_refused "no bus, no prefix" "give --prefix" add "$dev"
status=0 && "$automount" add "$dev" 2>/dev/null || status=$?
expect "refused by policy: exit status 3" "$status" 3
expect_refused "world-writable --watch-dir" "writable by others \(mode 777\)" \
    --watch-dir "$work/open" --prefix usb- add "$dev"
ln -s "$work/probe" "$watch/usb-$k"
left=usb-$k expect_refused "planted entry link" "did not make" --prefix usb- add "$dev"
rm "$watch/usb-$k" && touch "$watch/usb-$k"
left=usb-$k expect_refused "file under the entry's name" "usb-$k exists and is not a directory" \
    --prefix usb- add "$dev"
rm "$watch/usb-$k" && expect_refused "--watch-dir that cannot be made" "cannot create the watch directory" \
    --watch-dir /proc/orva-automount-test/media --prefix usb- add "$dev"
# One that is missing is made, with its parents.
run "--watch-dir made: add" --watch-dir "$work/made/media" --prefix usb- add "$dev"
run "--watch-dir made: remove" --watch-dir "$work/made/media" remove "$dev"
expect "--watch-dir made: empty again, every directory 755" \
    "$(listing "$work/made/media")$(findmnt -rn --source "$dev")$(stat -c %a "$work/made" \
        "$work/made/media" "$work/made/media/.orva-automount" "$work/made/media/.orva-automount/mnt" | sort -u)" 755
# The watch directory's ancestors are root's and writable by nobody else
# (or sticky, as /tmp), and it is no link itself: else whoever owns one
# could swap the place root mounts on for one of their choice during an
# add. Nothing is made under one that fails. Links of root's on the way
# are followed, and the path walked is the one used.
mkdir -m 0755 "$work/users" && chown nobody "$work/users"
expect_refused "--watch-dir under a user's directory" "/users is owned by nobody, not by root" \
    --watch-dir "$work/users/media" --prefix usb- add "$dev"
expect_refused "--watch-dir under a world-writable one" "/open is writable by others \(mode 777\)" \
    --watch-dir "$work/open/media" --prefix usb- add "$dev"
check "nothing made under a directory that failed" test ! -e "$work/users/media" -a ! -e "$work/open/media"
ln -s "$watch" "$work/watch-link"
expect_refused "--watch-dir a link" "watch-link is a symbolic link; give the directory itself" \
    --watch-dir "$work/watch-link" --prefix usb- add "$dev"
ln -s . "$work/their-link" && chown -h nobody "$work/their-link" && ln -s . "$work/root-link"
expect_refused "a user's link on the way" "their-link is a symbolic link owned by nobody" \
    --watch-dir "$work/their-link/watch" --prefix usb- add "$dev"
expect "root's link on the way: add says" \
    "$("$automount" --watch-dir "$work/root-link/watch" --prefix usb- add "$dev")" \
    "orva-automount: mounted $dev (ext4) on $watch/usb-$k"
run "root's link on the way: remove" --watch-dir "$work/root-link/watch/" remove "$dev"
expect_nothing_left "root's link on the way" "$dev"
# Mounted and unmounted through held descriptors: no path in the watch
# directory reaches mount(2) or umount2(2), and the mount is moved onto the
# staging directory held open.
if command -v strace >/dev/null; then
    # shellcheck disable=SC2016 # expanded by that shell
    "${traced[@]}" -o "$work/trace" -e trace=mount,umount2,move_mount \
        sh -c '"$0" --prefix usb- add "$1" && "$0" remove "$1"' "$automount" "$dev" >/dev/null
    check "no mount(2) or umount2(2) by a path in the watch directory" \
        test -z "$(grep -E "^[0-9]+ +u?mount2?\(.*$watch" "$work/trace")"
    check "the mount moved onto the staging directory held open" \
        grep -q 'move_mount(.*MOVE_MOUNT_F_EMPTY_PATH|MOVE_MOUNT_T_EMPTY_PATH) = 0' "$work/trace"
    expect_nothing_left "mounted through descriptors" "$dev"
fi
mkdir "$work/filed" && touch "$work/filed/.orva-automount"
expect_refused "staging place a file" "orva-automount is not a directory" --watch-dir "$work/filed" --prefix usb- add "$dev"
# Mounted elsewhere under another node's name: known by its number.
IFS=: read -r major minor <"/sys/class/block/$k/dev" && mknod "$work/alias" b "$major" "$minor" && mount "$work/alias" "$work/probe"
expect_refused "mounted elsewhere" "already mounted on $work/probe; not" --prefix usb- add "$dev"
umount "$work/probe" && chmod 0777 "$watch/.orva-automount/mnt"
expect_refused "staging place writable by others" "mnt is writable by others" --prefix usb- add "$dev"
chmod 0755 "$watch/.orva-automount/mnt"
config 'ALLOWED_TYPES="btrfs xfs"'
expect_refused "ext4 not in ALLOWED_TYPES" "type ext4, which is not allowed" --prefix usb- add "$dev"
config

# --- local users' FUSE mounts ------------------------------------------------

# user_fuse_mount SOURCE DIR: a FUSE mount of nobody's on DIR that names
# SOURCE as its source, as fusermount3 makes one for any user: by nobody
# where this machine lets fusermount3 open /dev/fuse for them, else made
# the same way by root for them. Its driver goes at once: the mount stays,
# dead.
user_fuse_mount() {
    python3 -c 'import os, socket, subprocess, sys
a, b = socket.socketpair()
subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "fusermount3",
                "-o", "fsname=" + sys.argv[1] + ",subtype=orvatest", "--", sys.argv[2]],
               env=dict(os.environ, _FUSE_COMMFD=str(b.fileno())), pass_fds=[b.fileno()],
               stderr=subprocess.DEVNULL, check=True)' "$1" "$2" 2>/dev/null ||
        mount -i -t fuse.orvatest -o fd=3,rootmode=40000,user_id=65534,group_id=65534 "$1" "$2" 3<>/dev/fuse
}
stage=$watch/.orva-automount/mnt
if [ -c /dev/fuse ] && command -v fusermount3 setpriv python3 >/dev/null &&
    mkdir -m 0755 "$work/fuse" && chown nobody "$work/fuse" &&
    user_fuse_mount "$dev" "$work/fuse" 2>/dev/null; then
    # A device is known by its number: a user's mount that names it is none
    # of its mounts, and blocks nothing.
    run "a user's FUSE mount named after the device: add" --prefix usb- add "$dev"
    run "a user's FUSE mount named after the device: remove" remove "$dev"
    umount "$work/fuse"
    # Stick B's root is nobody's, who stacks a FUSE mount named after stick
    # A on B's staging directory: removing A leaves B alone. Removing B
    # takes away whatever is stacked on its mount, and says so.
    truncate -s 32M "$work/theirs.img" && mkfs.ext4 -q -F -L Theirs -E root_owner=65534:65534 "$work/theirs.img"
    theirs=$(losetup -f --show "$work/theirs.img")
    run "stick B: add" --prefix usb- add "$theirs" && run "stick A: add" --prefix usb- add "$dev"
    user_fuse_mount "$dev" "$stage/usb-${theirs##*/}"
    run "stick A: remove" remove "$dev"
    expect "stick A removed: stick B's entry and mount stay" \
        "$(readlink "$watch/usb-${theirs##*/}") $(findmnt -rn -o TARGET --source "$theirs")" \
        ".orva-automount/mnt/usb-${theirs##*/} $stage/usb-${theirs##*/}"
    expect "stick A removed: its entry and mount gone" \
        "$(listing "$watch" | grep -c "usb-$k")$(findmnt -rn -t ext4 --source "$dev")" 0
    for i in $(seq 17); do mount -t tmpfs "orva-test-$i" "$stage/usb-${theirs##*/}"; done
    : >"$work/journal"
    journal "$automount" remove "$theirs" >"$work/out" || fail "stick B with 18 mounts stacked: remove"
    expect "stick B with 18 mounts stacked: remove says, a warning in the journal" "$(cat "$work/out")|$(cat "$work/journal")" \
        "orva-automount: removed $watch/usb-${theirs##*/}|<4>orva-automount: unmounted what was stacked on $stage/usb-${theirs##*/}: fuse.orvatest from $dev$(printf ', tmpfs from orva-test-%s' $(seq 17))"
    expect_nothing_left "stick B with 18 mounts stacked" "$theirs"
else skip_case "a user's FUSE mount: no /dev/fuse, fusermount3, setpriv or python3 here"; fi

# With no notification prefix, remove takes no directory named after the
# device's kernel name alone.
config NOTIFY_PREFIX= && mkdir "$watch/$k"
run "no notification prefix: remove" remove "$dev" && check "no notification prefix: the directory $k stays" test -d "$watch/$k"
rmdir "$watch/$k" && config

# --- what a crash leaves, cleanup, repeated and busy commands ---------------

# An add killed after its label file (the sixth directory it makes, after
# the staging directories, the runtime one, its raw/ and the notification
# entry, is the place where it mounts first), one killed before it links its
# entry and one between making the link and renaming it into place, all with
# a prefix of no bus: remove, without the prefix, finds what they made by
# the add's record of its steps, as the unit's ExecStopPost= does.
if command -v strace >/dev/null; then
    for at in renameat:1/label mkdirat:6/stage mount:1/mount open_tree:1/confine symlinkat:1/link renameat:2/link; do
        step=${at#*/} at=${at%/*}
        status=0
        # In a shell that ends normally: bash would report the kill.
        sh -c '"$@"; exit $?' sh "${traced[@]}" -e trace="${at%:*}" \
            -e inject="${at%:*}:signal=KILL:when=${at#*:}" "$automount" --prefix odd- add "$dev" \
            >/dev/null 2>&1 || status=$?
        expect "killed at $at: killed" "$status" 137
        expect "killed at $at: the step it was taking" \
            "$(tail -n 1 "$run/${dev##*/}.steps")" "step $step"
        run "killed at $at: remove" remove "$dev"
        expect_nothing_left "killed at $at" "$dev"
    done
    # Stopped (SIGTERM, as systemd stops a unit) there instead: add undoes
    # what it made itself and ends by the signal, a stop and not a failure.
    # What it said before the stop reaches its output all the same.
    status=0
    ln -s ".orva-automount/mnt/odd-$k" "$watch/odd-$k"
    sh -c '"$@"; exit $?' sh "${traced[@]}" -e trace=mkdirat \
        -e inject=mkdirat:signal=TERM:when=4 "$automount" --prefix odd- add "$dev" \
        >"$work/out" 2>/dev/null || status=$?
    expect "stopped: ended by SIGTERM" "$status" 143
    expect "stopped: said" "$(cat "$work/out")" "orva-automount: removed the stale entry $watch/odd-$k"
    expect_nothing_left "stopped" "$dev"
    # A failure after the mount (the link refused): add undoes what it made,
    # the mount too, and says nothing of it as done.
    out=$("${traced[@]}" -e trace=symlinkat -e inject=symlinkat:error=EACCES \
        "$automount" --prefix odd- add "$dev" 2>"$work/err") && fail "link refused: accepted"
    expect "link refused: said" "$out|$(cat "$work/err")" \
        "|orva-automount: cannot create a link in $watch: Permission denied"
    expect_nothing_left "link refused" "$dev"
    # The record of its steps cannot be written (a full /run): refused.
    err=$("${traced[@]}" -e trace=write -e inject=write:error=ENOSPC:when=1 \
        "$automount" --prefix odd- add "$dev" 2>&1 >/dev/null) && fail "record refused: accepted"
    check "record refused: said" grep -q "cannot write $run/${dev##*/}.steps" <<<"$err"
    expect_nothing_left "record refused" "$dev"
    check "record refused: no record left" test ! -e "$run/${dev##*/}.steps"
else skip_case "strace is missing"; fi

# The entry's link left by a boot that went down with the watch directory
# kept, its mount gone: replaced, and said. A notification entry that
# someone put a file into cannot go: said, and the add done all the same.
ln -s ".orva-automount/mnt/odd-$k" "$watch/odd-$k" && mkdir "$watch/new-$k" && touch "$watch/new-$k/kept"
expect "stale link: add says" "$("$automount" --prefix odd- add "$dev" 2>"$work/err")" \
"orva-automount: removed the stale entry $watch/odd-$k
orva-automount: mounted $dev (ext4) on $watch/odd-$k"
expect "stale link: the notification entry kept" "$(cat "$work/err")" \
    "orva-automount: cannot remove $watch/new-$k"
rm -r "$watch/new-$k"
run "stale link: remove" remove "$dev"
expect_nothing_left "stale link" "$dev"

# An add killed after mounting and before linking, a remove that never ran,
# and a link planted under the label file's name: the next add takes the
# mount and the notification entry over, and replaces the link without
# following it. A second add changes nothing.
stage=$watch/.orva-automount/mnt
mkdir -p "$stage/usb-$k" "$watch/new-$k" && mount -t ext4 "$dev" "$stage/usb-$k"
echo keep >"$work/victim" && ln -s "$work/victim" "$watch/usb-$k.label"
expect "after a crash: add says" "$("$automount" --prefix usb- add "$dev")" \
"orva-automount: unmounted the stale mount $stage/usb-$k
orva-automount: mounted $dev (ext4) on $watch/usb-$k"
expect "after a crash: the planted link's target untouched" "$(cat "$work/victim")" keep
expect_added "after a crash" "$dev" "usb-$k" ext4 Plain
expect "add again: says" "$("$automount" --prefix usb- add "$dev")" \
    "orva-automount: $dev is already mounted on $watch/usb-$k"
expect_added "add again" "$dev" "usb-$k" ext4 Plain

# cleanup takes what no mounted device backs and keeps the rest: the mounted
# entry, and what is not orva-automount's (a directory named as a label
# file is neither).
ln -s .orva-automount/mnt/usb-sdz1 "$watch/usb-sdz1" && ln -s /tmp "$watch/usb-foreign"
mkdir "$stage/usb-sdz1" "$watch/usb-old1" "$watch/new-sdy" "$watch/other" "$watch/usb-sdw.label"
echo gone | tee "$watch/usb-sdz1.label" "$watch/mmc-gone.label" "$watch/.usb-sdx.label.AbC123" >/dev/null
# The temporary link of an add killed before it renamed it into place.
ln -s .orva-automount/mnt/usb-sdx "$watch/.usb-sdx.link.4242"
# A mount of it without an entry, where an add killed before its link left
# one, and no record of that add.
mkdir "$stage/usb-stale" "$run/raw/usb-raw" && mount -t ext4 "$dev" "$stage/usb-stale" && mount -t tmpfs orva-test "$run/raw/usb-raw"
expect "cleanup: says" "$("$automount" cleanup | sort)" \
"orva-automount: removed the stale entry $watch/new-sdy
orva-automount: removed the stale entry $watch/usb-old1
orva-automount: removed the stale entry $watch/usb-sdz1
orva-automount: removed the stale label file $watch/mmc-gone.label
orva-automount: unmounted the stale mount $run/raw/usb-raw
orva-automount: unmounted the stale mount $stage/usb-stale"
expect "cleanup: what stays; still mounted" \
    "$(listing "$watch" | tr '\n' ' ')$(findmnt -rn -o TARGET --source "$dev")" \
    "other usb-foreign usb-$k usb-$k.label usb-sdw.label usb-$k $stage/usb-$k"
rm -r "$watch/usb-foreign" "$watch/other" "$watch/usb-sdw.label"

# A mount left on the hidden place where add mounts first, with no record
# of the add that made it: remove finds it by the device all the same.
rm -f "$run/${dev##*/}.steps" && mkdir "$stage/.odd-$k" && mount -t ext4 "$dev" "$stage/.odd-$k"
run "hidden mount left: remove" remove "$dev"
expect_nothing_left "hidden mount left" "$dev"

# MOUNT_OPTIONS go to every mount.
config MOUNT_OPTIONS=ro
add_remove "MOUNT_OPTIONS=ro" "$dev" "usb-$k" ext4 Plain ro,nosuid,nodev,noexec,noatime --prefix usb-
config && run "added again" --prefix usb- add "$dev"

# withdraw, which udev runs as the device goes, takes only the link away;
# while an add or remove holds the device's lock it changes nothing.
expect "locked: withdraw changes nothing" \
    "$(flock "$run/$k.lock" "$automount" withdraw "$dev"; readlink "$watch/usb-$k")" \
    ".orva-automount/mnt/usb-$k"
expect "withdraw says" "$("$automount" withdraw "$dev")" "orva-automount: withdrew $watch/usb-$k"
check "withdrawn: the row goes" wait_until shows "usb-$k" ""
expect "withdrawn: the mount and the label file stay" \
    "$(listing "$watch" | tr '\n' ' ')$(findmnt -rn -o TARGET --source "$dev")" \
    "usb-$k.label usb-$k $watch/.orva-automount/mnt/usb-$k"
run "withdrawn: remove" remove "$dev"
expect_removed "withdrawn" "$dev" "usb-$k"
run "added again" --prefix usb- add "$dev"

# Busy (a directory open on it): remove unmounts lazily and still takes the
# entry away. A second remove changes nothing.
exec 7<"$watch/usb-$k/" && run "busy: remove" remove "$dev"
expect_removed "busy" "$dev" "usb-$k"
exec 7<&-
run "remove again" remove "$dev"
expect_nothing_left "remove again" "$dev"

# An entry of an older version, a directory: add takes an empty one over,
# and refuses one with a file system mounted on it.
mkdir "$watch/odd-$k" && run "older entry: add" --prefix odd- add "$dev"
run "older entry: remove" remove "$dev"
mkdir "$watch/odd-$k" && mount -t tmpfs orva-test "$watch/odd-$k"
left=odd-$k expect_refused "older entry mounted on" "odd-$k is already a mount point of orva-test" \
    --prefix odd- add "$dev"
umount "$watch/odd-$k" && rmdir "$watch/odd-$k"

# An entry of an older version, a directory mounted on directly, goes too.
mkdir "$watch/usb-$k"
expect "older entry: remove says" "$("$automount" remove "$dev")" "orva-automount: removed $watch/usb-$k"
expect_nothing_left "older entry" "$dev"

# What udev's blkid builtin found, from its database, is taken over a look
# of add's own: here a label the device does not hold, in a database made
# for the device alone (in this namespace's own /run, where there is one).
if [ -n "${ORVA_AUTOMOUNT_TEST_NS-}" ]; then
    mkdir -p /run/udev/data && printf 'E:ID_FS_TYPE=ext4\nE:ID_FS_LABEL_ENC=From\\x20udev\n' >"/run/udev/data/b$(cat "/sys/class/block/$k/dev")"
    ID_FS_LABEL_ENC='From\x20udev' add_remove "udev's label" "$dev" "odd-$k" ext4 "From udev" "" --prefix odd-
    rm -r /run/udev
else skip_case "udev's label: no mount namespace of the test's own"; fi

# A write-protected device is mounted read-only at once, and it is said.
ro=$(losetup -r -f --show "$work/plain.img")
expect "write-protected: add says" "$("$automount" --prefix usb- add "$ro")" \
"orva-automount: mounted $ro (ext4) read-only: the device is write-protected
orva-automount: mounted $ro (ext4) on $watch/usb-${ro##*/}"
expect_added "write-protected" "$ro" "usb-${ro##*/}" ext4 Plain ro,nosuid,nodev,noexec,noatime
expect "write-protected: remove says" "$("$automount" remove "$ro")" \
    "orva-automount: removed $watch/usb-${ro##*/}"
expect_removed "write-protected" "$ro" "usb-${ro##*/}"

echo "$passed passed, $failures failed, $skipped skipped"
[ "$failures" -eq 0 ]
