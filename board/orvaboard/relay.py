# SPDX-License-Identifier: MIT
"""The events relay: runs in the background for as long as the board, takes
orva-host's events from the guest's virtio-serial port (a Unix socket that
qemu connects to) and appends each line to a file with the host's
CLOCK_MONOTONIC at its arrival as host_time.

    python3 -m orvaboard.relay SOCKET OUT
"""

import json
import socket
import sys
import time

MAX_LINE = 1 << 20


def stamped(line, arrived):
    """The event on line with host_time; a line that is no JSON object
    comes as an "unparsed" event holding it."""
    try:
        event = json.loads(line)
        if not isinstance(event, dict):
            raise ValueError
    except ValueError:
        event = {"event": "unparsed", "line": line.decode("utf-8", "replace")}
    event["host_time"] = arrived
    return json.dumps(event, ensure_ascii=False).encode() + b"\n"


def relay(socket_path, out_path):
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(socket_path)
    server.listen(1)
    connection, _ = server.accept()
    server.close()
    pending = b""
    with open(out_path, "ab", buffering=0) as out:
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            arrived = time.monotonic()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            # orva-host writes a line at a time; whatever grows without an
            # end of line is cut rather than held without bound.
            if len(pending) > MAX_LINE:
                lines.append(pending[:MAX_LINE])
                pending = b""
            for line in lines:
                out.write(stamped(line, arrived))


if __name__ == "__main__":
    relay(*sys.argv[1:3])
