#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End to end on the emulated board: sticks made by the real mkfs tools,
plugged into a booted Debian that runs this project's packages, seen as rows
by orva-host, pulled, and nothing left. Each class boots a board of its own.
As root: test_board.py [--arch amd64|arm64] [--reverse] [unittest options]
(-k test_vfat_stick: a vfat stick at boot and one plugged); 77: skipped."""

import collections
import json
import random
import re
import sys
import time

import boardcase  # first: it puts board/ on the module path
from orvaboard import BoardError, fixture, testing
from orvaboard.waiting import wait_until
from orvaboard.board import WATCH_DIR

SERVICE = "orva-automount.service"

VFAT_MOUNT = (r"^vfat rw,nosuid,nodev,noexec,noatime,nosymfollow,fmask=0133,dmask=0022,"
              r".*shortname=mixed,.*utf8,flush")


# What any local user can do with the setuid fusermount3 that every board
# has (ntfs-3g depends on fuse3): a FUSE mount on a directory of theirs
# that names whatever source they like. Its driver is gone at once.
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
USER_FUSE_MOUNT = ('socketpair($a, $b, AF_UNIX, SOCK_STREAM, 0); fcntl($_, F_SETFD, 0) for $a, $b; '
                   '$ENV{_FUSE_COMMFD} = fileno($b); exec "fusermount3", "-ofsname=$ARGV[0]", $ARGV[1]')


class AtPowerOn(boardcase.BoardCase):
    # In the board at power-on: orva-host is up before udev sees it, as on
    # a board started with a stick in it.
    COLD = [("boot", [("vfat", "AT BOOT")])]

    def test_vfat_stick(self):
        self.assert_rows(["AT BOOT"])
        self.assertEqual(self.board.exec("systemctl", "is-active", SERVICE).strip(), "active")
        self.pull("boot0", ["AT BOOT"])


class OneAtATime(boardcase.BoardCase):
    def test_vfat_stick(self):
        # The short set, on every architecture: a FAT stick with blanks in
        # its label, plugged, seen with the attach row before it, pulled
        # without unmounting. Owned by the host's user (root: uid=0 is not
        # shown), no file executable, names in UTF-8.
        plugged = self.board.plug("vfat", self.stick("vfat", [("vfat", "MY STICK 1")]))
        entry, = self.assert_rows(["MY STICK 1"])
        self.assert_notified(plugged)
        self.assertRegex(entry, r"^usb-sd[a-z]+1$")
        self.board.settle()
        self.assertRegex(self.board.mount(entry), VFAT_MOUNT)
        # What systemctl status and orva-automount status tell of it (the
        # label as its file holds it, encoded as blkid encodes it).
        self.assertEqual(self.board.exec("systemctl", "show", "-P", "StatusText", SERVICE).strip(),
                         "1 device mounted")
        devices = json.loads(self.board.exec("orva-automount", "status", "--json"))["devices"]
        self.assertEqual([(d["device"], d["entry"], d["state"], d["type"], d["label"])
                          for d in devices],
                         [(f"/dev/{entry[len('usb-'):]}", entry, "mounted", "vfat",
                           r"MY\x20STICK\x201")])
        self.pull("vfat", ["MY STICK 1"])
        self.assertEqual(self.board.exec("systemctl", "show", "-P", "StatusText", SERVICE).strip(),
                         "0 devices mounted")

    # name, partitions, whole disk without a partition table, the labels as
    # the rows show them, the mounts' types, and for read-only media the
    # reason the journal gives.
    STICKS = [
        ("exfat", [("exfat", "Grüße 🎵")], True, None, ["exfat"], None),
        # The entry comes with the stick's files behind it.
        ("ext4", [("ext4", "Daten ünd mehr")], False, None, ["ext4"], None),
        ("parts", [("vfat", "PART ONE"), ("ext4", "part two")], False, None, ["vfat", "ext4"], None),
        # NTFS through ntfs-3g (FUSE): Debian 12's kernel has no ntfs3.
        ("ntfs", [("ntfs", "Windows Daten")], True, None, ["fuseblk"], None),
        # A FAT label as Windows writes it, in code page 850.
        ("codepage", [("vfat", b"M\x9aSIK")], False, ["MÜSIK"], ["vfat"], None),
        # A write-protected stick, and an ext4 file system with a feature
        # that this kernel can only read: both mounted read-only, and said.
        ("protected", [("vfat", "LOCKED")], False, None, ["vfat"], "the device is write-protected"),
        ("newer", [("ext4", "NEWER")], True, None, ["ext4"], "read-write was refused: "),
    ]

    # NTFS allowed, as an integrator who accepts that ntfs-3g reads the
    # stick as root would allow it.
    # The service reads its configuration as it starts.
    def allow_ntfs(self, conf="/etc/default/orva-automount"):
        self.addCleanup(self.board.exec, "sh", "-c",
                        f"mv {conf}.orig {conf} && systemctl restart {SERVICE}")
        self.board.exec("sh", "-c", f"cp -p {conf} {conf}.orig && "
                        f"echo 'ALLOWED_TYPES=\"vfat exfat ntfs ext4\"' >>{conf} && "
                        f"systemctl restart {SERVICE}")

    def test_file_systems(self):
        self.allow_ntfs()
        for name, partitions, whole, shown, types, read_only in self.STICKS:
            with self.subTest(name):
                self.board.clear()  # what a failed stick before left in
                image = self.stick(name, partitions, table=not whole, files=boardcase.HELLO,
                                   ro_compat=0x4000046b if name == "newer" else None)
                labels = shown or [label for _, label in partitions]
                self.board.plug(name, image, read_only=name == "protected")
                entries = self.assert_rows(labels)
                for entry, fstype in zip(entries, types):
                    self.assertRegex(entry, r"^usb-sd[a-z]+$" if whole else r"^usb-sd[a-z]+[0-9]+$")
                    mounted, options = self.board.mount(entry).split()
                    self.assertEqual((mounted, options.startswith("ro,")), (fstype, bool(read_only)))
                if read_only:
                    kname = entries[0][len("usb-"):]
                    said = f"orva-automount: mounted /dev/{kname} ({types[0]}) read-only: {read_only}"
                    self.assertIn(said, self.board.journal(SERVICE))
                self.board.settle()
                # Still readable once the unit has started: ntfs-3g's daemon
                # outlives the start.
                self.board.exec("ls", "-A", *(f"{WATCH_DIR}/{entry}/" for entry in entries))
                if name == "ext4":
                    self.assertIn(f"{entries[0]} hello from the stick", fixture.opened(self.board))
                self.pull(name, labels)
        # No FUSE daemon outlives its mount; it runs as mount.ntfs-3g, so
        # it is looked for by its program.
        self.assertEqual(self.board.exec("pidof", "/usr/bin/ntfs-3g", check=False), "")

    def test_fuse_mounts_of_a_user(self):
        # nobody names a FUSE mount of theirs after the node the stick then
        # gets: it blocks nothing.
        self.board.exec(*AS_NOBODY, "sh", "-c", 'mkdir -p /tmp/sda && exec perl -MSocket -MFcntl '
                        '-e "$0" /dev/sda /tmp/sda', USER_FUSE_MOUNT)
        self.addCleanup(self.board.exec, "umount", "/tmp/sda")
        self.board.plug("named", self.stick("named", [("vfat", "NAMED")], table=False))
        self.assertEqual(self.assert_rows(["NAMED"]), ["usb-sda"])
        self.pull("named", ["NAMED"])

    def test_refused(self):
        # btrfs and NTFS are not mounted by default: the journal says why,
        # no row shows and the notification row, if the plug-in saw the
        # notification entry at all before the quick refusal took it away,
        # goes with it; once the stick is pulled nothing stays, not even a
        # failed unit: the board is not degraded by a stick somebody plugged.
        for fstype, size in (("btrfs", 128), ("ntfs", 16)):
            image = self.stick(f"{fstype}-no", [(fstype, "REFUSED")], size_mib=size, table=False)
            self.board.plug(f"{fstype}-no", image)
            wait_until(lambda: f"type {fstype}, which is not allowed" in self.said(), 60,
                       f"no refusal of the {fstype} stick in the journal")
            self.board.wait(lambda tree: not tree.notification(), 30,
                            what="the notification row to go")
            self.board.settle()
            self.assertEqual(self.board.tree().links(), {})
            self.pull(f"{fstype}-no", [])
        # Each said at the priority of an error, NTFS with why and how to
        # allow it.
        refusals = self.board.exec("journalctl", "-qocat", "-perr", "-torva-automount")
        self.assertIn("holds a file system of type btrfs, which is not allowed", refusals)
        self.assertIn("type ntfs, which is not allowed (allowed: vfat exfat ext2 ext3 ext4); "
                      "NTFS is left out by default", refusals)
        self.assertNotEqual(self.board.exec("systemctl", "is-system-running", check=False).strip(),
                            "degraded")

    def said(self):
        """What orva-automount wrote to the journal."""
        return self.board.exec("journalctl", "-q", "-o", "cat", "-t", "orva-automount")

    def test_ntfs_confined(self):
        # ntfs-3g drops mount options it does not know; the mount itself
        # carries them all the same, in orva-host's mount namespace too, and
        # an absolute link on the stick leads nowhere.
        self.allow_ntfs()
        image = self.stick("links", [("ntfs", "LINKS")], table=False)
        self.board.plug("links", image)
        entry, = self.assert_rows(["LINKS"])
        self.board.settle()
        path = f"{WATCH_DIR}/{entry}"
        host = self.board.exec("sh", "-c", 'grep " $1 " /proc/$(pidof orva-host)/mountinfo',
                               "sh", f"{WATCH_DIR}/.orva-automount/mnt/{entry}")
        for options in (self.board.mount(entry).split()[1], host.split()[5]):
            self.assertLessEqual({"nosuid", "nodev", "noexec", "nosymfollow"},
                                 set(options.split(",")))
        self.board.exec("ln", "-s", "/etc/hostname", f"{path}/escape")
        self.assertEqual(self.read(f"{path}/escape"), "Too many levels of symbolic links")
        # The driver that parses the stick runs confined with its unit: no
        # new privileges, a system call filter, CAP_SYS_ADMIN and CAP_SETGID.
        status = self.board.exec("sh", "-c", "cat /proc/$(pidof /usr/bin/ntfs-3g)/status")
        self.assertRegex(status, r"(?m)^NoNewPrivs:\s+1\n(.*\n)?Seccomp:\s+2$")
        self.assertRegex(status, r"(?m)^CapBnd:\s+0*200040$")
        # Its daemon killed (a crafted file system can crash it): the row
        # leads to a dead mount. The service restarted clears it and mounts
        # anew; cleanup takes a dead one away too.
        for mend in (["systemctl", "restart", SERVICE], ["orva-automount", "cleanup"]):
            self.board.exec("sh", "-c", "kill -KILL $(pidof /usr/bin/ntfs-3g)")
            self.assertEqual(self.read(f"{path}/escape"), "Transport endpoint is not connected")
            self.board.exec(*mend)
            if mend[0] == "systemctl":
                self.assertEqual(self.read(f"{path}/escape"), "Too many levels of symbolic links")
        self.assert_gone(["LINKS"])
        self.assertEqual(self.board.exec("systemctl", "is-active", SERVICE, check=False).strip(),
                         "active")
        self.pull("links", [])
        # Plugged again: a file kept open while the stick is taken away (a
        # remove by hand) still reads, from a daemon that lives on until the
        # file is closed, after the lazy unmount.
        self.board.plug("links", image)
        entry, = self.assert_rows(["LINKS"])
        self.board.exec("sh", "-c", f"echo kept >{WATCH_DIR}/{entry}/kept")
        self.board.exec("systemd-run", "--collect", "--unit=orva-test-reader", "sh", "-c",
                        f"exec sleep 600 <{WATCH_DIR}/{entry}/kept")
        self.addCleanup(self.board.exec, "systemctl", "stop", "orva-test-reader", check=False)
        self.board.exec("orva-automount", "remove", f"/dev/{entry[len('usb-'):]}")
        self.assert_gone(["LINKS"])
        self.assertEqual(self.board.exec("sh", "-c", "cat /proc/$(systemctl show -P MainPID "
                                         "orva-test-reader)/fd/0"), "kept\n")
        self.board.exec("systemctl", "stop", "orva-test-reader")
        wait_until(lambda: not self.board.exec("pidof", "/usr/bin/ntfs-3g", check=False), 30,
                   "ntfs-3g outlived its last open file")
        self.pull("links", [])
        # A driver that hangs (stopped, as one looping on a crafted image
        # would be) wedges nothing: pulled, the row goes at once, and the
        # unmount aborts its connection after a while and lets the stick go.
        self.board.plug("links", image)
        self.assert_rows(["LINKS"])
        self.board.exec("sh", "-c", "kill -STOP $(pidof /usr/bin/ntfs-3g)")
        self.pull("links", ["LINKS"])
        self.assertIn("did not let it go in 10 s; aborted its connection", self.said())
        self.board.exec("sh", "-c", "kill -CONT $(pidof /usr/bin/ntfs-3g)")

    def read(self, path):
        """The file's text, or why it cannot be read."""
        out = self.board.exec("sh", "-c", 'cat "$1" 2>&1', "sh", path, check=False).strip()
        return out.rsplit(": ", 1)[-1]

    def test_locks_out_of_reach(self):
        # A local user who locks whatever they can open of the watched
        # directory holds off no add and no remove; the locks themselves
        # they cannot open.
        self.assertIn("Permission denied", self.board.exec(
            *AS_NOBODY, "sh", "-c", "flock -n /run/orva-automount/lock true 2>&1", check=False))
        # Every file and directory of orva-automount's that nobody can
        # open, locked and held.
        self.board.exec("systemd-run", "--collect", "--unit=orva-test-holder", "--uid=nobody",
                        "bash", "-c", 'n=10; for f in "$@"; do eval "exec $n<\\"\\$f\\"" && '
                        'flock -n -s $n && n=$((n + 1)); done 2>/dev/null; exec sleep 600', "bash",
                        WATCH_DIR, *(f"{WATCH_DIR}/.orva-automount/{name}" for name in
                                     ("", "lock", "mnt")))
        self.addCleanup(self.board.exec, "systemctl", "stop", "orva-test-holder")
        self.board.plug("held", self.stick("held", [("vfat", "HELD")]))
        self.assert_rows(["HELD"])
        self.assertEqual(self.board.exec("systemctl", "is-active", "orva-test-holder",
                                         check=False).strip(), "active")
        self.pull("held", ["HELD"])

    # The service under strace for its next run only, with OPTIONS (what
    # to inject where); the runs after it are the service as it is. strace
    # is the main process: systemd takes the notifications of its child.
    # strace -o blocks the signals that stop it, so a stop signals both.
    TRACED = """[Service]
SystemCallFilter=
NotifyAccess=all
KillMode=control-group
SyslogIdentifier=orva-automount
ExecStart=
ExecStart=/bin/sh -c 'if read -r options </run/orva-test-trace; then rm /run/orva-test-trace; \\
  exec strace -qq -f $options /usr/sbin/orva-automount serve; fi; exec /usr/sbin/orva-automount serve'
"""

    def trace_next_run(self, options, may_die=False):
        dropin = f"/run/systemd/system/{SERVICE}.d"
        if not self.board.exec("sh", "-c", f"ls {dropin} 2>/dev/null", check=False):
            self.board.exec("sh", "-c", f'mkdir -p {dropin} && printf %s "$1" >{dropin}/trace.conf '
                            "&& systemctl daemon-reload", "sh", self.TRACED)
            # Stopped before the drop-in goes: with it goes the kill of
            # the traced process beside strace.
            self.addCleanup(self.board.exec, "sh", "-c", f"systemctl stop {SERVICE}; "
                            f"rm -rf {dropin} /run/orva-test-trace; "
                            f"systemctl daemon-reload; systemctl start {SERVICE}")
        # A run killed before it is ready fails its start; systemd starts
        # it again, as after any other kill.
        self.board.exec("sh", "-c", f'echo "$1" >/run/orva-test-trace && '
                        f'{{ systemctl restart {SERVICE} {"|| true" if may_die else ""}; }}',
                        "sh", options)

    def restarts(self):
        return int(self.board.exec("systemctl", "show", "-P", "NRestarts", SERVICE))

    def wait_restarted(self, restarts):
        """Until systemd has started the killed service again, and it is up."""
        wait_until(lambda: self.restarts() > restarts and self.board.exec(
            "systemctl", "is-active", SERVICE, check=False).strip() == "active", 60,
            "the service was not started again")

    def assert_mounted_once(self, entry):
        node = f"/dev/{entry[len('usb-'):]}"
        self.assertEqual(self.board.exec("findmnt", "-rn", "-o", "TARGET", "-S", node).split(),
                         [f"{WATCH_DIR}/.orva-automount/mnt/{entry}"])

    # The service killed at each system call that makes or takes away
    # something in the watched directory, the staging place, the runtime
    # directory or the mount table, during a stick's add: started again, it
    # mounts the stick once and leaves nothing of the add it was killed in.
    KILL_AT = ["mkdirat", "renameat", "symlinkat", "mount", "open_tree",
               "mount_setattr", "move_mount", "umount2", "unlinkat"]

    def test_killed_at_each_step(self):
        image = self.stick("killed", [("vfat", "KILLED")])
        # How often the service makes each call from its start to the row.
        self.trace_next_run(f"-o /run/orva-test-calls -e trace={','.join(self.KILL_AT)}")
        self.board.plug("killed", image)
        self.assert_rows(["KILLED"])
        self.board.settle()
        calls = self.board.exec("cat", "/run/orva-test-calls")
        self.pull("killed", ["KILLED"])
        for call in self.KILL_AT:
            # strace counts the calls of each thread apart (when=N is the
            # Nth of any one thread), and the service's main thread and the
            # stick's each make some.
            count = max(collections.Counter(re.findall(rf"(?m)^([0-9]+) +{call}\(", calls))
                        .values(), default=0)
            # Each of them is made at least once: a kill never made would
            # have checked nothing.
            with self.subTest(call=call):
                self.assertGreater(count, 0)
            for nth in range(1, count + 1):
                with self.subTest(call=call, nth=nth):
                    self.kill_at(image, call, nth)

    def kill_at(self, image, call, nth):
        self.trace_next_run(f"-o /dev/null -e trace={call} -e inject={call}:signal=KILL:when={nth}",
                            may_die=True)
        self.board.plug("killed", image)
        # A restart by hand sets systemd's count of restarts back to 0.
        self.wait_restarted(0)
        entry, = self.assert_rows(["KILLED"])
        self.assert_mounted_once(entry)
        self.board.unplug("killed")
        self.assert_gone(["KILLED"])

    def test_killed_at_random(self):
        # The service killed (as the OOM killer would) at a random moment
        # after each of three plugs and pulls: started again, it shows what
        # is plugged, once, and nothing of what was pulled.
        seed = random.randrange(1 << 32)
        pause = random.Random(seed)
        image = self.stick("random", [("vfat", "RANDOM")])
        for round in range(3):
            for plugged in (True, False):
                with self.subTest(seed=seed, round=round, plugged=plugged):
                    restarts = self.restarts()
                    if plugged:
                        self.board.plug("random", image)
                    else:
                        self.board.unplug("random")
                    time.sleep(pause.uniform(0, 2))
                    self.board.exec("systemctl", "kill", "--kill-who=main", "--signal=KILL",
                                    SERVICE)
                    self.wait_restarted(restarts)
                    if plugged:
                        self.assert_mounted_once(self.assert_rows(["RANDOM"])[0])
                    else:
                        self.assert_gone(["RANDOM"])
        self.board.plug("after", self.stick("after", [("vfat", "AFTER")]))
        self.assert_rows(["AFTER"])
        self.pull("after", ["AFTER"])

    def test_mount_that_hangs(self):
        # The first mount of the service's next run hangs for 40 s (strace
        # holds the thread that makes it), as on a dying stick: another
        # stick plugged and pulled meanwhile comes and goes all the same.
        # Pulled while it hangs, the stick's add is undone once the mount
        # returns.
        # Only the mount of the slow stick's device: strace counts each
        # thread's calls apart, and each device has a thread of its own.
        # The slow stick is plugged first, into a board with no stick in.
        self.trace_next_run("-o /dev/null -P /dev/sda1 -e trace=mount "
                            "-e inject=mount:delay_enter=40000000:when=1")
        self.board.plug("slow", self.stick("slow", [("vfat", "SLOW")]))
        self.board.wait(lambda tree: tree.notification(), 60, what="the notification row")
        self.assertIn("new-sda1", self.board.exec("ls", WATCH_DIR).split())
        self.board.plug("quick", self.stick("quick", [("vfat", "QUICK")]))
        self.assert_rows(["QUICK"])
        self.board.unplug("quick")
        self.board.wait(lambda tree: not tree.links(), 60, what="the quick stick's row to go")
        self.board.unplug("slow")
        wait_until(lambda: self.board.leftovers() == [], 120,
                   lambda: f"left after the hanging add: {self.board.leftovers()}")
        self.assertEqual(self.board.tree().links(), {})
        # Said once the add has undone what it made.
        wait_until(lambda: "stopped: the device went while it was being mounted" in self.said(),
                   30, "no word of the add stopped by the pull")

    def test_upgrade_from_units(self):
        # The package of the version that mounted each device from a unit of
        # its own (scripts/package-previous.sh), with a stick it mounted,
        # upgraded to this one: the stick has one entry, mounted once, the
        # old units are gone and none has failed.
        share = "/run/orva-board/dist"
        previous = self.board.exec("sh", "-c", f"ls {share}/previous/orva-automount_*.deb",
                                   check=False).split()
        if not previous:
            self.skipTest("no previous package: scripts/package-previous.sh")
        current = self.board.exec("sh", "-c", f"ls {share}/orva-automount_*.deb").split()
        install = ["env", "DEBIAN_FRONTEND=noninteractive", "apt-get", "install", "-y", "-q",
                   "--allow-downgrades", "--reinstall", "-o", "Dpkg::Use-Pty=0"]
        self.addCleanup(self.board.exec, *install, *current)
        self.board.exec("sh", "-c", f"systemctl stop {SERVICE} && \"$@\" && systemctl daemon-reload "
                        "&& udevadm control --reload", "sh", *install, *previous, timeout=300)
        self.board.plug("upgraded", self.stick("upgraded", [("vfat", "UPGRADED")]))
        entry, = self.assert_rows(["UPGRADED"])
        unit = f"orva-automount@{entry[len('usb-'):]}.service"
        self.board.settle()
        self.assertEqual(self.board.exec("systemctl", "is-active", unit).strip(), "active")
        self.board.exec(*install, *current, timeout=300)
        self.board.wait(lambda tree: len(tree.labelled("UPGRADED")) == 1 and self.board.exec(
            "systemctl", "is-active", SERVICE, check=False).strip() == "active", 120,
            what="the row and the service after the upgrade")
        self.board.settle()
        self.assertEqual(self.assert_rows(["UPGRADED"]), [entry])
        self.assert_mounted_once(entry)
        self.assertEqual(self.board.exec("systemctl", "list-units", "--plain", "--no-legend",
                                         "--all", "orva-automount@*", "--state=active,failed"), "")
        self.assertEqual(self.board.exec("systemctl", "list-units", "--failed", "--plain",
                                         "--no-legend"), "")
        self.pull("upgraded", ["UPGRADED"])

    def test_disk_mounted_elsewhere(self):
        # The board's own card: a disk with a file system mounted anywhere
        # but in orva-automount's staging place. None of its other
        # partitions is shown (two partitions of a stick are: "parts").
        rule = "/run/udev/rules.d/98-orva-test.rules"
        self.board.exec("sh", "-c", f"""mkdir -p /run/udev/rules.d && echo 'ENV{{ID_FS_LABEL}}=="SYSTEM|DATA", \\
ENV{{ORVA_AUTOMOUNT_IGNORE}}="1"' >{rule} && udevadm control --reload""")
        self.addCleanup(self.board.exec, "sh", "-c", f"rm -f {rule}; udevadm control --reload")
        self.board.plug("own", self.stick("own", [("ext4", "SYSTEM"), ("vfat", "DATA")]))
        self.board.settle()
        system, data = (self.board.exec("sh", "-c", 'udevadm wait --timeout=60 "$1" && '
                                        'readlink -f "$1"', "sh", f"/dev/disk/by-label/{label}")
                        .strip() for label in ("SYSTEM", "DATA"))
        self.board.exec("sh", "-c", f"mkdir -p /mnt/system && mount {system} /mnt/system && "
                        f"rm {rule} && udevadm control --reload && "
                        f"udevadm trigger --settle --action=add {data}")
        self.addCleanup(self.board.exec, "umount", "/mnt/system", check=False)
        self.board.settle()
        self.assertEqual(self.board.tree().links(), {})
        self.assertIn("which holds a file system mounted on /mnt/system", self.said())
        self.board.exec("umount", "/mnt/system")
        self.pull("own", [])

    def test_blank_stick(self):
        # A stick without a file system starts no unit: udev's event for the
        # disk has run once its unit list is settled; no tree has changed.
        since = len(self.board.trees())
        self.board.plug("blank", self.stick("blank", [(None, None)], table=False))
        self.board.settle()
        self.assertEqual(self.board.leftovers(), [])
        self.board.unplug("blank")
        self.assertEqual(len(self.board.trees()), since)

    def test_pulled_as_its_row_shows(self):
        # A user who pulls a stick at once: the device goes while it may
        # still be being mounted.
        self.board.plug("hasty", self.stick("hasty", [("vfat", "HASTY")]))
        self.assert_rows(["HASTY"])
        self.board.unplug("hasty")
        self.assert_gone(["HASTY"])

    def test_card_reader(self):
        # A reader that stays plugged: a card with a file system on the
        # whole of it, taken out, then one with a partition table put in
        # and taken out, then the reader pulled.
        self.board.plug("reader", self.stick("card1", [("vfat", "CARD ONE")], table=False),
                        reader=True)
        card2 = self.stick("card2", [("vfat", "CARD TWO")])
        for label, card in [("CARD ONE", None), ("CARD TWO", card2)]:
            if card:
                self.board.insert("reader", card)
            self.assert_rows([label])
            self.board.settle()
            self.board.eject("reader")
            self.assert_gone([label])
        self.pull("reader", [])

    def test_sd_card(self):
        # A card put into the board's SD slot: the SD host controller tells
        # the guest by its card-detect interrupt, the card is an mmcblk
        # disk, and its partition the row, under the SD prefix. The slot
        # holds one card; taken out without unmounting, the disk goes and
        # nothing stays, and the slot takes the next card.
        plugged = self.board.plug("sd", self.stick("sd", [("vfat", "CARD")]), sd=True)
        entry, = self.assert_rows(["CARD"], title="Card")
        self.assert_notified(plugged)
        self.assertRegex(entry, r"^mmc-mmcblk[0-9]+p1$")
        self.board.settle()
        self.assertRegex(self.board.mount(entry), VFAT_MOUNT)
        card2 = self.stick("sd2", [("ext4", "card two")], table=False, files=boardcase.HELLO)
        with self.assertRaisesRegex(BoardError, "^the SD slot holds sd already"):
            self.board.plug("sd2", card2, sd=True)
        self.assertEqual((self.board.plugged(), list(self.board.tree().labelled("CARD"))),
                         (["sd"], [entry]))
        self.pull("sd", ["CARD"])
        self.assertEqual(self.mmc_disks(), [])
        # A card with its file system on the whole of it, read through the
        # slot the moment its entry appears.
        self.board.plug("sd", card2, sd=True)
        entry, = self.assert_rows(["card two"], title="Card")
        self.assertRegex(entry, r"^mmc-mmcblk[0-9]+$")
        self.board.settle()
        self.assertIn(f"{entry} hello from the stick", fixture.opened(self.board))
        self.pull("sd", ["card two"])
        self.assertEqual(self.mmc_disks(), [])

    def mmc_disks(self):
        """The guest's SD/MMC block devices."""
        return [name for name in self.board.exec("ls", "/sys/class/block").split()
                if name.startswith("mmcblk")]

    def test_ten_at_once_and_again(self):
        labels, images = [f"STICK {n:02}" for n in range(10)], []
        for n, label in enumerate(labels):
            images.append(self.stick(f"many{n}", [("vfat", label)], size_mib=40))
            self.board.plug(f"many{n}", images[-1])
        self.assert_rows(labels, timeout=300)
        self.board.settle()
        titles = sorted(link["title"] for link in self.board.tree().links().values())
        self.assertEqual(titles, sorted(f"USB{n}" for n in range(1, 11)))
        for n in range(10):
            self.board.unplug(f"many{n}")
        self.assert_gone(labels)
        # The same stick pulled and plugged again gets its row back.
        for _ in range(2):
            self.board.plug("again", images[3])
            self.assert_rows(["STICK 03"])
            self.pull("again", ["STICK 03"])


if __name__ == "__main__":
    sys.exit(testing.run(sys.argv, boardcase.BoardCase))
