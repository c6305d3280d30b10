"""A small scriptable server of the stream protocol for tests.

The client holds the interpreter lock for the whole of every call, so the
server cannot be a thread of the test process: it runs in a forked child.
Every accepted connection runs the handler in a thread of its own. The
handler gets a Peer that reads request frames, replays any bytes, and can
close or reset the connection at any point. The child reports each accepted
connection and every byte it reads back to the test process before it
answers, so a test sees them as soon as the client's call returns. The
record encoding here is written independently of the library's, so tests
check one against the other.
"""

import multiprocessing
import os
import signal
import socket
import struct
import threading
import time
import uuid

from quiet_fork import fork_after_collecting


def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def string(text):
    raw = text.encode() if isinstance(text, str) else bytes(text)
    return u64(len(raw)) + raw


def packet(shape, dtype, data=None, data_base64=None):
    """A BinaryTensorPacketPayload record."""
    body = u64(len(shape)) + b"".join(struct.pack("<q", d) for d in shape) + string(dtype)
    body += b"\x00" if data is None else b"\x01" + u64(len(data)) + bytes(data)
    body += b"\x00" if data_base64 is None else b"\x01" + string(data_base64)
    return body


def reply(code, body=b""):
    return u32(code) + u32(len(body)) + bytes(body)


def tensor_reply(shape, dtype, data=None, data_base64=None, code=0):
    return reply(code, packet(shape, dtype, data, data_base64))


def request_payload(shape, dtype, data, additional=(), session_id=None, token=None):
    """The InferenceRequest the client is expected to write."""
    payload = packet(shape, dtype, data)
    payload += u64(len(additional)) + b"".join(string(name) + packet(*tensor) for name, tensor in additional)
    payload += b"\x00" if session_id is None else b"\x01" + string(session_id)
    if token is None:
        payload += b"\x00"
    else:
        payload += b"\x01" + b"\x00" * 5 + b"\x01" + string(token) + b"\x00" * 7
    return payload


class Peer:
    """The server's side of one accepted connection (lives in the child)."""

    def __init__(self, sock, index, report):
        self.sock = sock
        self.index = index
        self._report = report

    def read_exact(self, count):
        data = bytearray()
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        if data:
            self._report(("read", self.index, bytes(data)))
        return bytes(data) if len(data) == count else None

    def read_frame(self):
        """(model_id, message_kind, payload) of the next request, or None at its end."""
        header = self.read_exact(12)
        if header is None:
            return None
        model_id, kind, length = struct.unpack("<III", header)
        payload = self.read_exact(length)
        if payload is None:
            return None
        return model_id, kind, payload

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def reset(self):
        """Close at once; on TCP the client sees a reset."""
        if self.sock.family != socket.AF_UNIX:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def answer_each_request(*frames):
    """Handler: answers every request with `frames` (bytes, joined), until the client closes."""
    data = b"".join(frames)

    def handler(peer):
        while peer.read_frame() is not None:
            peer.send(data)

    return handler


class FakeStreamServer:
    """Listens on TCP 127.0.0.1 (kind "tcp") or on a Unix socket (kind "unix")."""

    def __init__(self, handler, kind="tcp", path=None):
        self.kind = kind
        self._reads = {}
        self._connections = 0
        self._errors = []
        if kind == "tcp":
            listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            listener.bind(("127.0.0.1", 0))
            self.port = listener.getsockname()[1]
            self.endpoint = f"tcp://127.0.0.1:{self.port}"
        else:
            self.path = path or os.path.join("/tmp", f"quelt-fake-{uuid.uuid4().hex[:12]}.sock")
            listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            listener.bind(self.path)
            self.endpoint = f"unix://{self.path}"
        listener.listen(16)
        self._events, child_end = multiprocessing.Pipe(duplex=False)
        self.pid = fork_after_collecting()
        if self.pid == 0:  # child: serve until killed, never return into the tests
            try:
                self._events.close()
                _serve_forever(listener, handler, child_end)
            finally:
                os._exit(0)
        child_end.close()
        listener.close()

    def _drain(self):
        while self._events.poll():
            try:
                event = self._events.recv()
            except EOFError:
                return
            if event[0] == "accept":
                self._connections += 1
            elif event[0] == "read":
                self._reads.setdefault(event[1], bytearray()).extend(event[2])
            else:
                self._errors.append(event[1])

    @property
    def connections(self):
        """Connections accepted so far."""
        self._drain()
        return self._connections

    def wait_connections(self, expected, timeout=5.0):
        """Connections accepted once `expected` have been (or the time is up).
        A client's connect completes before the server accepts, so a test
        that only connected must wait for the accept to be seen."""
        deadline = time.monotonic() + timeout
        while self.connections < expected and time.monotonic() < deadline:
            self._events.poll(0.01)
        if expected == 0:
            time.sleep(0.05)
        return self.connections

    @property
    def errors(self):
        self._drain()
        return self._errors

    def received(self, index=0):
        """Every byte read so far from the index-th accepted connection."""
        self._drain()
        return bytes(self._reads.get(index, b""))

    def stop(self):
        if self.pid:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            self.pid = 0
        self._events.close()
        if self.kind == "unix" and os.path.exists(self.path):
            os.unlink(self.path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _serve_forever(listener, handler, events):
    lock = threading.Lock()

    def report(event):
        with lock:
            events.send(event)

    def serve(peer):
        try:
            handler(peer)
        except OSError:
            pass
        except Exception as error:
            report(("error", repr(error)))

    index = 0
    while True:
        sock, _ = listener.accept()
        report(("accept", index))
        threading.Thread(target=serve, args=(Peer(sock, index, report),), daemon=True).start()
        index += 1


def answer_by_model_id(replies):
    """Handler: answers each request with replies[model_id] (bytes), so one
    server can serve a whole table of cases."""

    def handler(peer):
        while (frame := peer.read_frame()) is not None:
            peer.send(replies[frame[0]])

    return handler


def answer_in_turn(*actions):
    """Handler for the connections in accept order: actions[i] runs on the
    i-th connection (bytes are sent for each request; a callable gets the peer)."""
    counter = iter(range(len(actions)))

    def handler(peer):
        action = actions[next(counter)]
        if callable(action):
            action(peer)
            return
        while peer.read_frame() is not None:
            peer.send(action)

    return handler
