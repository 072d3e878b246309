# SPDX-License-Identifier: MIT
"""The qemu guest agent, on STATE/qga.sock: commands run as root in the
guest."""

import base64
import os

from . import BoardError
from .jsonline import JsonChannel
from .waiting import wait_until


class NotStarted(BoardError):
    """A command that never reached the guest agent: its session's
    connection was gone (qemu ended or booted again), so nothing ran and
    the command may be sent again on a new session."""


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
        plus its number, as a shell says it. NotStarted when the request to
        start it could not be sent."""
        request = {"path": argv[0], "arg": argv[1:], "capture-output": True}
        try:
            self.send({"execute": "guest-exec", "arguments": request})
        except OSError as error:
            raise NotStarted(f"{argv[0]} not sent to the guest agent: {error}") from error
        pid = self.answer("guest-exec", self.receive())["pid"]

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
