# SPDX-License-Identifier: MIT
"""The board's base image: a Debian 12 root file system, kernel and
initramfs built by board/image/build-image.sh, cached under a key of its
recipe so that a change of this project's code reuses it."""

import hashlib
import os
import shutil
import subprocess
import time

from . import BOARD, BoardError, say

RECIPE = os.path.join(BOARD, "image")


def cache_root():
    if os.environ.get("ORVA_BOARD_CACHE"):
        return os.environ["ORVA_BOARD_CACHE"]
    base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "orva-board")


def extra_lists(peers):
    """The package lists added to board/image/packages."""
    return ["packages-peers"] if peers else []


def image_key(arch, peers=False):
    """A digest of what goes into the image: the architecture and every file
    of the recipe (package lists, scripts, guest files). This project's code
    is not part of it: its packages are installed at boot."""
    digest = hashlib.sha256(arch.encode())
    unused = {"packages-peers"} - set(extra_lists(peers))
    for folder, dirs, files in sorted(os.walk(RECIPE)):
        dirs.sort()
        for name in sorted(files):
            if folder == RECIPE and name in unused:
                continue
            path = os.path.join(folder, name)
            digest.update(os.path.relpath(path, RECIPE).encode() + b"\0")
            with open(path, "rb") as f:
                digest.update(f.read())
            digest.update(b"\0%o\0" % (os.stat(path).st_mode & 0o777))
    return digest.hexdigest()[:16]


def image_dir(arch, peers=False):
    variant = "-peers" if peers else ""
    return os.path.join(cache_root(), f"{arch}{variant}-{image_key(arch, peers)}")


def build(arch, peers=False):
    """The image's folder, built first when the cache has none for its key."""
    folder = image_dir(arch, peers)
    if os.path.exists(os.path.join(folder, "done")):
        return folder
    if os.geteuid() != 0:
        raise BoardError("building the image needs root (mmdebstrap --mode=root)")
    partial = folder + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    started = time.monotonic()
    say(f"building the {arch} image in {folder}")
    result = subprocess.run([os.path.join(RECIPE, "build-image.sh"), arch, partial,
                             *extra_lists(peers)])
    if result.returncode != 0:
        shutil.rmtree(partial, ignore_errors=True)
        raise BoardError(f"building the {arch} image failed")
    open(os.path.join(partial, "done"), "w").close()
    os.rename(partial, folder)
    say(f"built the {arch} image in {time.monotonic() - started:.0f} s")
    return folder
