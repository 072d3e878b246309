# SPDX-License-Identifier: MIT
"""The board tests' case: a board of its own for each test class, tests that
start from a board with nothing of another test in it, and the assertions."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), ".."))
from orvaboard import fixture, sticks  # noqa: E402
from orvaboard.board import Tree  # noqa: E402

HELLO = {"hello.txt": "hello from the stick\n"}


class BoardCase(unittest.TestCase):
    """A board up for the test class, with the sticks of COLD (name,
    partitions) in it at power-on, and the guest's watcher reading hello.txt."""

    ARCH = "amd64"
    COLD = []

    @classmethod
    def setUpClass(cls):
        cls.work = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="orva-board-test."))
        disks = [cls.stick(name, partitions) for name, partitions in cls.COLD]
        cls.board = cls.enterClassContext(fixture.booted(
            os.path.join(cls.work, "state"), cls.ARCH, disks=disks, watch="hello.txt",
            artifacts=f"{cls.__name__}.setUpClass"))

    def setUp(self):
        # Whatever the test leaves plugged is pulled after it.
        self.addCleanup(self.board.clear)
        # Nothing plugged, no row, nothing left; a board booted with sticks
        # in it starts with theirs.
        if not self.COLD:
            self.assertEqual((self.board.plugged(), self.board.tree().links(),
                              self.board.leftovers()), ([], {}, []))

    @classmethod
    def stick(cls, name, partitions, **options):
        """A stick image named name (make_stick's options)."""
        return sticks.make_stick(os.path.join(cls.work, name + ".img"), partitions, **options)

    def assert_rows(self, labels, timeout=120, title="USB"):
        """Waits until each label has exactly one link with its row, titled
        title and a number (USB for sticks, Card for SD cards, as the
        configuration names their prefixes), its target under /media/;
        returns the links' entry names."""
        tree = self.board.wait(lambda tree: all(len(tree.labelled(label)) == 1 for label in labels),
                               timeout, what=f"rows labelled {labels}")
        links = {entry: link for label in labels for entry, link in tree.labelled(label).items()}
        for entry, link in links.items():
            self.assertRegex(link["title"], rf"^{title}[0-9]+$")
            self.assertEqual(link["target"], "/media/" + entry)
        return list(links)

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
        """The "Attaching new device..." row shows in a tree that came after
        the host time since, and then goes."""
        self.board.wait(lambda _: any(Tree(t).notification() for t in self.board.trees()
                                      if t["host_time"] > since), 60, what="the notification row")
        self.board.wait(lambda tree: not tree.notification(), 30, what="the notification row to go")
