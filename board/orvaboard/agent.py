# SPDX-License-Identifier: MIT
"""The qemu guest agent, on STATE/qga.sock: commands run as root in the
guest."""

import base64
import os

from . import BoardError
from .jsonline import JsonChannel
from .waiting import wait_until


class GuestAgent(JsonChannel):
    """A session with the guest agent; close it when done."""

    def __init__(self, state, timeout=10):
        super().__init__(os.path.join(state, "qga.sock"), timeout)
        # Whatever an earlier client left unread is skipped up to our id.
        token = int.from_bytes(os.urandom(4), "little")
        self.send({"execute": "guest-sync-delimited", "arguments": {"id": token}})
        while self.receive().get("return") != token:
            pass

    def execute(self, command, **arguments):
        self.send({"execute": command, "arguments": arguments})
        return self.answer(command, self.receive())

    def run(self, argv, timeout):
        """(stdout, stderr, exit status) of argv; a signal's status is 128
        plus its number, as a shell says it."""
        pid = self.execute("guest-exec", path=argv[0], arg=argv[1:],
                           **{"capture-output": True})["pid"]

        def exited():
            status = self.execute("guest-exec-status", pid=pid)
            return status if status.get("exited") else None

        status = wait_until(exited, timeout, f"{argv[0]} still running after {timeout} s",
                            interval=0.02)
        out = base64.b64decode(status.get("out-data", ""))
        err = base64.b64decode(status.get("err-data", ""))
        if "signal" in status:
            return out, err, 128 + status["signal"]
        return out, err, status.get("exitcode", 1)


def guest_run(state, argv, timeout=120):
    """GuestAgent.run on a session of its own."""
    with GuestAgent(state) as agent:
        return agent.run(argv, timeout)


def answers(state):
    """Whether the guest agent takes a session now."""
    try:
        GuestAgent(state, timeout=5).close()
        return True
    except (OSError, BoardError):
        return False
