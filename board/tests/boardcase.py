# SPDX-License-Identifier: MIT
"""The board tests' case: a board up for a test class, a program in the guest
that opens each entry the moment it appears, and what the tests assert of
rows, mounts and what is left."""

import os
import re
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
import boardkit  # noqa: E402

TITLE = re.compile(r"^USB([0-9]+)$")
STORAGE = "/run/orva/storage/"


class BoardCase(unittest.TestCase):
    """A board that is up for the test class, with the sticks of COLD (name,
    partitions) in it at power-on, and a program in the guest that reads
    hello.txt in each entry the moment the entry appears."""

    ARCH = "amd64"
    COLD = []

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="orva-board-test.")
        cls.board = boardkit.Board(os.path.join(cls.work, "state"), cls.ARCH)
        disks = [boardkit.make_stick(cls.image(name), partitions) for name, partitions in cls.COLD]
        try:
            cls.board.up(disks=disks)
            cls.board.exec("systemd-run", "--unit=orva-watch", "sh", "-c",
                           "cd /run/orva/storage && inotifywait -m -e create -e moved_to"
                           " --format %f . 2>/run/orva-watch.err | while IFS= read -r f; do"
                           " case $f in usb-*.label) ;;"
                           " usb-*) echo \"$f $(cat \"$f/hello.txt\" 2>&1)\""
                           " >>/run/orva-watch.log ;;"
                           " esac; done")
            cls.board.exec("sh", "-c", "for i in $(seq 100); do"
                           " grep -q established /run/orva-watch.err 2>/dev/null && exit 0;"
                           " sleep 0.1; done; exit 1")
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.board.down()
        shutil.rmtree(cls.work)

    @classmethod
    def image(cls, name):
        return os.path.join(cls.work, name + ".img")

    def stick(self, name, partitions, **options):
        """A stick image named name (make_stick's options)."""
        return boardkit.make_stick(self.image(name), partitions, **options)

    def hello(self):
        """A folder with hello.txt, for make_stick's files."""
        folder = os.path.join(self.work, "files")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "hello.txt"), "w") as f:
            f.write("hello from the stick\n")
        return folder

    def assert_rows(self, labels, timeout=120):
        """Waits until each label has exactly one link with its row, titled
        USBn, its target under /media/; returns the links' entry names."""
        tree = self.board.wait(lambda tree: all(len(tree.labelled(label)) == 1 for label in labels),
                               timeout, what=f"rows labelled {labels}")
        entries = []
        for label in labels:
            link = tree.labelled(label)[0]
            entries.append(link["path"].rsplit("/", 1)[1])
            self.assertRegex(link["title"], TITLE, label)
            self.assertEqual(link["target"], "/media/" + entries[-1])
        return entries

    def assert_gone(self, labels, timeout=60):
        """The rows go; then, once udev and systemd are done (the row goes
        first, the unmount and the label file follow), nothing is left."""
        self.board.wait(lambda tree: not any(tree.labelled(label) for label in labels),
                        timeout, what=f"rows labelled {labels} to go")
        self.board.settle()
        self.assertEqual(self.board.leftovers(), [])

    def pull(self, name, labels):
        """Pulls a stick once its units are done, as a user would."""
        self.board.settle()
        self.board.unplug(name)
        self.assert_gone(labels)

    def assert_notified(self, since):
        """The "Attaching new device..." row shows in some tree after the
        first since trees, and then goes."""
        self.board.wait(lambda _: any(boardkit.Tree(t).notification() for t in self.board.trees()[since:]),
                        60, what="the notification row")
        self.board.wait(lambda tree: not tree.notification(), 30, what="the notification row to go")

    def mount_of(self, entry):
        """FSTYPE and OPTIONS of the device behind the entry."""
        return self.board.exec("findmnt", "-rn", "-o", "FSTYPE,OPTIONS", STORAGE + entry).split()


def run_tests(argv):
    """Runs the test module's cases: [--arch amd64|arm64] [unittest options];
    exit status 77 (skipped) where the board cannot be built."""
    args = argv[1:]
    if args[:1] == ["--arch"] and len(args) >= 2:
        BoardCase.ARCH = args[1]
        args = args[2:]
    if os.geteuid() != 0:
        print("skipped: the board's image is built as root", file=sys.stderr)
        return 77
    missing = boardkit.tools_missing()
    if missing:
        print(f"skipped: missing {' '.join(missing)}", file=sys.stderr)
        return 77
    program = unittest.main(argv=[argv[0], "-v", *args], exit=False)
    return 0 if program.result.wasSuccessful() else 1
