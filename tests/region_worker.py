"""One of several client processes on one region of the reference server.

    python region_worker.py hybrid|shm SHM_NAME SOCKET_PATH WORKER CALLS [SECONDS [START]]

Makes CALLS identity calls (or stops starting new ones after SECONDS), each
with a payload no other call of any worker sends, and prints one JSON object:
calls made, wrong answers, time-outs and other failures. With START (a time
by time.time()) the first call waits for it, so that workers started one
after another begin together.
"""

from __future__ import annotations

import json
import random
import struct
import sys
import time

import quelt_sdk


def main(kind: str, shm_name: str, socket_path: str, worker: str, calls: str, seconds: str = "inf",
         start: str = "0") -> dict:
    if kind == "hybrid":
        infer = quelt_sdk.QueltHybridClient(shm_name, socket_path).infer
    else:
        infer = quelt_sdk.QueltShmClient(shm_name).infer
    rng = random.Random(int(worker))
    fillers = [rng.randbytes(n) for n in range(0, 300, 7)]
    counts = {"calls": 0, "wrong": 0, "timeouts": 0, "failed": 0, "first_failure": None}
    time.sleep(max(0.0, float(start) - time.time()))
    stop_at = time.monotonic() + float(seconds)
    for sequence in range(int(calls)):
        if time.monotonic() > stop_at:
            break
        data = struct.pack("<IQ", int(worker), sequence) + fillers[sequence % len(fillers)]
        counts["calls"] += 1
        try:
            if infer([len(data)], "u8", data) != data:
                counts["wrong"] += 1
        except TimeoutError:
            counts["timeouts"] += 1
        except Exception as error:  # noqa: BLE001 - reported, not raised: the other workers go on
            counts["failed"] += 1
            counts["first_failure"] = counts["first_failure"] or f"{type(error).__name__}: {error}"
    return counts


if __name__ == "__main__":
    print(json.dumps(main(*sys.argv[1:])))
