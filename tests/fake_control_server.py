"""A scriptable control server for QueltHybridClient tests.

A hybrid call holds the interpreter lock until the reply has arrived, so the
server cannot be a thread of the test process: it is a forked child that
listens on a Unix socket and serves one connection at a time. Every request
frame it reads (52 bytes: the 12-byte header and the 40-byte HybridRequest)
is reported back with the input tensor block it named. How it answers is
scripted per request with the actions below, queued with `then()` before the
call; with nothing queued it echoes the input tensor back as the output
tensor through the region, as a real server would.
"""

from __future__ import annotations

import os
import signal
import socket
import struct
import threading
from collections import deque
from dataclasses import dataclass
from multiprocessing import Pipe

from quiet_fork import fork_after_collecting

FRAME = 52
RESPONSE = struct.Struct("<QB7xQQQ")  # request_id, status, reserved, extra, shm_offset, shm_size


@dataclass
class Request:
    raw: bytes
    model_id: int
    kind: int
    length: int
    request_id: int
    reserved: int
    flags: bytes
    timestamp_ns: int
    tensor_offset: int
    tensor_size: int

    @classmethod
    def parse(cls, raw: bytes) -> "Request":
        model_id, kind, length, request_id, reserved, flags, ts, offset, size = struct.unpack("<IIIQI4sQQQ", raw)
        return cls(raw, model_id, kind, length, request_id, reserved, flags, ts, offset, size)


def hybrid_response(request_id: int, shm_offset: int, shm_size: int, status: int = 0) -> bytes:
    return RESPONSE.pack(request_id, status, 0, shm_offset, shm_size)


def reply_frame(code: int, body: bytes) -> bytes:
    return struct.pack("<II", code, len(body)) + body


# Scripted actions (plain tuples, so that they cross to the server process).


def reply(code: int, body: bytes = b""):
    """Answers with an arbitrary reply code and body."""
    return ("reply", code, body)


def close_connection():
    """Reads the request, then closes the connection without answering."""
    return ("close",)


def answer(data: bytes, *, request_id: int | None = None, shm_size: int | None = None,
           trailing: bytes = b"", offset: int | None = None):
    """Places `data` as the output tensor (or names `offset`) and answers with it."""
    return ("answer", data, request_id, shm_size, trailing, offset)


class FakeControlServer:
    def __init__(self, path: str, region=None):
        self.path = path
        self.region = region
        self._requests: list[Request] = []
        self._inputs: list = []
        self._connections = 0
        self._pid: int | None = None
        self._script_out = self._events_in = self._acks_in = None

    # Parent side --------------------------------------------------------

    def then(self, *actions) -> "FakeControlServer":
        for action in actions:
            self._script_out.send(action)
            self._acks_in.recv()  # queued in the server before the next call
        return self

    def _drain(self) -> None:
        while self._events_in.poll():
            try:
                event = self._events_in.recv()
            except (EOFError, OSError):  # the server process is gone
                return
            if event[0] == "connection":
                self._connections += 1
            else:
                self._requests.append(Request.parse(event[1]))
                self._inputs.append(event[2])

    @property
    def requests(self) -> list[Request]:
        self._drain()
        return self._requests

    @property
    def inputs(self) -> list:
        """The input tensor blocks, read while each request was in flight
        (None for a block with more than 1 KiB of data)."""
        self._drain()
        return self._inputs

    @property
    def connections(self) -> int:
        self._drain()
        return self._connections

    def start(self) -> "FakeControlServer":
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(self.path)
        listener.listen(8)
        script_in, self._script_out = Pipe(duplex=False)
        self._events_in, events_out = Pipe(duplex=False)
        self._acks_in, acks_out = Pipe(duplex=False)
        pid = fork_after_collecting()
        if pid == 0:  # the server process: never returns into the test
            try:
                self._script_out.close()
                _Serve(listener, self.region, script_in, events_out, acks_out).forever()
            finally:
                os._exit(0)
        listener.close()
        script_in.close()
        events_out.close()
        acks_out.close()
        self._pid = pid
        return self

    def close(self) -> None:
        if self._pid is not None:
            os.kill(self._pid, signal.SIGKILL)
            os.waitpid(self._pid, 0)
            self._pid = None
            self._drain()
            for pipe in (self._script_out, self._events_in, self._acks_in):
                pipe.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


class _Serve:
    """Runs in the server process."""

    def __init__(self, listener, region, script_in, events_out, acks_out):
        self.listener, self.region = listener, region
        self.script_in, self.events_out, self.acks_out = script_in, events_out, acks_out
        self.script: deque = deque()
        threading.Thread(target=self.receive_script, daemon=True).start()
        self.next_output = region.server_area if region is not None else 0

    def receive_script(self) -> None:
        while True:
            try:
                action = self.script_in.recv()
            except (EOFError, OSError):  # the test process is gone: so is its server
                os._exit(0)
            self.script.append(action)
            self.acks_out.send(True)

    def forever(self) -> None:
        while True:
            conn, _ = self.listener.accept()
            self.events_out.send(("connection",))
            with conn:
                self.serve(conn)

    def serve(self, conn) -> None:
        while (raw := self.read_exact(conn, FRAME)) is not None:
            request = Request.parse(raw)
            block = None
            if self.region is not None:
                try:
                    block = self.region.read_tensor_block(request.tensor_offset)
                except Exception:  # a request may name any offset
                    block = None
            # The test process reads events only between calls, so an event
            # must fit the pipe's buffer: large input data is left out.
            reported = block if block is None or len(block.data) <= 1024 else None
            self.events_out.send(("request", raw, reported))
            action = self.script.popleft() if self.script else ("echo",)
            if action[0] == "close":
                return
            try:
                conn.sendall(self.reply_for(action, request, block))
            except OSError:
                return

    def reply_for(self, action, request: Request, block) -> bytes:
        if action[0] == "reply":
            return reply_frame(action[1], action[2])
        if action[0] == "echo":
            action = ("answer", block.data, None, None, b"", None)
        _, data, request_id, shm_size, trailing, offset = action
        at = self.put_output(data) if offset is None else offset
        body = hybrid_response(request.request_id if request_id is None else request_id, at,
                               80 + len(data) if shm_size is None else shm_size)
        return reply_frame(0, body + trailing)

    def put_output(self, data: bytes) -> int:
        """Writes an output block in the region's server area, wrapping round."""
        size = 80 + len(data)
        if self.next_output + size > self.region.size:
            self.next_output = self.region.server_area
        at = self.next_output
        self.next_output = (at + size + 7) // 8 * 8
        struct.pack_into("<IB3x8QQ", self.region.buf, at, 1, 0, len(data), *[0] * 7, len(data))
        self.region.buf[at + 80: at + size] = data
        return at

    @staticmethod
    def read_exact(conn, n: int) -> bytes | None:
        data = bytearray()
        while len(data) < n:
            chunk = conn.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return bytes(data)
