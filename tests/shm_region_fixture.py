"""Regions for the shared-memory tests, laid out the way a server lays them out.

A region is a POSIX shared-memory object: the test creates it with
multiprocessing.shared_memory (whose names carry no leading slash) and
removes it afterwards. The helpers here speak the region's byte layout in
plain Python: header, the two queues (one producer / one consumer side each,
enough for a test that drives a single client) and the tensor/message blocks.
"""

from __future__ import annotations

import mmap
import os
import secrets
import signal
import struct
from dataclasses import dataclass
from multiprocessing import shared_memory

MAGIC = 0x41494D4F
VERSION = 1
CAPACITY = 1021
REQUEST_ENTRY = 40
RESPONSE_ENTRY = 48
REQUEST_QUEUE_BYTES = 1024 * REQUEST_ENTRY
RESPONSE_QUEUE_BYTES = 1024 * RESPONSE_ENTRY

REQUEST_QUEUE_OFFSET = 64
RESPONSE_QUEUE_OFFSET = REQUEST_QUEUE_OFFSET + REQUEST_QUEUE_BYTES
POOL_OFFSET = 131072  # first 64 KiB boundary after both queues

DEFAULT_SLOT_SIZES = (262144, 1048576, 4194304, 16777216, 67108864)
# A pool of one 256 KiB slot: any slot that a call fails to give back makes
# the next call fail with "SHM tensor pool exhausted".
ONE_SLOT_POOL = 300000


def unique_name(prefix: str = "quelt-test") -> str:
    return f"{prefix}-{os.getpid()}-{secrets.token_hex(4)}"


@dataclass
class RequestEntry:
    request_id: int
    reserved: int
    timestamp_ns: int
    tensor_offset: int
    tensor_size: int


@dataclass
class TensorBlock:
    ndim: int
    dtype: int
    reserved: bytes
    shape: tuple
    data: bytes


class RingQueue:
    """One queue of the region: control words at 0, E, 2E; slots from 3E."""

    def __init__(self, buf, offset: int, entry_size: int):
        self.buf, self.offset, self.entry = buf, offset, entry_size

    def _word(self, unit: int) -> int:
        return self.offset + unit * self.entry

    def indices(self) -> tuple[int, int, int]:
        """(write_index, commit_index, read_index)"""
        return tuple(struct.unpack_from("<Q", self.buf, self._word(u))[0] for u in range(3))

    def set_indices(self, write: int, commit: int, read: int) -> None:
        for unit, value in enumerate((write, commit, read)):
            struct.pack_into("<Q", self.buf, self._word(unit), value)

    def slot(self, index: int) -> int:
        return self.offset + (3 + index) * self.entry

    def read_slot(self, index: int) -> bytes:
        return bytes(self.buf[self.slot(index): self.slot(index) + self.entry])

    def push(self, raw: bytes) -> None:
        """Single-producer push (the test is the only producer)."""
        assert len(raw) == self.entry
        write, commit, read = self.indices()
        nxt = (write + 1) % CAPACITY
        assert nxt != read, "queue full"
        self.buf[self.slot(write): self.slot(write) + self.entry] = raw
        struct.pack_into("<Q", self.buf, self._word(0), nxt)
        struct.pack_into("<Q", self.buf, self._word(1), nxt)

    def pop(self) -> bytes | None:
        """Single-consumer pop."""
        _, commit, read = self.indices()
        if read == commit:
            return None
        raw = self.read_slot(read)
        struct.pack_into("<Q", self.buf, self._word(2), (read + 1) % CAPACITY)
        return raw


def request_entry(raw: bytes) -> RequestEntry:
    return RequestEntry(*struct.unpack("<5Q", raw))


def response_entry(request_id: int, status: int = 0, result_offset: int = 0, error_offset: int = 0) -> bytes:
    return struct.pack("<QB7xQQQQ", request_id, status, 0, result_offset, 0, error_offset)


class Region:
    """A region in a shared-memory object created (and later unlinked) by the test."""

    def __init__(self, pool_size: int, server_area: int = 1 << 20, name: str | None = None,
                 magic: int = MAGIC, version: int = VERSION, size: int | None = None):
        self.name = name or unique_name()
        self.pool_offset = POOL_OFFSET
        self.pool_size = pool_size
        self.server_area = (POOL_OFFSET + pool_size + 4095) // 4096 * 4096
        total = size if size is not None else self.server_area + server_area
        self.shm = shared_memory.SharedMemory(name=self.name, create=True, size=total)
        self.buf = self.shm.buf
        self.write_header(magic=magic, version=version)
        self.requests = RingQueue(self.buf, REQUEST_QUEUE_OFFSET, REQUEST_ENTRY)
        self.responses = RingQueue(self.buf, RESPONSE_QUEUE_OFFSET, RESPONSE_ENTRY)
        self._next_server_offset = self.server_area

    def write_header(self, magic=MAGIC, version=VERSION, request_queue=REQUEST_QUEUE_OFFSET,
                     response_queue=RESPONSE_QUEUE_OFFSET, pool_offset=None, pool_size=None):
        struct.pack_into("<IIQQQQ", self.buf, 0, magic, version, request_queue, response_queue,
                         self.pool_offset if pool_offset is None else pool_offset,
                         self.pool_size if pool_size is None else pool_size)

    @property
    def size(self) -> int:
        return self.shm.size

    # Blocks -----------------------------------------------------------------

    def read_tensor_block(self, offset: int) -> TensorBlock:
        ndim, dtype, reserved = struct.unpack_from("<IB3s", self.buf, offset)
        shape = struct.unpack_from("<8Q", self.buf, offset + 8)
        (data_len,) = struct.unpack_from("<Q", self.buf, offset + 72)
        data = bytes(self.buf[offset + 80: offset + 80 + data_len])
        return TensorBlock(ndim, dtype, bytes(reserved), shape, data)

    def _server_alloc(self, length: int) -> int:
        offset = self._next_server_offset
        self._next_server_offset = (offset + length + 7) // 8 * 8
        assert self._next_server_offset <= self.size
        return offset

    def put_tensor(self, data: bytes, shape=(), dtype: int = 0) -> int:
        """Writes an output block in the server area and returns its offset."""
        offset = self._server_alloc(80 + len(data))
        dims = list(shape) + [0] * (8 - len(shape))
        struct.pack_into("<IB3x8QQ", self.buf, offset, len(shape), dtype, *dims, len(data))
        self.buf[offset + 80: offset + 80 + len(data)] = data
        return offset

    def put_message(self, text: bytes) -> int:
        offset = self._server_alloc(8 + len(text))
        struct.pack_into("<Q", self.buf, offset, len(text))
        self.buf[offset + 8: offset + 8 + len(text)] = text
        return offset

    # Answers prepared before the client asks --------------------------------

    def answer(self, request_id: int, data: bytes = b"") -> None:
        self.responses.push(response_entry(request_id, 0, result_offset=self.put_tensor(data)))

    def answer_error(self, request_id: int, text: bytes | None, status: int = 1) -> None:
        offset = 0 if text is None else self.put_message(text)
        self.responses.push(response_entry(request_id, status, error_offset=offset))

    def answering(self, call, data: bytes = b""):
        """Runs `call()` while a signal handler answers the first request it
        posts with `data`; returns what the call returned and that request."""
        seen = []

        def answer_once_posted(signum, frame):
            seen.extend(self.posted_requests())
            if seen:
                self.answer(seen[0].request_id, data)
            else:
                signal.setitimer(signal.ITIMER_REAL, 0.001)

        previous = signal.signal(signal.SIGALRM, answer_once_posted)
        server_area_used = self._next_server_offset
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            result = call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
            self._next_server_offset = server_area_used  # the answer's block is read by now
        return result, seen[0]

    def next_request_id(self, client) -> int:
        """The number that `client`'s next call will use: a client counts its
        requests up from a random start, which one answered call shows."""
        return self.answering(lambda: client.infer([0], "u8", b""))[1].request_id + 1

    def posted_requests(self) -> list[RequestEntry]:
        """Every request entry the client published, consumed as a server would."""
        entries = []
        while (raw := self.requests.pop()) is not None:
            entries.append(request_entry(raw))
        return entries

    def close(self) -> None:
        self.buf = None
        self.requests = self.responses = None
        self.shm.close()
        try:
            self.shm.unlink()
        except FileNotFoundError:
            pass
        remove_lease_companion(self.name)


def lease_table_name(name: str) -> str:
    """The name of region `name`'s slot lease table: "<region>.leases", or for
    a name too long for that, its first 231 bytes, "~", a 64-bit FNV-1a hash
    of the whole name in hex, and ".leases"."""
    raw = name.lstrip("/").encode()
    if len(raw) + 7 <= 255:
        return raw.decode() + ".leases"
    digest = 0xCBF29CE484222325
    for byte in raw:
        digest = ((digest ^ byte) * 0x100000001B3) % (1 << 64)
    return raw[:231].decode() + f"~{digest:016x}.leases"


def remove_lease_companion(name: str) -> None:
    """Clients keep their slot leases in a table beside the region; whoever
    removes a region removes that too."""
    try:
        os.unlink(f"/dev/shm/{lease_table_name(name)}")
    except FileNotFoundError:
        pass


def map_existing(name: str) -> tuple[mmap.mmap, int]:
    """Maps a region created elsewhere without registering it with the
    resource tracker (a subprocess must not unlink the test's region)."""
    fd = os.open(f"/dev/shm/{name.lstrip('/')}", os.O_RDWR)
    try:
        size = os.fstat(fd).st_size
        return mmap.mmap(fd, size), size
    finally:
        os.close(fd)


# A process that leases the one slot of a one-slot region for a call that
# waits for its time-out (no server answers), and again as soon as that call
# ends, or tries again while another process's call holds the slot.
HOLDER = """
import sys, quelt_sdk
client = quelt_sdk.QueltShmClient(sys.argv[1])
print("calling", flush=True)
while True:
    try:
        client.infer([1], "u8", b"x")
    except RuntimeError:
        continue
"""
