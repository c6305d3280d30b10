"""Round trip of a 1 KiB QueltHybridClient.infer against a control server that
answers at once, next to a plain Unix-socket ping-pong with the same frame
sizes (52-byte request, 48-byte reply) against the same server, in one run.

    PYTHONPATH=build/<dir> python bench/hybrid_control_latency.py [--iterations N]

The server is a forked child (one per connection) that reads each 52-byte frame and writes one
prepared 48-byte reply naming a 1 KiB output block already in the region, so
both measurements pay the same server cost and differ only on the client side.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import secrets
import socket
import statistics
import struct
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from quelt_sdk import QueltHybridClient  # noqa: E402
from shm_region_fixture import Region  # noqa: E402

REQUEST = 52
REPLY = 48


def recv_exact(conn: socket.socket, view: memoryview) -> bool:
    got = 0
    while got < len(view):
        n = conn.recv_into(view[got:])
        if n == 0:
            return False
        got += n
    return True


def serve_forever(listener: socket.socket, reply: bytes) -> None:
    frame = memoryview(bytearray(REQUEST))
    while True:
        conn, _ = listener.accept()
        if os.fork() == 0:  # one process per connection, as both stay open
            listener.close()
            while recv_exact(conn, frame):
                conn.sendall(reply)
            os._exit(0)
        conn.close()


def measure(call, iterations: int) -> list[int]:
    samples = []
    clock = time.perf_counter_ns
    for _ in range(iterations):
        start = clock()
        call()
        samples.append(clock() - start)
    return samples


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--iterations", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    region = Region(pool_size=300000)
    path = os.path.join(tempfile.gettempdir(), f"qh-bench-{os.getpid()}-{secrets.token_hex(4)}.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(4)
    output = region.put_tensor(bytes(1024))
    reply = struct.pack("<II", 0, 40) + struct.pack("<QB7xQQQ", 0, 0, 0, output, 80 + 1024)
    child = os.fork()
    if child == 0:
        try:
            serve_forever(listener, reply)
        finally:
            os._exit(0)
    listener.close()
    try:
        client = QueltHybridClient(region.name, path)
        data = bytes(1024)
        assert client.infer([1024], "u8", data) == bytes(1024)

        raw = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        raw.connect(path)
        request = bytes(REQUEST)
        answer = memoryview(bytearray(REPLY))

        def ping_pong():
            raw.sendall(request)
            recv_exact(raw, answer)

        def hybrid():
            client.infer([1024], "u8", data)

        hybrid_samples, raw_samples = [], []
        measure(hybrid, 2000)
        measure(ping_pong, 2000)
        # Interleaved rounds, so that drift of the machine hits both alike.
        for _ in range(args.rounds):
            hybrid_samples += measure(hybrid, args.iterations // args.rounds)
            raw_samples += measure(ping_pong, args.iterations // args.rounds)
        raw.close()
        del client
    finally:
        # The connection handlers leave once their sockets close.
        os.kill(child, 9)
        os.waitpid(child, 0)
        os.unlink(path)
        region.close()

    hybrid_median = statistics.median(hybrid_samples) / 1000
    raw_median = statistics.median(raw_samples) / 1000
    print(f"hybrid infer 1 KiB      median {hybrid_median:8.2f} us  ({len(hybrid_samples)} calls)")
    print(f"unix ping-pong 52/48 B  median {raw_median:8.2f} us  ({len(raw_samples)} calls)")
    print(f"ratio                   {hybrid_median / raw_median:8.2f}")


if __name__ == "__main__":
    main()
