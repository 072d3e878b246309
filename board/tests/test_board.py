#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End to end on the emulated board: sticks made by the real mkfs tools,
plugged into a booted Debian (kernel, udev, systemd) that runs this
project's packages, seen as rows by orva-host, pulled, and nothing left.

Usage: board/tests/test_board.py [--arch amd64|arm64] [unittest options]
       (with -k vfat: the short set, vfat sticks only)
Needs root (the image is built with mmdebstrap) and the packages of
scripts/package.sh --arch ARCH in dist/. Exit status 77: skipped.
The board, the guest's watcher and the assertions: boardcase.py beside it.
"""

import subprocess
import sys

import boardcase

VFAT_OPTIONS = (r"^rw,nosuid,nodev,noexec,noatime,nosymfollow,fmask=0133,dmask=0022,"
                r".*shortname=mixed,.*utf8,flush")


class BoardTest(boardcase.BoardCase):
    # Plugged at power-on: orva-host is up before udev sees it, as on a
    # board started with a stick in it.
    COLD = [("boot", [("vfat", "AT BOOT")])]

    def test_1_vfat_cold_plugged(self):
        self.assert_rows(["AT BOOT"])
        self.assertEqual(self.board.exec("systemctl", "is-active",
                                         "orva-automount-cleanup.service").strip(), "active")
        self.pull("boot0", ["AT BOOT"])

    def test_2_vfat(self):
        # The short set, on every architecture: a FAT stick with blanks in
        # its label, plugged, seen with the attach row before it, pulled
        # without unmounting. Owned by the host's user (root: uid=0 is not
        # shown), no file executable, names in UTF-8.
        image = self.stick("vfat", [("vfat", "MY STICK 1")])
        since = len(self.board.trees())
        self.board.plug("vfat", image)
        entry, = self.assert_rows(["MY STICK 1"])
        self.assert_notified(since)
        self.assertRegex(entry, r"^usb-sd[a-z]+1$")
        self.board.settle()
        self.assertEqual(self.mount_of(entry)[0], "vfat")
        self.assertRegex(self.mount_of(entry)[1], VFAT_OPTIONS)
        self.pull("vfat", ["MY STICK 1"])

    # name, partitions, whole disk without a partition table, the labels as
    # the rows show them, the mounts' types, and for read-only media the
    # reason the journal gives.
    STICKS = [
        ("exfat", [("exfat", "Grüße 🎵")], True, None, ["exfat"], None),
        # The entry comes with the stick's files behind it.
        ("ext4", [("ext4", "Daten ünd mehr")], False, None, ["ext4"], None),
        ("two_partitions", [("vfat", "PART ONE"), ("ext4", "part two")], False, None,
         ["vfat", "ext4"], None),
        # NTFS through ntfs-3g (FUSE): Debian 12's kernel has no ntfs3.
        ("ntfs", [("ntfs", "Windows Daten")], True, None, ["fuseblk"], None),
        # A FAT label as Windows writes it, in code page 850.
        ("codepage", [("vfat", b"M\x9aSIK")], False, ["MÜSIK"], ["vfat"], None),
        # A write-protected stick, and an ext4 file system with a feature
        # that this kernel can only read: both mounted read-only, and said.
        ("protected", [("vfat", "LOCKED")], False, None, ["vfat"], "the device is write-protected"),
        ("newer", [("ext4", "NEWER")], True, None, ["ext4"], "read-write was refused: "),
    ]

    def test_2_file_systems(self):
        for name, partitions, whole, shown, types, read_only in self.STICKS:
            with self.subTest(name):
                image = self.stick(name, partitions, table=not whole, files=self.hello())
                if name == "newer":
                    subprocess.run(["debugfs", "-w", "-R", "ssv feature_ro_compat 0x4000046b",
                                    image], check=True, capture_output=True)
                labels = shown or [label for _, label in partitions]
                self.board.plug(name, image, read_only=name == "protected")
                entries = self.assert_rows(labels)
                for entry, fstype in zip(entries, types):
                    self.assertRegex(entry, r"^usb-sd[a-z]+$" if whole else r"^usb-sd[a-z]+[0-9]+$")
                    self.assertEqual(self.mount_of(entry)[0], fstype)
                    self.assertEqual(self.mount_of(entry)[1].startswith("ro,"), bool(read_only))
                if read_only:
                    kname = entries[0][len("usb-"):]
                    journal = self.board.exec("journalctl", "-o", "cat", "-u",
                                              f"orva-automount@{kname}.service")
                    self.assertIn(f"orva-automount: mounted /dev/{kname} ({types[0]}) read-only: "
                                  f"{read_only}", journal)
                self.board.settle()
                for entry in entries:
                    # Still readable once the unit has started: ntfs-3g's
                    # daemon outlives the start.
                    self.board.exec("ls", "-A", boardcase.STORAGE + entry + "/")
                if name == "ext4":
                    log = self.board.exec("cat", "/run/orva-watch.log").splitlines()
                    self.assertIn(f"{entries[0]} hello from the stick", log)
                self.pull(name, labels)
        # No FUSE daemon outlives its mount; it runs as mount.ntfs-3g, so
        # it is looked for by its program.
        self.assertEqual(self.board.exec("pidof", "/usr/bin/ntfs-3g", check=False), "")

    def test_2_refused(self):
        # btrfs is not mounted by default: the notification row shows while
        # the stick is checked and goes when it is refused; nothing stays
        # but the unit's failure. A stick without a file system starts no
        # unit: udev's event for the disk has run once its unit list is
        # settled, and no tree has changed.
        for name, partitions, size_mib, failed in [("btrfs", [("btrfs", "REFUSED")], 128, 1),
                                                   ("blank", [(None, None)], 64, 0)]:
            with self.subTest(name):
                image = self.stick(name, partitions, size_mib=size_mib, table=False)
                since = len(self.board.trees())
                self.board.plug(name, image)
                if failed:
                    self.assert_notified(since)
                self.board.settle()
                self.assertEqual(self.board.tree().links(), {})
                leftovers = self.board.leftovers()
                self.assertEqual(len(leftovers), failed, leftovers)
                if failed:
                    self.assertRegex(leftovers[0], r"^orva-automount@sd[a-z]+\.service .* failed ")
                    self.board.exec("systemctl", "reset-failed")
                self.board.unplug(name)
                if not failed:
                    self.assertEqual(len(self.board.trees()), since)

    def test_3_vfat_pulled_as_its_row_shows(self):
        # A user who pulls a stick at once: the device goes while it may
        # still be being mounted.
        self.board.plug("hasty", self.stick("hasty", [("vfat", "HASTY")]))
        self.assert_rows(["HASTY"])
        self.board.unplug("hasty")
        self.assert_gone(["HASTY"])

    def test_5_ten_at_once_and_again(self):
        labels = [f"STICK {n:02}" for n in range(10)]
        for n, label in enumerate(labels):
            self.board.plug(f"many{n}", self.stick(f"many{n}", [("vfat", label)], size_mib=40))
        self.assert_rows(labels, timeout=300)
        self.board.settle()
        titles = [link["title"] for link in self.board.tree().links().values()]
        self.assertEqual(sorted(int(boardcase.TITLE.match(t).group(1)) for t in titles),
                         list(range(1, 11)))
        for n in range(10):
            self.board.unplug(f"many{n}")
        self.assert_gone(labels)
        # The same stick pulled and plugged again gets its row back.
        for _ in range(2):
            self.board.plug("again", self.image("many3"))
            self.assert_rows(["STICK 03"])
            self.pull("again", ["STICK 03"])

    def test_6_card_reader(self):
        # A reader that stays plugged: a card with a file system on the
        # whole of it, taken out, then one with a partition table put in
        # and taken out, then the reader pulled.
        self.board.plug("reader", self.stick("card1", [("vfat", "CARD ONE")], table=False),
                        reader=True)
        self.assert_rows(["CARD ONE"])
        self.board.settle()
        self.board.eject("reader")
        self.assert_gone(["CARD ONE"])
        self.board.insert("reader", self.stick("card2", [("vfat", "CARD TWO")]))
        self.assert_rows(["CARD TWO"])
        self.board.settle()
        self.board.eject("reader")
        self.assert_gone(["CARD TWO"])
        self.board.unplug("reader")
        self.board.settle()
        self.assertEqual(self.board.leftovers(), [])


if __name__ == "__main__":
    sys.exit(boardcase.run_tests(sys.argv))
