#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End to end on the emulated board: sticks made by the real mkfs tools,
plugged into a booted Debian (kernel, udev, systemd) that runs this
project's packages, seen as rows by orva-host, pulled, and nothing left.

Usage: board/tests/test_board.py [--arch amd64|arm64] [unittest options]
       (with -k vfat: the short set, one vfat stick)
Needs root (the image is built with mmdebstrap) and the packages of
scripts/package.sh --arch ARCH in dist/. Exit status 77: skipped.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
import boardkit  # noqa: E402

ARCH = "amd64"
TITLE = re.compile(r"^USB([0-9]+)$")


class BoardTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="orva-board-test.")
        cls.board = boardkit.Board(os.path.join(cls.work, "state"), ARCH)
        # Plugged at power-on: orva-host is up before udev sees it, as on a
        # board started with a stick in it.
        cold = boardkit.make_stick(cls.image("cold"), [("vfat", "AT BOOT")])
        try:
            cls.board.up(disks=[cold])
            cls.start_watcher()
        except Exception:
            cls.board.down()
            shutil.rmtree(cls.work)
            raise

    @classmethod
    def start_watcher(cls):
        """A program in the guest that, the moment an entry appears in the
        watched directory, reads hello.txt in it, as a user who opens the
        device's row at once would."""
        cls.board.exec("systemd-run", "--unit=orva-watch", "sh", "-c",
                       "cd /run/orva/storage && inotifywait -m -e create -e moved_to"
                       " --format %f . 2>/run/orva-watch.err | while IFS= read -r f; do"
                       " case $f in usb-*.label) ;; usb-*) echo \"$f $(cat \"$f/hello.txt\" 2>&1)\""
                       " >>/run/orva-watch.log ;; esac; done")
        cls.board.exec("sh", "-c", "for i in $(seq 100); do"
                       " grep -q established /run/orva-watch.err 2>/dev/null && exit 0;"
                       " sleep 0.1; done; exit 1")

    @classmethod
    def tearDownClass(cls):
        cls.board.down()
        shutil.rmtree(cls.work)

    @classmethod
    def image(cls, name):
        return os.path.join(cls.work, name + ".img")

    def assert_rows(self, labels, timeout=120):
        """Waits until each label has exactly one link with its row, titled
        USBn; returns those links by label."""
        def present(tree):
            return all(len(tree.labelled(label)) == 1 for label in labels)

        tree = self.board.wait(present, timeout, what=f"rows labelled {labels}")
        links = {label: tree.labelled(label)[0] for label in labels}
        for label, link in links.items():
            self.assertRegex(link["title"], TITLE, label)
            self.assertEqual(link["target"], "/media/" + link["path"].rsplit("/", 1)[1])
        return links

    def assert_gone(self, labels, timeout=60):
        self.board.wait(lambda tree: not any(tree.labelled(label) for label in labels),
                        timeout, what=f"rows labelled {labels} to go")
        # The row goes first; the unmount and the label file follow.
        self.board.settle()
        self.assertEqual(self.board.leftovers(), [])

    def assert_notified(self, since):
        """The "Attaching new device..." row shows in some tree after the
        first since trees, and then goes."""
        self.board.wait(lambda _: any(boardkit.Tree(t).notification()
                                      for t in self.board.trees()[since:]),
                        60, what="the notification row")
        self.board.wait(lambda tree: not tree.notification(), 30, what="the notification row to go")

    def mount_of(self, entry):
        """FSTYPE and OPTIONS of the device behind the entry."""
        out = self.board.exec("findmnt", "-rn", "-o", "FSTYPE,OPTIONS",
                              "/run/orva/storage/" + entry)
        return out.split()

    def test_1_vfat_cold_plugged(self):
        self.assert_rows(["AT BOOT"])
        self.assertEqual(self.board.exec("systemctl", "is-active",
                                         "orva-automount-cleanup.service").strip(), "active")
        self.board.settle()
        self.board.unplug("boot0")
        self.assert_gone(["AT BOOT"])

    def test_2_vfat(self):
        # The short set, on every architecture: a FAT stick with blanks in
        # its label, plugged, seen, pulled without unmounting.
        image = boardkit.make_stick(self.image("vfat"), [("vfat", "MY STICK 1")])
        since = len(self.board.trees())
        self.board.plug("vfat", image)
        links = self.assert_rows(["MY STICK 1"])
        self.assert_notified(since)
        entry = links["MY STICK 1"]["path"].rsplit("/", 1)[1]
        self.assertRegex(entry, r"^usb-sd[a-z]+1$")
        self.board.settle()
        fstype, options = self.mount_of(entry)
        self.assertEqual(fstype, "vfat")
        # Owned by the host's user (root: uid=0 is not shown), no file
        # executable, names in UTF-8.
        self.assertRegex(options, r"^rw,nosuid,nodev,noexec,noatime,nosymfollow,"
                         r"fmask=0133,dmask=0022,.*shortname=mixed,.*utf8,flush")
        self.board.unplug("vfat")
        self.assert_gone(["MY STICK 1"])

    STICKS = [
        # name, partitions, whole disk without a partition table, the
        # labels as the rows show them, the mounts' types
        ("exfat", [("exfat", "Grüße 🎵")], True, None, ["exfat"]),
        ("ext4", [("ext4", "Daten ünd mehr")], False, None, ["ext4"]),
        ("two_partitions", [("vfat", "PART ONE"), ("ext4", "part two")], False, None,
         ["vfat", "ext4"]),
        # NTFS through ntfs-3g (FUSE): Debian 12's kernel has no ntfs3.
        ("ntfs", [("ntfs", "Windows Daten")], True, None, ["fuseblk"]),
        # A FAT label as Windows writes it, in code page 850.
        ("codepage", [("vfat", b"M\x9aSIK")], False, ["MÜSIK"], ["vfat"]),
    ]

    def test_2_file_systems(self):
        for name, partitions, whole, shown, types in self.STICKS:
            with self.subTest(name):
                image = boardkit.make_stick(self.image(name), partitions, table=not whole,
                                            files=self.files())
                labels = shown or [label for _, label in partitions]
                self.board.plug(name, image)
                links = self.assert_rows(labels)
                entries = [links[label]["path"].rsplit("/", 1)[1] for label in labels]
                pattern = r"^usb-sd[a-z]+$" if whole else r"^usb-sd[a-z]+[0-9]+$"
                for entry, fstype in zip(entries, types):
                    self.assertRegex(entry, pattern)
                    self.assertEqual(self.mount_of(entry)[0], fstype)
                self.board.settle()
                for entry in entries:
                    # Still readable once the unit has started: ntfs-3g's
                    # daemon outlives the start.
                    self.board.exec("ls", "-A", "/run/orva/storage/" + entry + "/")
                if name == "ext4":
                    # The entry came with the stick's files behind it.
                    log = self.board.exec("cat", "/run/orva-watch.log").splitlines()
                    self.assertIn(f"{entries[0]} hello from the stick", log)
                self.board.unplug(name)
                self.assert_gone(labels)
        # No FUSE daemon outlives its mount.
        self.assertEqual(self.board.exec("pgrep", "-x", "ntfs-3g", check=False), "")

    def files(self):
        folder = os.path.join(self.work, "files")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "hello.txt"), "w") as f:
            f.write("hello from the stick\n")
        return folder

    def test_2_read_only(self):
        # A write-protected stick, and an ext4 file system with a feature
        # that this kernel can only read: both mounted read-only, and said.
        protected = boardkit.make_stick(self.image("protected"), [("vfat", "LOCKED")])
        newer = boardkit.make_stick(self.image("newer"), [("ext4", "NEWER")], table=False)
        subprocess.run(["debugfs", "-w", "-R", "ssv feature_ro_compat 0x4000046b", newer],
                       check=True, capture_output=True)
        cases = [("protected", protected, True, "LOCKED", "vfat", "the device is write-protected"),
                 ("newer", newer, False, "NEWER", "ext4", "read-write was refused: ")]
        for name, image, read_only, label, fstype, reason in cases:
            with self.subTest(name):
                self.board.plug(name, image, read_only=read_only)
                links = self.assert_rows([label])
                entry = links[label]["path"].rsplit("/", 1)[1]
                self.assertTrue(self.mount_of(entry)[1].startswith("ro,"))
                kname = entry[len("usb-"):]
                journal = self.board.exec("journalctl", "-o", "cat", "-u",
                                          f"orva-automount@{kname}.service")
                self.assertIn(f"orva-automount: mounted /dev/{kname} ({fstype}) read-only: {reason}",
                              journal)
                self.board.settle()
                self.board.unplug(name)
                self.assert_gone([label])

    def test_2_refused(self):
        # btrfs is not mounted by default: the notification row shows while
        # the stick is checked and goes when it is refused; nothing stays
        # but the unit's failure.
        image = boardkit.make_stick(self.image("btrfs"), [("btrfs", "REFUSED")], size_mib=128,
                                    table=False)
        since = len(self.board.trees())
        self.board.plug("btrfs", image)
        self.assert_notified(since)
        self.board.settle()
        self.assertEqual(self.board.tree().links(), {})
        leftovers = self.board.leftovers()
        self.assertEqual(len(leftovers), 1, leftovers)
        self.assertRegex(leftovers[0], r"^orva-automount@sd[a-z]+\.service .* failed ")
        self.board.exec("systemctl", "reset-failed")
        self.board.unplug("btrfs")

    def test_3_vfat_pulled_as_its_row_shows(self):
        # A user who pulls a stick at once: the device goes while it may
        # still be being mounted.
        image = boardkit.make_stick(self.image("hasty"), [("vfat", "HASTY")])
        self.board.plug("hasty", image)
        self.assert_rows(["HASTY"])
        self.board.unplug("hasty")
        self.board.settle()
        self.assert_gone(["HASTY"])

    def test_4_stick_without_file_system(self):
        image = boardkit.make_stick(self.image("blank"), [(None, None)], table=False)
        before = len(self.board.trees())
        self.board.plug("blank", image)
        # udev's event for the disk has run once its unit list is settled.
        self.board.exec("udevadm", "settle", "--timeout=60")
        self.assertEqual(self.board.tree().links(), {})
        self.assertEqual(self.board.leftovers(), [])
        self.board.unplug("blank")
        self.assertEqual(len(self.board.trees()), before)

    def test_5_ten_at_once_and_again(self):
        labels = [f"STICK {n:02}" for n in range(10)]
        for n, label in enumerate(labels):
            boardkit.make_stick(self.image(f"many{n}"), [("vfat", label)], size_mib=40)
        for n in range(10):
            self.board.plug(f"many{n}", self.image(f"many{n}"))
        links = self.assert_rows(labels, timeout=300)
        self.board.settle()
        self.assertEqual(sorted(int(TITLE.match(link["title"]).group(1)) for link in links.values()),
                         list(range(1, 11)))
        for n in range(10):
            self.board.unplug(f"many{n}")
        self.assert_gone(labels)

        # The same stick pulled and plugged again gets its row back.
        for _ in range(2):
            self.board.plug("again", self.image("many3"))
            self.assert_rows(["STICK 03"])
            self.board.settle()
            self.board.unplug("again")
            self.assert_gone(["STICK 03"])

    def test_6_card_reader(self):
        # A reader that stays plugged: a card with a file system on the
        # whole of it, taken out, then one with a partition table put in
        # and taken out, then the reader pulled.
        whole = boardkit.make_stick(self.image("card1"), [("vfat", "CARD ONE")], table=False)
        parted = boardkit.make_stick(self.image("card2"), [("vfat", "CARD TWO")])
        self.board.plug("reader", whole, reader=True)
        self.assert_rows(["CARD ONE"])
        self.board.settle()
        self.board.eject("reader")
        self.assert_gone(["CARD ONE"])
        self.board.insert("reader", parted)
        self.assert_rows(["CARD TWO"])
        self.board.settle()
        self.board.eject("reader")
        self.assert_gone(["CARD TWO"])
        self.board.unplug("reader")
        self.board.settle()
        self.assertEqual(self.board.leftovers(), [])


def main():
    global ARCH
    args = sys.argv[1:]
    if args[:1] == ["--arch"] and len(args) >= 2:
        ARCH = args[1]
        args = args[2:]
    if os.geteuid() != 0:
        print("skipped: the board's image is built as root", file=sys.stderr)
        return 77
    missing = boardkit.tools_missing()
    if missing:
        print(f"skipped: missing {' '.join(missing)}", file=sys.stderr)
        return 77
    program = unittest.main(argv=[sys.argv[0], "-v", *args], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
