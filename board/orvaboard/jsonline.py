# SPDX-License-Identifier: MIT
"""A Unix socket that speaks one JSON object a line, as QMP and the guest
agent do."""

import json
import socket

from . import BoardError


class JsonChannel:
    """A connection to one of qemu's sockets, which each take one client at
    a time: close it when done, or use it in a with block."""

    def __init__(self, path, timeout):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.timeout = timeout
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, obj):
        self.sock.sendall(json.dumps(obj).encode() + b"\n")

    def receive(self):
        """The next object; a timeout of the socket's leaves what has come
        of a line in the buffer for the next call."""
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise BoardError("the connection to qemu closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        # The guest agent may put 0xff before a reply to resynchronise.
        line = line.lstrip(b"\xff").strip()
        if not line:
            return self.receive()
        return json.loads(line)

    @staticmethod
    def answer(command, reply):
        """A reply's return value, or its error as a BoardError."""
        if "error" in reply:
            raise BoardError(f"{command}: {reply['error'].get('desc', reply['error'])}")
        return reply.get("return")
