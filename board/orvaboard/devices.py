# SPDX-License-Identifier: MIT
"""Storage on a running board, through QMP: USB sticks plugged and pulled
without unmounting, card readers whose cards are taken out and put in, and
an SD card put into the board's SD slot and taken out.

A device plugged here has a marker, STATE/plugged/ID, that names the block
node of its medium ("" for a reader without a card); one given to up as a
disk at power-on has none. The card in the SD slot has one too, and
STATE/sd-card names its ID. Each call returns the host's CLOCK_MONOTONIC
when qemu confirmed the change."""

import os
import re
import time

from . import BoardError
from .machine import SD_CARD_FILE, SD_SLOT, require_up
from .qmp import Qmp

DEVICE_ID = re.compile(r"^[A-Za-z][A-Za-z0-9_.-]{0,30}$")


def marker(state, device_id):
    return os.path.join(state, "plugged", device_id)


def mark(state, device_id, node):
    os.makedirs(os.path.join(state, "plugged"), exist_ok=True)
    with open(marker(state, device_id), "w") as f:
        f.write(node)


def plugged(state):
    """The ids of the devices plugged here that are still in, sorted."""
    try:
        return sorted(os.listdir(os.path.join(state, "plugged")))
    except FileNotFoundError:
        return []


def plugged_medium(state, device_id):
    """The block node of the device's medium, or "" when it has none."""
    try:
        with open(marker(state, device_id)) as f:
            return f.read()
    except FileNotFoundError:
        raise BoardError(f"{device_id} was not plugged with plug") from None


def image_path(image):
    path = os.path.abspath(image)
    if not os.path.isfile(path):
        raise BoardError(f"no such image: {image}")
    return path


def add_medium(qmp, node, image, read_only):
    qmp.execute("blockdev-add", driver="raw", **{"node-name": node, "read-only": read_only},
                file={"driver": "file", "filename": image, "read-only": read_only})


def attach(qmp, device_id, reader):
    """Adds the USB device of a medium added as the block node device_id."""
    if reader:
        # A card reader: the USB device and its SCSI disk apart, so that
        # the card can be taken out and put in while the reader stays.
        qmp.execute("device_add", driver="usb-bot", id=device_id, bus="xhci.0")
        qmp.execute("device_add", driver="scsi-hd", id=device_id + "-card", drive=device_id,
                    bus=device_id + ".0", removable=True)
        # A usb-bot added while the machine runs waits for its disks
        # before it shows itself to the guest.
        qmp.execute("qom-set", path=f"/machine/peripheral/{device_id}",
                    property="attached", value=True)
    else:
        qmp.execute("device_add", driver="usb-storage", id=device_id, drive=device_id,
                    bus="xhci.0", removable=True)


def sd_card(state):
    """The ID of the card in the SD slot, or None when the slot is empty."""
    try:
        with open(os.path.join(state, SD_CARD_FILE)) as f:
            return f.read()
    except FileNotFoundError:
        return None


def not_sd_card(state, device_id):
    """eject and insert are the card reader's: the SD slot's card is put in
    with plug and taken out with unplug."""
    if sd_card(state) == device_id:
        raise BoardError(f"{device_id} is an SD card: unplug takes it out")


def plug(state, device_id, image, read_only=False, reader=False, sd=False):
    """Hot-plugs image as a USB stick, with reader as the card of a card
    reader, or with sd as a card put into the board's SD slot."""
    state = os.path.abspath(state)
    require_up(state)
    if not DEVICE_ID.match(device_id):
        raise BoardError("--id wants letters, digits and _.- starting with a letter: "
                         f"{device_id!r}")
    if sd and reader:
        raise BoardError("an image is either a reader's card or an SD card: not --reader "
                         "and --sd together")
    if sd and read_only:
        # qemu's sd-card takes no read-only medium and has no write-protect
        # switch to show the guest.
        raise BoardError("an SD card cannot be read-only here: qemu's sd-card takes "
                         "writable images only")
    # The board has one SD slot.
    holder = sd_card(state) if sd else None
    if holder is not None:
        raise BoardError(f"the SD slot holds {holder} already: unplug it first")
    image = image_path(image)
    with Qmp(state) as qmp:
        add_medium(qmp, device_id, image, read_only)
        try:
            if sd:
                # sd-card has no tray: qemu tells the SD controller at once,
                # which raises its card-detect interrupt in the guest.
                qmp.execute("blockdev-insert-medium", id=SD_SLOT, **{"node-name": device_id})
            else:
                attach(qmp, device_id, reader)
        except BoardError:
            qmp.execute("blockdev-del", **{"node-name": device_id})
            raise
        confirmed = time.monotonic()
    mark(state, device_id, device_id)
    if sd:
        with open(os.path.join(state, SD_CARD_FILE), "w") as f:
            f.write(device_id)
    return confirmed


def eject(state, device_id):
    """Takes the card out of a reader, as a user pulls it: whatever the
    guest holds on it."""
    state = os.path.abspath(state)
    require_up(state)
    not_sd_card(state, device_id)
    node = plugged_medium(state, device_id)
    if not node:
        raise BoardError(f"{device_id} holds no card")
    card = device_id + "-card"
    with Qmp(state) as qmp:
        qmp.execute("blockdev-open-tray", id=card, force=True)
        qmp.execute("blockdev-remove-medium", id=card)
        confirmed = time.monotonic()
        qmp.execute("blockdev-close-tray", id=card)
        qmp.execute("blockdev-del", **{"node-name": node})
    mark(state, device_id, "")
    return confirmed


def insert(state, device_id, image, read_only=False):
    """Puts image as a card into a reader whose card has been taken out."""
    state = os.path.abspath(state)
    require_up(state)
    not_sd_card(state, device_id)
    if plugged_medium(state, device_id):
        raise BoardError(f"{device_id} holds a card already")
    image = image_path(image)
    card = device_id + "-card"
    node = f"{device_id}-m{int(time.monotonic() * 1000)}"
    with Qmp(state) as qmp:
        add_medium(qmp, node, image, read_only)
        qmp.execute("blockdev-open-tray", id=card, force=True)
        qmp.execute("blockdev-insert-medium", id=card, **{"node-name": node})
        qmp.execute("blockdev-close-tray", id=card)
        confirmed = time.monotonic()
    mark(state, device_id, node)
    return confirmed


def unplug(state, device_id):
    """Pulls a device, plugged here or present at power-on, without
    unmounting; the SD slot's card is taken out and the slot stays."""
    state = os.path.abspath(state)
    require_up(state)
    if sd_card(state) == device_id:
        return take_out_of_sd_slot(state, device_id)
    with Qmp(state) as qmp:
        qmp.execute("device_del", id=device_id)
        confirmed = time.monotonic()
        qmp.wait_event("DEVICE_DELETED", 30, device=device_id)
        # A stick plugged with plug has a block node of its own to release;
        # one given to up with --disk goes with its device.
        if os.path.exists(marker(state, device_id)):
            node = plugged_medium(state, device_id)
            if node:
                qmp.execute("blockdev-del", **{"node-name": node})
            os.remove(marker(state, device_id))
    return confirmed


def take_out_of_sd_slot(state, device_id):
    """Takes the card out of the SD slot as a user pulls it, whatever the
    guest holds on it: the guest's card-detect interrupt says it is gone,
    and its mmcblk device goes."""
    with Qmp(state) as qmp:
        # No tray to open first: removing the medium is the card coming out.
        qmp.execute("blockdev-remove-medium", id=SD_SLOT)
        confirmed = time.monotonic()
        qmp.execute("blockdev-del", **{"node-name": plugged_medium(state, device_id)})
    os.remove(marker(state, device_id))
    os.remove(os.path.join(state, SD_CARD_FILE))
    return confirmed
