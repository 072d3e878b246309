# SPDX-License-Identifier: MIT
"""qemu's monitor protocol (QMP), on STATE/qmp.sock."""

import os

from .jsonline import JsonChannel
from .waiting import wait_until

# How long one read for an awaited event may block before the wait looks at
# its deadline again.
EVENT_POLL = 0.1


class Qmp(JsonChannel):
    """A QMP session, past the greeting and the capabilities negotiation.
    Events that arrive while a command waits for its reply are kept for
    wait_event."""

    def __init__(self, state, timeout=30):
        super().__init__(os.path.join(state, "qmp.sock"), timeout)
        self.events = []
        self.receive()  # the greeting
        self.execute("qmp_capabilities")

    def execute(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.send(message)
        while True:
            reply = self.receive()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply or "return" in reply:
                return self.answer(command, reply)

    def wait_event(self, name, timeout, **data):
        """The first event called name whose data holds data, taken from
        those kept or waited for."""
        def take():
            for event in self.events:
                if event["event"] == name and all(
                        event.get("data", {}).get(k) == v for k, v in data.items()):
                    self.events.remove(event)
                    return event
            self.sock.settimeout(EVENT_POLL)
            try:
                self.events.append(self.receive())
            except TimeoutError:
                pass
            return None

        try:
            return wait_until(take, timeout, f"no {name} event from qemu", interval=0)
        finally:
            self.sock.settimeout(self.timeout)
