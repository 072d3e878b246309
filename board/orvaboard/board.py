# SPDX-License-Identifier: MIT
"""A board as the tests and the benchmark drive it, and the storage link
worker's tree as orva-host's events show it."""

import json
import os

from . import TOP, BoardError, agent, devices, machine
from .waiting import Timeout, wait_until

WORKER = "/CMStorageLinkWorker"


def example_config():
    """The configuration the board's orva-host runs with: the example that
    the orva-host package ships (orva-board-install puts it in place)."""
    with open(os.path.join(TOP, "docs", "examples", "orva-storagelink.json")) as f:
        return json.load(f)


CONFIG = example_config()
WATCH_DIR = CONFIG["watchPath"]


class Board:
    """A board in its own state folder: what orva-board's commands do, on
    the state folder's sockets directly."""

    def __init__(self, state, arch="amd64"):
        self.state = os.path.abspath(state)
        self.arch = arch

    def up(self, disks=(), append=(), with_peers=False, timeout=600):
        machine.up(self.state, machine.Machine(self.arch, with_peers, list(disks),
                                               append=list(append)), timeout)

    def down(self):
        machine.down(self.state)

    def plug(self, name, image, read_only=False, reader=False, sd=False):
        return devices.plug(self.state, name, image, read_only, reader, sd)

    def eject(self, name):
        return devices.eject(self.state, name)

    def insert(self, name, image):
        return devices.insert(self.state, name, image)

    def unplug(self, name):
        return devices.unplug(self.state, name)

    def plugged(self):
        """The devices plugged (not those present at power-on) still in."""
        return devices.plugged(self.state)

    def clear(self):
        """Pulls every device plugged (not those present at power-on) and
        waits until their rows are gone and udev and systemd are done."""
        pulled = self.plugged()
        for name in pulled:
            self.unplug(name)
        if pulled:
            self.wait(lambda tree: not tree.links(), 60, what="the rows to go")
        self.settle()

    def exec(self, *command, check=True, timeout=120):
        """The command's standard output; its status checked unless told."""
        out, err, status = agent.guest_run(self.state, list(command), timeout)
        if check and status != 0:
            raise BoardError(f"{command} exited {status}: {err.decode('utf-8', 'replace')}")
        return out.decode("utf-8", "replace")

    def agent(self):
        """A session with the guest agent; close it when done."""
        return agent.GuestAgent(self.state)

    def events(self):
        return machine.read_events(self.state)

    def trees(self):
        return [e for e in self.events() if e.get("event") == "tree"]

    def tree(self):
        trees = self.trees()
        return Tree(trees[-1] if trees else {"nodes": []})

    def wait(self, predicate, timeout=120, what="the tree"):
        """The first tree for which predicate holds, waiting for it; an
        AssertionError that shows the last tree when none comes."""
        def matching():
            tree = self.tree()
            return tree if predicate(tree) else None

        def failure():
            return (f"waited {timeout} s for {what}; the last tree: "
                    f"{json.dumps(self.tree().nodes, ensure_ascii=False)}")

        try:
            return wait_until(matching, timeout, failure, interval=0.25)
        except Timeout as error:
            raise AssertionError(str(error)) from None

    def settle(self):
        """Waits until udev has handled every event and systemd has run
        every job, so that the units the sticks started are done."""
        self.exec("udevadm", "settle", "--timeout=120")
        wait_until(lambda: not self.exec("systemctl", "list-jobs", "--no-legend").strip(), 120,
                   "systemd still has jobs after 120 s")

    def mount(self, entry):
        """"TYPE OPTIONS" of the file system behind an entry."""
        return self.exec("findmnt", "-rn", "-o", "FSTYPE,OPTIONS", f"{WATCH_DIR}/{entry}").strip()

    def journal(self, unit):
        """A unit's journal of this boot, its messages alone."""
        return self.exec("journalctl", "-b", "-o", "cat", "-u", unit)

    def leftovers(self):
        """What a stick that has gone may leave in the guest: mounts under
        the watched directory, entries and label files in it, staging
        directories of orva-automount's, failed units."""
        out = self.exec("sh", "-c",
                        'findmnt -rn -o TARGET | grep "^$1" ;'
                        'ls -A "$1" | grep -vx .orva-automount ;'
                        'ls -A "$1/.orva-automount/mnt" ;'
                        "systemctl list-units --failed --plain --no-legend", "sh", WATCH_DIR)
        return [line for line in out.splitlines() if line.strip()]


class Tree:
    """One tree event of orva-host's."""

    def __init__(self, event):
        self.nodes = event.get("nodes", [])

    def links(self):
        """The link nodes, by entry name (the last part of their path)."""
        return {n["path"].rsplit("/", 1)[1]: n for n in self.nodes
                if n.get("kind") == "link"}

    def rows(self):
        for node in self.nodes:
            if node["path"] == WORKER:
                return node.get("rows", [])
        return []

    def labelled(self, label):
        """The link nodes whose description (the device's label) is label,
        each with its row in the list, by entry name."""
        rows = self.rows()
        return {entry: n for entry, n in self.links().items()
                if n.get("description") == label and n["path"] in rows}

    def notification(self):
        return f"{WORKER}/notification" in self.rows()
