# SPDX-License-Identifier: MIT
"""What the board's tests and benchmark share: the board driven through
orva-board's commands, sticks made with the real mkfs tools, and the storage
link worker's tree read out of orva-host's events."""

import json
import os
import shutil
import subprocess
import time

from orvaboard.agent import GuestAgent

HERE = os.path.dirname(os.path.realpath(__file__))
ORVA_BOARD = os.path.join(HERE, "orva-board")
WORKER = "/CMStorageLinkWorker"
SECTOR = 512


class Board:
    """A board that is up in its own state folder."""

    def __init__(self, state, arch="amd64"):
        self.state = state
        self.arch = arch

    def run(self, *args, check=True, timeout=900):
        return subprocess.run([ORVA_BOARD, *args], check=check, timeout=timeout,
                              capture_output=True, text=True)

    def up(self, disks=(), append=(), timeout=600):
        args = ["up", "--arch", self.arch, "--state", self.state]
        for disk in disks:
            args += ["--disk", disk]
        for arg in append:
            args += ["--append", arg]
        result = self.run(*args, check=False, timeout=timeout + 120)
        if result.returncode != 0:
            raise RuntimeError(f"orva-board up failed:\n{result.stderr}")

    def down(self):
        self.run("down", "--state", self.state, check=False)

    def plug(self, name, image, read_only=False, reader=False):
        args = ["plug", "--state", self.state, "--id", name, "--image", image]
        if read_only:
            args.append("--read-only")
        if reader:
            args.append("--reader")
        return float(self.run(*args).stdout)

    def eject(self, name):
        return float(self.run("eject", "--state", self.state, "--id", name).stdout)

    def insert(self, name, image):
        return float(self.run("insert", "--state", self.state, "--id", name,
                              "--image", image).stdout)

    def unplug(self, name):
        return float(self.run("unplug", "--state", self.state, "--id", name).stdout)

    def exec(self, *command, check=True):
        """The command's standard output; its status checked unless told."""
        result = self.run("exec", "--state", self.state, "--", *command, check=False)
        if check and result.returncode != 0:
            raise RuntimeError(f"{command} exited {result.returncode}: {result.stderr}")
        return result.stdout

    def agent(self):
        """A connection to the guest agent; close it when done."""
        return GuestAgent(self.state)

    def events(self):
        with open(os.path.join(self.state, "events.jsonl"), "rb") as f:
            return [json.loads(line) for line in f if line.endswith(b"\n")]

    def trees(self):
        return [e for e in self.events() if e.get("event") == "tree"]

    def tree(self):
        trees = self.trees()
        return Tree(trees[-1] if trees else {"nodes": []})

    def wait(self, predicate, timeout=120, what="the tree"):
        """The first tree for which predicate holds, waiting for it."""
        deadline = time.monotonic() + timeout
        while True:
            tree = self.tree()
            if predicate(tree):
                return tree
            if time.monotonic() > deadline:
                raise AssertionError(f"waited {timeout} s for {what}; the last tree: "
                                     f"{json.dumps(tree.nodes, ensure_ascii=False)}")
            time.sleep(0.25)

    def settle(self):
        """Waits until udev has handled every event and systemd has run
        every job, so that the units the sticks started are done."""
        self.exec("sh", "-c", "udevadm settle --timeout=120 &&"
                  " while systemctl list-jobs --no-legend | grep -q .; do sleep 0.1; done")

    def leftovers(self):
        """What a stick that has gone may leave in the guest: mounts under
        the watched directory, entries and label files in it, staging
        directories of orva-automount's, failed units."""
        out = self.exec("sh", "-c",
                        "findmnt -rn -o TARGET | grep '^/run/orva/storage' ;"
                        "ls -A /run/orva/storage | grep -vx .orva-automount ;"
                        "ls -A /run/orva/storage/.orva-automount/mnt ;"
                        "systemctl list-units --failed --plain --no-legend")
        return [line for line in out.splitlines() if line.strip()]


class Tree:
    def __init__(self, event):
        self.event = event
        self.nodes = event.get("nodes", [])
        self.host_time = event.get("host_time")

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
        each with its row in the list."""
        rows = self.rows()
        return [n for n in self.links().values()
                if n.get("description") == label and n["path"] in rows]

    def notification(self):
        return f"{WORKER}/notification" in self.rows()


# --- sticks -----------------------------------------------------------------

MKFS = {
    # (command, label option, how the file system is put at a byte offset)
    "vfat": lambda label, offset: ["mkfs.vfat", "-n", label, f"--offset={offset // SECTOR}"],
    "exfat": lambda label, offset: ["mkfs.exfat", "-L", label],
    "ext4": lambda label, offset: ["mkfs.ext4", "-q", "-F", "-L", label,
                                   "-E", f"offset={offset}"],
    "ntfs": lambda label, offset: ["mkntfs", "-q", "-F", "-Q", "-L", label],
    "btrfs": lambda label, offset: ["mkfs.btrfs", "-q", "-f", "-L", label],
}


def make_stick(path, partitions, size_mib=64, table=True, files=None):
    """A stick image: partitions is a list of (type, label) or None for
    space without a file system; with table False the one file system fills
    the whole disk, without a partition table, as many sticks come."""
    with open(path, "wb") as f:
        f.truncate(size_mib << 20)
    if not table:
        (fs, label), = partitions
        if fs:
            mkfs(path, fs, label, 0, size_mib << 20, files)
        return path
    count = len(partitions)
    part_sectors = ((size_mib << 20) // SECTOR - 2048) // count // 2048 * 2048
    script = "label: dos\n" + "".join(
        f"start={2048 + i * part_sectors}, size={part_sectors}, type=83\n" for i in range(count))
    subprocess.run(["sfdisk", "-q", path], input=script, text=True, check=True,
                   capture_output=True)
    for i, (fs, label) in enumerate(partitions):
        if fs:
            mkfs(path, fs, label, (2048 + i * part_sectors) * SECTOR, part_sectors * SECTOR, files)
    return path


def mkfs(path, fs, label, offset, size, files=None):
    """files (ext4 only): a folder whose contents the file system gets. A
    vfat label given as bytes is written as they are, as a system with a
    DOS code page writes it (mkfs.vfat converts a label from UTF-8 itself)."""
    raw_label = None
    if isinstance(label, bytes):
        raw_label, label = label, "ORVALABEL00"[:len(label)]
    command = MKFS[fs](label, offset)
    if fs == "ext4":
        if files:
            command += ["-d", files]
        command += [path, f"{size // 1024}k"]
    elif fs == "vfat":
        command += [path, str(size // 1024)]
    else:
        if offset:
            raise ValueError(f"{fs} sticks here have no partition table")
        command.append(path)
    subprocess.run(command, check=True, capture_output=True)
    if raw_label is not None:
        # The label is in the boot sector, its backup and the root
        # folder's volume entry, each padded with blanks to 11 bytes.
        with open(path, "r+b") as f:
            f.seek(offset)
            head = f.read(4 << 20)
            old, new = label.encode().ljust(11), raw_label.ljust(11)
            at = head.find(old)
            while at >= 0:
                f.seek(offset + at)
                f.write(new)
                at = head.find(old, at + 1)


def tools_missing():
    return [t for t in ("mkfs.vfat", "mkfs.exfat", "mkfs.ext4", "mkntfs", "mkfs.btrfs", "sfdisk",
                        "qemu-img")
            if not shutil.which(t)]

