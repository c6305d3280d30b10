"""A scriptable stand-in for the inference server's shared-memory side.

    python fake_shm_server.py NAME [--seconds N] [--transform echo|reverse]

Maps an existing region (created by the test) and serves its request queue
as the only consumer, answering every request at once on the response queue
as its only producer: the output block (the input data, echoed or reversed)
goes into the server area after the pool. It spins without sleeping so that
the answer is there as soon as possible, and exits after --seconds.
"""

from __future__ import annotations

import argparse
import struct
import sys
import time

from shm_region_fixture import (CAPACITY, RESPONSE_ENTRY, REQUEST_ENTRY, map_existing)


def serve(name: str, seconds: float, transform: str) -> int:
    mapping, size = map_existing(name)
    buf = memoryview(mapping)
    _, _, req, resp, pool, pool_size = struct.unpack_from("<IIQQQQ", buf, 0)
    out_area = (pool + pool_size + 4095) // 4096 * 4096
    commit_word, read_word = req + REQUEST_ENTRY, req + 2 * REQUEST_ENTRY
    resp_write, resp_commit, resp_read = resp, resp + RESPONSE_ENTRY, resp + 2 * RESPONSE_ENTRY
    unpack_q = struct.Struct("<Q").unpack_from
    pack_q = struct.Struct("<Q").pack_into
    served = 0
    deadline = time.monotonic() + seconds
    print("ready", flush=True)
    while True:
        (read,) = unpack_q(buf, read_word)
        (commit,) = unpack_q(buf, commit_word)
        if read == commit:
            if time.monotonic() > deadline:
                break
            continue
        slot = req + (3 + read) * REQUEST_ENTRY
        request_id, _, _, tensor_offset, _ = struct.unpack_from("<5Q", buf, slot)
        pack_q(buf, read_word, (read + 1) % CAPACITY)
        (data_len,) = unpack_q(buf, tensor_offset + 72)
        data = bytes(buf[tensor_offset + 80: tensor_offset + 80 + data_len])
        if transform == "reverse":
            data = data[::-1]
        out = out_area + (served % 2) * (size - out_area) // 2
        struct.pack_into("<IB3x8QQ", buf, out, 1, 0, data_len, 0, 0, 0, 0, 0, 0, 0, data_len)
        buf[out + 80: out + 80 + data_len] = data
        (write,) = unpack_q(buf, resp_write)
        entry = struct.pack("<QB7xQQQQ", request_id, 0, 0, out, 0, 0)
        buf[resp + (3 + write) * RESPONSE_ENTRY: resp + (4 + write) * RESPONSE_ENTRY] = entry
        nxt = (write + 1) % CAPACITY
        pack_q(buf, resp_write, nxt)
        pack_q(buf, resp_commit, nxt)
        served += 1
    buf.release()
    mapping.close()
    return 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("name")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--transform", choices=["echo", "reverse"], default="echo")
    args = parser.parse_args()
    return serve(args.name, args.seconds, args.transform)


if __name__ == "__main__":
    sys.exit(main())
