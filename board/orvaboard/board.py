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

# settle's wait in the guest, which waits for systemd's jobs itself so that
# a settle is one request to the guest agent rather than one every 0.1 s.
# A systemctl that fails is no answer, so it counts as jobs left. Exit
# status 2: udev still had events after 120 s; 3: systemd still had jobs,
# which it lists.
# udev's events handled, systemd's jobs run, and orva-automount's service
# with no device at work (its status says "N at work" while it has some).
SETTLE = """udevadm settle --timeout=120 || exit 2
timeout 120 sh -c 'while [ -n "$(systemctl list-jobs --no-legend || echo failed)" ]
    do sleep 0.05; done' || { systemctl list-jobs --no-legend; exit 3; }
timeout 120 sh -c 'while systemctl show -P StatusText orva-automount.service | grep -q "at work"
    do sleep 0.05; done' || { systemctl show -P StatusText orva-automount.service; exit 4; }"""


class Board:
    """A board in its own state folder: what orva-board's commands do, on
    the state folder's sockets directly."""

    def __init__(self, state, arch="amd64"):
        self.state = os.path.abspath(state)
        self.arch = arch
        self.log = machine.EventLog(self.state)
        # exec's session with the guest agent, kept from one command to the
        # next: a new one costs a connection and a handshake.
        self.session = None

    def up(self, disks=(), append=(), with_peers=False, timeout=600):
        # A new boot has a new qemu and writes its events anew.
        self.disconnect()
        self.log = machine.EventLog(self.state)
        machine.up(self.state, machine.Machine(self.arch, with_peers, list(disks),
                                               append=list(append)), timeout)

    def down(self):
        self.disconnect()
        machine.down(self.state)
        self.log = machine.EventLog(self.state)

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
        out, err, status = self.run(list(command), timeout)
        if check and status != 0:
            raise BoardError(f"{command} exited {status}: {err.decode('utf-8', 'replace')}")
        return out.decode("utf-8", "replace")

    def run(self, argv, timeout=120):
        """GuestAgent.run on the board's kept session, opened when first
        needed. A session that fails is closed, as what is left unread on
        it would answer the next request. One that is gone (qemu ended or
        booted again) fails as the command is sent, before anything ran:
        then the command is sent once more on a new session. Any later
        failure is raised, as the command may have run."""
        for last in (False, True):
            if self.session is None:
                self.session = agent.GuestAgent(self.state)
            try:
                return self.session.run(argv, timeout)
            except BaseException as error:
                self.disconnect()
                if last or not isinstance(error, agent.NotStarted):
                    raise

    def disconnect(self):
        """Closes exec's session: the guest agent takes one client at a
        time, so another session waits for this one to go."""
        if self.session is not None:
            self.session.close()
            self.session = None

    def agent(self):
        """A session of its own with the guest agent; close it when done,
        before the next exec. exec's session is closed first."""
        self.disconnect()
        return agent.GuestAgent(self.state)

    def events(self):
        return list(self.log.read())

    def trees(self):
        return [e for e in self.log.read() if e.get("event") == "tree"]

    def tree(self):
        last = next((e for e in reversed(self.log.read()) if e.get("event") == "tree"), None)
        return Tree(last or {"nodes": []})

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
        """Waits until udev has handled every event, systemd has run every
        job and orva-automount's service has no device at work."""
        out, err, status = self.run(["sh", "-c", SETTLE], timeout=300)
        if status == 2:
            raise Timeout(f"udev still has events after 120 s: {err.decode('utf-8', 'replace')}")
        if status == 3:
            raise Timeout(f"systemd still has jobs after 120 s:\n{out.decode('utf-8', 'replace')}")
        if status == 4:
            raise Timeout("orva-automount still has devices at work after 120 s: "
                          f"{out.decode('utf-8', 'replace')}")
        if status != 0:
            raise BoardError(f"settle exited {status}: {err.decode('utf-8', 'replace')}")

    def mount(self, entry):
        """"TYPE OPTIONS" of the file system behind an entry."""
        return self.exec("findmnt", "-rn", "-o", "FSTYPE,OPTIONS", f"{WATCH_DIR}/{entry}").strip()

    def journal(self, unit):
        """A unit's journal of this boot, its messages alone."""
        return self.exec("journalctl", "-b", "-o", "cat", "-u", unit)

    def leftovers(self):
        """What a stick that has gone may leave in the guest: mounts under
        the watched directory or orva-automount's runtime directory, entries
        and label files in it, staging directories and records of adds of
        orva-automount's, failed units."""
        out = self.exec("sh", "-c",
                        'findmnt -rn -o TARGET | grep -e "^$1" -e "^/run/orva-automount/" ;'
                        'ls -A "$1" | grep -vx .orva-automount ;'
                        'ls -A "$1/.orva-automount/mnt" ;'
                        'ls /run/orva-automount | grep "[.]steps$" ;'
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
