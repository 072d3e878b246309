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
        except Exception:
            shutil.rmtree(cls.work)
            raise

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
        self.assertEqual(self.board.leftovers(), [])

    def test_1_vfat_cold_plugged(self):
        self.assert_rows(["AT BOOT"])
        self.board.settle()
        self.board.unplug("boot0")
        self.assert_gone(["AT BOOT"])

    def test_2_vfat(self):
        # The short set, on every architecture: a FAT stick with blanks in
        # its label, plugged, seen, pulled without unmounting.
        image = boardkit.make_stick(self.image("vfat"), [("vfat", "MY STICK 1")])
        self.board.plug("vfat", image)
        links = self.assert_rows(["MY STICK 1"])
        entry = links["MY STICK 1"]["path"].rsplit("/", 1)[1]
        self.assertRegex(entry, r"^usb-sd[a-z]+1$")
        self.board.settle()
        mounts = self.board.exec("findmnt", "-rn", "-o", "FSTYPE", "/run/orva/storage/" + entry)
        self.assertEqual(mounts.split(), ["vfat"])
        self.board.unplug("vfat")
        self.assert_gone(["MY STICK 1"])

    STICKS = [
        # name, partitions, whole disk without a partition table
        ("exfat", [("exfat", "Grüße 🎵")], True),
        ("ext4", [("ext4", "Daten ünd mehr")], False),
        ("two_partitions", [("vfat", "PART ONE"), ("ext4", "part two")], False),
    ]

    def test_2_file_systems(self):
        for name, partitions, whole in self.STICKS:
            with self.subTest(name):
                image = boardkit.make_stick(self.image(name), partitions, table=not whole)
                labels = [label for _, label in partitions]
                self.board.plug(name, image)
                links = self.assert_rows(labels)
                entries = sorted(link["path"].rsplit("/", 1)[1] for link in links.values())
                pattern = r"^usb-sd[a-z]+$" if whole else r"^usb-sd[a-z]+[0-9]+$"
                for entry in entries:
                    self.assertRegex(entry, pattern)
                self.board.settle()
                self.board.unplug(name)
                self.assert_gone(labels)

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
