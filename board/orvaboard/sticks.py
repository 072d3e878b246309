# SPDX-License-Identifier: MIT
"""Stick images made by the real mkfs tools: with or without a partition
table, a file system of each type the board's tests and benchmark use, and
a FAT label in a DOS code page."""

import os
import shutil
import subprocess
import tempfile

SECTOR = 512

MKFS = {
    # (command, label option, how the file system is put at a byte offset)
    "vfat": lambda label, offset: ["mkfs.vfat", "-n", label, f"--offset={offset // SECTOR}"],
    "exfat": lambda label, offset: ["mkfs.exfat", "-L", label],
    "ext4": lambda label, offset: ["mkfs.ext4", "-q", "-F", "-L", label,
                                   "-E", f"offset={offset}"],
    "ntfs": lambda label, offset: ["mkntfs", "-q", "-F", "-Q", "-L", label],
    "btrfs": lambda label, offset: ["mkfs.btrfs", "-q", "-f", "-L", label],
}


def make_stick(path, partitions, size_mib=64, table=True, files=None, ro_compat=None):
    """A stick image: partitions is a list of (type, label) or (None, None)
    for space without a file system; with table False the one file system
    fills the whole disk, without a partition table, as many sticks come.
    files ({name: text}) go into each ext4 file system, and ro_compat, when
    given, replaces its read-only compatible feature flags (such as flags a
    kernel does not know, which it then mounts read-only)."""
    with open(path, "wb") as f:
        f.truncate(size_mib << 20)
    if not table:
        (fs, label), = partitions
        if fs:
            mkfs(path, fs, label, 0, size_mib << 20, files, ro_compat)
        return path
    count = len(partitions)
    part_sectors = ((size_mib << 20) // SECTOR - 2048) // count // 2048 * 2048
    script = "label: dos\n" + "".join(
        f"start={2048 + i * part_sectors}, size={part_sectors}, type=83\n" for i in range(count))
    subprocess.run(["sfdisk", "-q", path], input=script, text=True, check=True,
                   capture_output=True)
    for i, (fs, label) in enumerate(partitions):
        if fs:
            mkfs(path, fs, label, (2048 + i * part_sectors) * SECTOR, part_sectors * SECTOR, files,
                 ro_compat)
    return path


def mkfs(path, fs, label, offset, size, files=None, ro_compat=None):
    """A file system at offset of path (make_stick's files and ro_compat
    for ext4). A vfat label given as bytes is
    written as they are, as a system with a DOS code page writes it
    (mkfs.vfat converts a label from UTF-8 itself)."""
    raw_label = None
    if isinstance(label, bytes):
        raw_label, label = label, "ORVALABEL00"[:len(label)]
    command = MKFS[fs](label, offset)
    with tempfile.TemporaryDirectory(prefix="orva-stick.") as folder:
        if fs == "ext4":
            if files:
                command += ["-d", folder_with(folder, files)]
            command += [path, f"{size // 1024}k"]
        elif fs == "vfat":
            command += [path, str(size // 1024)]
        else:
            if offset:
                raise ValueError(f"{fs} sticks here have no partition table")
            command.append(path)
        subprocess.run(command, check=True, capture_output=True)
    if fs == "ext4" and ro_compat is not None:
        set_ro_compat(path, offset, ro_compat)
    if raw_label is not None:
        replace_label(path, offset, label, raw_label)


def set_ro_compat(path, offset, flags):
    """Writes an ext4 superblock's read-only compatible feature flags as
    they are (debugfs's set_super_value), known to e2fsprogs or not."""
    if offset:
        raise ValueError("debugfs opens a file system at the start of its file")
    subprocess.run(["debugfs", "-w", "-R", f"ssv feature_ro_compat {flags:#x}", path],
                   check=True, capture_output=True)


def folder_with(folder, files):
    """folder, holding files ({name: text})."""
    for name, text in files.items():
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    return folder


def replace_label(path, offset, label, raw_label):
    """A FAT label rewritten byte for byte: it is in the boot sector, its
    backup and the root folder's volume entry, each padded with blanks to
    11 bytes."""
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
    """The tools stick images need that this machine lacks."""
    return [t for t in ("mkfs.vfat", "mkfs.exfat", "mkfs.ext4", "mkntfs", "mkfs.btrfs", "sfdisk",
                        "debugfs", "qemu-img")
            if not shutil.which(t)]
