# SPDX-License-Identifier: MIT
"""The machine: qemu booted on a copy-on-write overlay of the image, its
state folder (sockets, pid files, console, events), up and down, and
orva-host's events as the relay wrote them."""

import dataclasses
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from . import BOARD, TOP, BoardError
from .agent import answers, guest_run
from .image import build
from .qmp import Qmp
from .waiting import Timeout, wait_until

ARCHES = {
    "amd64": {
        "qemu": "qemu-system-x86_64",
        "machine": ["-M", "q35", "-cpu", "max"],
        "console": "ttyS0",
    },
    "arm64": {
        "qemu": "qemu-system-aarch64",
        # cortex-a72 rather than "max": without pointer authentication TCG
        # runs the guest noticeably faster.
        "machine": ["-M", "virt", "-cpu", "cortex-a72"],
        "console": "ttyAMA0",
    },
}

EVENTS_PORT = "org.orva.events"
AGENT_PORT = "org.qemu.guest_agent.0"
DIST = os.path.join(TOP, "dist")
DIST_PREVIOUS = os.path.join(TOP, "dist-previous")
# The units that bring orva-host up at boot.
BOOT_UNITS = ["orva-board-install.service", "orva-storagelink.service"]
# The SD slot's card (sd-card) and its drive, which holds no medium until a
# card is put in: qemu's SD bus takes no device while the machine runs, so
# the slot is there from power-on and a card is a medium put into it.
# SD_CARD_FILE in the state folder names the ID of the card in it.
SD_SLOT = "sd-slot"
SD_DRIVE = "sd-slot-drive"
SD_CARD_FILE = "sd-card"
STATE_FILES = ["arch", "console.log", "events.jsonl", "events.sock", "qga.sock", "qmp.sock",
               "qemu.pid", "relay.pid", "root.qcow2", SD_CARD_FILE]


@dataclasses.dataclass
class Machine:
    """What up boots. disks are images of USB sticks present from power-on
    (unplugged as boot0, boot1...); packages is the folder of the .deb
    files; append holds kernel command-line arguments."""

    arch: str = "amd64"
    with_peers: bool = False
    disks: list = dataclasses.field(default_factory=list)
    packages: str = DIST
    append: list = dataclasses.field(default_factory=list)
    kvm: bool = False
    memory: int = 1024
    cpus: int = 2


def project_version():
    with open(os.path.join(TOP, "CMakeLists.txt")) as f:
        match = re.search(r"project\([^)]*VERSION\s+([0-9.]+)", f.read())
    return match.group(1)


def offered_packages(folder, arch):
    """The packages an integrator installs on the board: the host stand-in,
    the plug-in, orva-host and orva-automount of this version."""
    version = project_version()
    names = ["liborva-api0", "liborva-cb-storagelink", "orva-host", "orva-automount"]
    found = []
    for name in names:
        candidates = [os.path.join(folder, f"{name}_{version}_{a}.deb") for a in (arch, "all")]
        existing = [c for c in candidates if os.path.exists(c)]
        if not existing:
            raise BoardError(f"no {name} {version} package for {arch} in {folder}: "
                             f"run scripts/package.sh --arch {arch}")
        found.append(existing[0])
    return found


# --- the state folder -------------------------------------------------------


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def read_pid(state, name):
    try:
        with open(os.path.join(state, name)) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def is_up(state):
    pid = read_pid(state, "qemu.pid")
    return bool(pid) and pid_alive(pid)


def require_up(state):
    if not is_up(state):
        raise BoardError(f"no board is up in {state}")


def console_tail(state, lines=40):
    try:
        with open(os.path.join(state, "console.log"), "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    # The console is the guest's: nothing it sends may act on our terminal.
    text = re.sub(r"[\x00-\x08\x0b-\x1f\x7f]", "", text)
    return "\n".join(text.splitlines()[-lines:])


def remove_state(state):
    for name in STATE_FILES:
        try:
            os.remove(os.path.join(state, name))
        except FileNotFoundError:
            pass
    shutil.rmtree(os.path.join(state, "dist"), ignore_errors=True)
    shutil.rmtree(os.path.join(state, "plugged"), ignore_errors=True)


def prepare_state(state, image, packages, arch):
    """A state folder with nothing of an earlier board: the packages to
    share with the guest and a fresh overlay of the image."""
    remove_state(state)
    os.makedirs(os.path.join(state, "dist"))
    for deb in packages:
        shutil.copy(deb, os.path.join(state, "dist"))
    # An earlier version's packages, for the upgrade test to install first
    # (scripts/package-previous.sh); the board installs only those above.
    previous = os.path.join(DIST_PREVIOUS, arch)
    if os.path.isdir(previous):
        shutil.copytree(previous, os.path.join(state, "dist", "previous"))
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw",
                    "-b", os.path.join(image, "rootfs.img"),
                    os.path.join(state, "root.qcow2")], check=True)
    with open(os.path.join(state, "arch"), "w") as f:
        f.write(arch)


# --- qemu -------------------------------------------------------------------


def disk_options(name, image, read_only):
    ro = "on" if read_only else "off"
    return ["-drive", f"if=none,id={name},file={image},format=raw,read-only={ro}",
            "-device", f"usb-storage,bus=xhci.0,id={name},drive={name},removable=on"]


def qemu_command(machine, image, state):
    target = ARCHES[machine.arch]
    append = ["root=/dev/vda", "rootfstype=ext4", "rw", f"console={target['console']}",
              "panic=-1"] + list(machine.append)
    accel = "kvm" if machine.kvm else "tcg"
    command = [target["qemu"], *target["machine"], "-accel", accel,
               "-m", str(machine.memory), "-smp", str(machine.cpus),
               "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
               "-kernel", os.path.join(image, "vmlinuz"),
               "-initrd", os.path.join(image, "initrd.img"),
               "-append", " ".join(append),
               "-chardev", f"file,id=console,path={state}/console.log",
               "-serial", "chardev:console",
               "-drive", f"if=none,id=root,file={state}/root.qcow2,format=qcow2",
               "-device", "virtio-blk-pci,drive=root",
               "-device", "virtio-rng-pci",
               "-device", "qemu-xhci,id=xhci",
               "-device", "virtio-serial-pci,id=ports",
               "-chardev", f"socket,id=events,path={state}/events.sock",
               "-device", f"virtserialport,bus=ports.0,chardev=events,name={EVENTS_PORT}",
               "-chardev", f"socket,id=agent,path={state}/qga.sock,server=on,wait=off",
               "-device", f"virtserialport,bus=ports.0,chardev=agent,name={AGENT_PORT}",
               "-qmp", f"unix:{state}/qmp.sock,server=on,wait=off",
               "-fsdev", f"local,id=dist,path={state}/dist,security_model=none,readonly=on",
               "-device", "virtio-9p-pci,fsdev=dist,mount_tag=orva-dist",
               # Last, so that the PCI devices before it keep their addresses.
               "-device", "sdhci-pci,id=sdhci",
               "-drive", f"if=none,id={SD_DRIVE}",
               "-device", f"sd-card,id={SD_SLOT},drive={SD_DRIVE},bus=sd-bus",
               "-pidfile", f"{state}/qemu.pid", "-daemonize"]
    for number, disk in enumerate(machine.disks):
        command += disk_options(f"boot{number}", os.path.abspath(disk), False)
    return command


def start_relay(state):
    """The events relay, listening before qemu starts, so that qemu connects
    at once and no line from the guest finds the port closed."""
    sock = os.path.join(state, "events.sock")
    # Run from board/, where python3 -m finds this package.
    relay = subprocess.Popen(
        [sys.executable, "-m", "orvaboard.relay", sock, os.path.join(state, "events.jsonl")],
        cwd=BOARD, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)
    with open(os.path.join(state, "relay.pid"), "w") as f:
        f.write(str(relay.pid))

    def listening():
        if relay.poll() is not None:
            raise BoardError("the events relay did not start")
        return os.path.exists(sock)

    wait_until(listening, 30, "the events relay did not start", interval=0.01)


def failed_boot_unit(state):
    """The first of the units that bring orva-host up that has failed, once
    the guest agent answers."""
    try:
        out, _, _ = guest_run(state, ["systemctl", "is-failed", *BOOT_UNITS], timeout=10)
    except (OSError, BoardError):
        return None
    for unit, answer in zip(BOOT_UNITS, out.decode().split()):
        if answer == "failed":
            return unit
    return None


def wait_ready(state, timeout):
    """Returns once orva-host has sent its ready event and the guest agent
    answers; fails at once when qemu ends or a boot unit fails."""
    deadline = time.monotonic() + timeout
    # The guest agent comes up with the boot: asking it before then only
    # costs a connection timeout.
    next_check = time.monotonic() + 5

    def ready():
        nonlocal next_check
        if any(e.get("event") == "ready" for e in read_events(state)):
            return True
        if not is_up(state):
            raise BoardError("qemu ended before orva-host was ready")
        if time.monotonic() > next_check:
            unit = failed_boot_unit(state)
            if unit:
                raise BoardError(f"{unit} failed in the guest")
            next_check = time.monotonic() + 3
        return False

    wait_until(ready, timeout, f"orva-host sent no ready event within {timeout} s", interval=0.2)
    # The guest agent starts with the same boot; make sure it answers.
    wait_until(lambda: answers(state), deadline - time.monotonic(),
               "the guest agent does not answer", interval=0.5)


# --- up and down ------------------------------------------------------------


def up(state, machine, timeout=600):
    """Boots the machine in the background with its files in state; returns
    once orva-host is ready."""
    state = os.path.abspath(state)
    os.makedirs(state, exist_ok=True)
    if is_up(state):
        raise BoardError(f"a board is already up in {state}")
    for disk in machine.disks:
        if not os.path.isfile(disk):
            raise BoardError(f"no such disk image: {disk}")
    image = build(machine.arch, machine.with_peers)
    packages = offered_packages(os.path.abspath(machine.packages), machine.arch)
    prepare_state(state, image, packages, machine.arch)
    start_relay(state)
    result = subprocess.run(qemu_command(machine, image, state),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        stop(state)
        raise BoardError(f"qemu did not start: {result.stderr.strip()}")
    try:
        wait_ready(state, timeout)
    except BoardError as error:
        tail = console_tail(state)
        stop(state)
        raise BoardError(f"{error}; the console's last lines:\n{tail}") from None


def stop(state):
    """Powers qemu off (killed when it does not end) and ends the relay;
    the state folder's files stay."""
    pid = read_pid(state, "qemu.pid")
    if pid and pid_alive(pid):
        try:
            with Qmp(state, timeout=5) as qmp:
                qmp.execute("quit")
        except (OSError, BoardError):
            pass
        try:
            wait_until(lambda: not pid_alive(pid), 10, "qemu to end", interval=0.05)
        except Timeout:
            os.kill(pid, signal.SIGKILL)
    relay_pid = read_pid(state, "relay.pid")
    if relay_pid and pid_alive(relay_pid):
        os.kill(relay_pid, signal.SIGTERM)


def down(state):
    """Powers off and removes what up made, the state folder too when it
    holds nothing else."""
    state = os.path.abspath(state)
    stop(state)
    remove_state(state)
    try:
        os.rmdir(state)
    except OSError:
        pass


# --- orva-host's events -----------------------------------------------------


def event_blocks(state, follow=False):
    """STATE/events.jsonl as it grows, in blocks of whole lines (bytes);
    with follow, until the relay ends."""
    path = os.path.join(state, "events.jsonl")
    if not os.path.exists(path):
        raise BoardError(f"no events in {state}")
    with open(path, "rb") as f:
        pending = b""
        while True:
            chunk = f.read()
            if chunk:
                pending += chunk
                *lines, pending = pending.split(b"\n")
                if lines:
                    yield b"\n".join(lines) + b"\n"
                continue
            pid = read_pid(state, "relay.pid")
            if not follow or not pid or not pid_alive(pid):
                return
            time.sleep(0.05)


class EventLog:
    """orva-host's events in STATE/events.jsonl, read as the relay appends
    them: each read parses only the lines added since the one before, where
    parsing the whole file at every poll would cost more the longer a board
    runs."""

    def __init__(self, state):
        self.path = os.path.join(state, "events.jsonl")
        self.events = []
        # Where the last whole line read so far ends.
        self.offset = 0

    def read(self):
        """Every event so far, each with host_time, in the order they came;
        a line the relay is still writing waits for its end of line. The
        list is the log's own, and the next read adds to it."""
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                chunk = f.read()
        except FileNotFoundError:
            return self.events
        whole = chunk[:chunk.rfind(b"\n") + 1]
        self.events += [json.loads(line) for line in whole.splitlines()]
        self.offset += len(whole)
        return self.events


def read_events(state):
    """orva-host's events so far, each with host_time."""
    return EventLog(state).read()
