#!/usr/bin/env python3
"""Several client processes on one reference server at the same time.

    PYTHONPATH=build/NAME python fuzz/multiprocess_load.py               # 4 socket + 1 region process, 100,000 requests each
    PYTHONPATH=build/NAME python fuzz/multiprocess_load.py --requests 5000 --socket-workers 6

Socket workers alternate between TCP and the Unix socket (QueltClient); the
region worker alternates QueltShmClient and QueltHybridClient calls on the
server's one region. Every request carries its worker number and sequence
number, and the server runs the identity model, so each answer must be
exactly its own request: a lost, duplicated or crossed answer shows up as a
mismatch. Prints one JSON summary (requests, mismatches, failures, seconds,
requests per second per worker kind and overall) and exits non-zero on any
mismatch or failure.

Only one process uses the region: its QueltShmClient shares the region's one
response queue with any other such process, and one may take (and drop) the
other's answer, which then times out.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import struct
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def worker(kind: str, address: str, index: int, requests: int) -> dict:
    import quelt_sdk

    if kind in ("tcp", "unix"):
        client = quelt_sdk.QueltClient(address)

        def infer(data):
            return client.infer(0, [len(data)], "uint8", data)
    else:
        shm_name, socket_path = address.split("|")
        shm = quelt_sdk.QueltShmClient(shm_name)
        hybrid = quelt_sdk.QueltHybridClient(shm_name, socket_path)
        clients = (shm.infer, hybrid.infer)

        def infer(data, turn=[0]):  # noqa: B006 - a counter that lives with the function
            turn[0] ^= 1
            return clients[turn[0]]([len(data)], "uint8", data)

    rng = random.Random(index)
    fillers = [rng.randbytes(n) for n in range(0, 53)]
    wrong = failures = 0
    first_failure = None
    started = time.perf_counter()
    for sequence in range(requests):
        data = struct.pack("<IQ", index, sequence) + fillers[sequence % len(fillers)]
        try:
            if infer(data) != data:
                wrong += 1
        except Exception as error:  # noqa: BLE001 - counted and reported
            failures += 1
            first_failure = first_failure or f"{type(error).__name__}: {error}"
    seconds = time.perf_counter() - started
    return {"kind": kind, "index": index, "requests": requests, "wrong": wrong, "failures": failures,
            "first_failure": first_failure, "seconds": seconds}


def run(arguments: argparse.Namespace) -> dict:
    sys.path.insert(0, str(ROOT / "server"))
    from quelt_refserver import RefServer

    with RefServer(pool_size=arguments.pool_size) as server:
        plan = []
        for i in range(arguments.socket_workers):
            plan.append(("tcp", server.tcp_endpoint) if i % 2 == 0 else ("unix", server.unix_endpoint))
        for _ in range(arguments.region_workers):
            plan.append(("region", f"{server.shm_name}|{server.socket_path}"))
        started = time.perf_counter()
        processes = [
            subprocess.Popen(
                [sys.executable, __file__, "--worker", kind, address, str(index), str(arguments.requests)],
                stdout=subprocess.PIPE, text=True,
            )
            for index, (kind, address) in enumerate(plan)
        ]
        results = []
        for process in processes:
            out, _ = process.communicate()
            if process.returncode != 0:
                results.append({"kind": "?", "requests": arguments.requests, "wrong": 0,
                                "failures": arguments.requests, "first_failure": f"exit status {process.returncode}",
                                "seconds": 0})
            else:
                results.append(json.loads(out))
        wall = time.perf_counter() - started

    total = sum(r["requests"] for r in results)
    per_kind: dict[str, dict] = {}
    for r in results:
        entry = per_kind.setdefault(r["kind"], {"processes": 0, "requests": 0, "requests_per_second": 0.0})
        entry["processes"] += 1
        entry["requests"] += r["requests"]
        if r["seconds"]:
            entry["requests_per_second"] += r["requests"] / r["seconds"]
    return {
        "processes": len(results),
        "requests": total,
        "wrong": sum(r["wrong"] for r in results),
        "failures": sum(r["failures"] for r in results),
        "first_failures": [r["first_failure"] for r in results if r["first_failure"]],
        "seconds": round(wall, 3),
        "requests_per_second": round(total / wall),
        "per_kind": {k: {**v, "requests_per_second": round(v["requests_per_second"])} for k, v in per_kind.items()},
    }


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        kind, address, index, requests = sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
        print(json.dumps(worker(kind, address, index, requests)))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[1])
    parser.add_argument("--requests", type=int, default=100_000, help="requests per process (default 100000)")
    parser.add_argument("--socket-workers", type=int, default=4, help="QueltClient processes (default 4)")
    parser.add_argument("--region-workers", type=int, default=1,
                        help="processes on the region (default 1; more share slots, see above)")
    parser.add_argument("--pool-size", type=int, default=64 << 20, help="the server's tensor pool in bytes")
    summary = run(parser.parse_args())
    print(json.dumps(summary, indent=2))
    return 0 if summary["wrong"] == 0 and summary["failures"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
