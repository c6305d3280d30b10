"""Runs one client against a region whose server lies at random.

    python hostile_shm_driver.py shm|hybrid SEED CASES

Run as a subprocess by test_hardening_hostile_shm.py, so that a crash shows
up as the child's exit status instead of taking pytest down. Every case
plants random offsets and lengths where the client reads them (answer
fields, block and message lengths, queue placement and indices, pool
placement), lets the client make one call, then restores a sane region. The
call must return bytes or raise RuntimeError (ConnectionError from a
constructor); a time-out means the client waited where it should have
refused, and anything else is a fault. Prints one JSON line of outcome
counts.

The shared-memory client holds the interpreter lock while it waits, so its
answers are posted before each call (the request numbers are known, once one
call has shown where the client's count starts). The
hybrid client's control server is a forked child that answers each request
with a random HybridResponse through the same region.
"""

from __future__ import annotations

import collections
import json
import os
import random
import signal
import socket
import struct
import sys
import tempfile

import quelt_sdk
from shm_region_fixture import CAPACITY, POOL_OFFSET, REQUEST_QUEUE_OFFSET, RESPONSE_QUEUE_OFFSET, Region, response_entry

POOL = 262144 * 2
U64 = (1 << 64) - 1


def random_offset(rng: random.Random, size: int) -> int:
    """An offset that is usually near a boundary that matters."""
    return rng.choice([
        rng.randrange(0, size),                     # anywhere inside
        size - rng.randrange(0, 128),               # at the very end
        size + rng.randrange(0, 1 << 20),           # just past it
        U64 - rng.randrange(0, 4096),               # about to wrap
        rng.getrandbits(64),                        # anything at all
        rng.randrange(0, 128),                      # over the header
    ])


def random_length(rng: random.Random, room: int) -> int:
    """A length field: fitting, just too long, or absurd."""
    return rng.choice([
        rng.randrange(0, max(room, 1)),
        room, room + 1,
        U64, U64 - rng.randrange(0, 200),
        rng.getrandbits(64), rng.getrandbits(32),
    ])


def plant_u64(region: Region, offset: int, value: int) -> None:
    # Lengths are planted in the pool and the server's area only: the header
    # and the queues get their own scenarios, because a commit index left
    # short of a producer's slot stalls that producer for good, by design.
    if POOL_OFFSET <= offset and offset + 8 <= region.size:
        struct.pack_into("<Q", region.buf, offset, value)


def plant_answer_target(rng: random.Random, region: Region) -> int:
    """An output block or message offset with a random length at it."""
    offset = random_offset(rng, region.size)
    if rng.random() < 0.7:
        room = max(region.size - offset - 80, 0)
        plant_u64(region, offset + 72, random_length(rng, room))  # a tensor block's data_len
    if rng.random() < 0.7:
        plant_u64(region, offset, random_length(rng, max(region.size - offset - 8, 0)))  # a message's length
    return offset


def reset(region: Region) -> None:
    region.write_header()
    region.requests.set_indices(0, 0, 0)
    region.responses.set_indices(0, 0, 0)


class Outcomes:
    def __init__(self):
        self.counts = collections.Counter()

    def call(self, function, *args):
        try:
            result = function(*args)
        except (RuntimeError, ConnectionError, ValueError, TimeoutError) as error:
            kind = type(error).__name__
            if isinstance(error, TimeoutError):
                kind = "TimeoutError"
            self.counts[kind] += 1
            return None
        assert isinstance(result, bytes)
        self.counts["bytes"] += 1
        return result


def shm_cases(seed: int, cases: int) -> dict:
    rng = random.Random(seed)
    region = Region(pool_size=POOL)
    outcomes = Outcomes()
    try:
        client = quelt_sdk.QueltShmClient(region.name)
        request_id = region.next_request_id(client) - 1
        for _ in range(cases):
            reset(region)
            request_id += 1
            scenario = rng.randrange(5)
            if scenario in (0, 1):  # the answer points anywhere
                status = 0 if scenario == 0 else rng.randrange(1, 256)
                target = plant_answer_target(rng, region)
                region.responses.push(response_entry(request_id, status, result_offset=target,
                                                     error_offset=target if rng.random() < 0.8 else 0))
            elif scenario == 2:  # the header moves a queue somewhere it cannot be
                which = rng.choice(["request_queue", "response_queue"])
                bad = rng.choice([region.size - rng.randrange(0, 40000), U64 - rng.randrange(0, 100),
                                  (REQUEST_QUEUE_OFFSET if which == "request_queue" else RESPONSE_QUEUE_OFFSET) + rng.choice([1, 2, 4, 7])])
                region.write_header(**{which: bad})
            elif scenario == 3:  # indices no producer or consumer could have left
                bad = rng.choice([CAPACITY, CAPACITY + rng.randrange(1, 1000), U64, rng.getrandbits(64) | (1 << 40)])
                if rng.random() < 0.5:
                    region.requests.set_indices(bad, bad, 0)
                else:
                    region.responses.set_indices(*rng.choice([(0, bad, 0), (0, 0, bad), (0, bad, bad - 1)]))
            else:  # a well-formed answer among a few for other requests
                for other in range(rng.randrange(0, 4)):
                    region.responses.push(response_entry(request_id + 1000 + other, 0, result_offset=region.size * 2))
                region.answer(request_id, rng.randbytes(rng.randrange(0, 64)))
            outcomes.call(client.infer, [1], "uint8", b"x")
            if outcomes.counts["TimeoutError"]:
                break  # one is enough to fail the test; do not wait out the rest
        # Pools over random placements, the header and the queues included:
        # the constructor refuses or the client works.
        for _ in range(max(cases // 20, 1)):
            reset(region)
            offset = random_offset(rng, region.size)
            region.write_header(pool_offset=offset, pool_size=random_length(rng, max(region.size - offset, 0)))
            try:
                other = quelt_sdk.QueltShmClient(region.name)
            except ConnectionError:
                outcomes.counts["constructor refused"] += 1
                continue
            reset(region)
            outcomes.call(lambda: region.answering(lambda: other.infer([1], "uint8", b"x"), b"ok")[0])
    finally:
        region.close()
    return dict(outcomes.counts)


def serve_randomly(listener: socket.socket, region: Region, seed: int) -> None:
    """Child: answers every control request with a random HybridResponse."""
    rng = random.Random(seed ^ 0x5EED)
    connection, _ = listener.accept()
    while True:
        frame = b""
        while len(frame) < 52:
            chunk = connection.recv(52 - len(frame))
            if not chunk:
                return
            frame += chunk
        request_id = struct.unpack_from("<Q", frame, 12)[0]
        if rng.random() < 0.1:
            text = rng.randbytes(rng.randrange(0, 40))  # a server error, in any bytes
            connection.sendall(struct.pack("<II", rng.randrange(1, 1 << 32), len(text)) + text)
            continue
        target = plant_answer_target(rng, region)
        body = struct.pack("<QB7xQQQ", rng.choice([request_id, rng.getrandbits(64)]), rng.randrange(256),
                           rng.getrandbits(64), target, rng.getrandbits(64))
        connection.sendall(struct.pack("<II", 0, len(body)) + body)


def hybrid_cases(seed: int, cases: int) -> dict:
    region = Region(pool_size=POOL)
    directory = tempfile.mkdtemp(prefix="quelt-hostile-")
    path = os.path.join(directory, "control.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    child = os.fork()
    if child == 0:
        try:
            serve_randomly(listener, region, seed)
        finally:
            os._exit(0)
    listener.close()
    outcomes = Outcomes()
    try:
        client = quelt_sdk.QueltHybridClient(region.name, path)
        for _ in range(cases):
            outcomes.call(client.infer, [1], "uint8", b"x")
    finally:
        os.kill(child, signal.SIGKILL)
        os.waitpid(child, 0)
        os.unlink(path)
        os.rmdir(directory)
        region.close()
    return dict(outcomes.counts)


def main() -> int:
    kind, seed, cases = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    counts = shm_cases(seed, cases) if kind == "shm" else hybrid_cases(seed, cases)
    print(json.dumps(counts, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
