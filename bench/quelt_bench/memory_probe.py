"""Resident memory of one client, and its first large call, measured in a
fresh interpreter.

    python -m quelt_bench.memory_probe growth --client shm --calls 100000 --server JSON
    python -m quelt_bench.memory_probe peak   --client shm --bytes 67108784 --server JSON
    python -m quelt_bench.memory_probe first  --client shm --bytes 67108784 --idle 10 --server JSON

growth: resident-set size after a warm-up, then after `calls` small calls;
the difference is what the calls leaked or kept.
peak: the high-water mark of one large call above the idle process, that is
the process with its client built and its input tensor in memory. The mark
is reset to the current resident size first (Linux clear_refs), so the
interpreter's start-up peak does not hide the call's.
first: the first large call of the process (the client built and connected
by a small call first), the median of the next few, and one call after
`idle` seconds without calls: fresh result memory costs most then.
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
import time

from .cases import NotLanded, ServerAddresses, infer_call, make_client

_STATUS_FIELD = re.compile(r"^(VmRSS|VmHWM):\s+(\d+) kB$", re.MULTILINE)


def parse_status(text: str) -> dict[str, int]:
    """VmRSS and VmHWM of a /proc/PID/status text, in bytes."""
    return {name: int(kib) * 1024 for name, kib in _STATUS_FIELD.findall(text)}


def resident() -> dict[str, int]:
    with open("/proc/self/status") as status:
        return parse_status(status.read())


def reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def measure_growth(kind: str, server: ServerAddresses, calls: int, data_len: int = 64) -> dict:
    client = make_client(kind, server)
    call = infer_call(kind, client, data_len)
    for _ in range(1000):
        call()
    before = resident()["VmRSS"]
    for _ in range(calls):
        call()
    after = resident()["VmRSS"]
    return {"calls": calls, "before": before, "after": after, "growth": after - before}


def measure_peak(kind: str, server: ServerAddresses, data_len: int) -> dict:
    client = make_client(kind, server)
    infer_call(kind, client, 64)  # connects and warms the client on a small tensor
    call = infer_call(kind, client, data_len, check=False)  # the input tensor is built here
    exact = reset_high_water_mark()
    idle = resident()
    baseline = idle["VmHWM"] if exact else idle["VmRSS"]
    result = call()
    peak = resident()["VmHWM"]
    if len(result) != data_len:
        raise RuntimeError(f"{kind} returned {len(result)} bytes for {data_len}")
    return {"bytes": data_len, "idle": baseline, "peak": peak, "above_idle": peak - baseline,
            "exact_reset": exact}


FOLLOWING_CALLS = 5


def measure_first_call(kind: str, server: ServerAddresses, data_len: int, idle: float) -> dict:
    client = make_client(kind, server)
    infer_call(kind, client, 64)  # connects and warms the client on a small tensor
    call = infer_call(kind, client, data_len, check=False)
    clock = time.perf_counter_ns
    timings = []
    for _ in range(1 + FOLLOWING_CALLS):
        start = clock()
        result = call()
        timings.append(clock() - start)
        if len(result) != data_len:
            raise RuntimeError(f"{kind} returned {len(result)} bytes for {data_len}")
        del result
    time.sleep(idle)
    start = clock()
    call()
    after_idle = clock() - start
    return {"bytes": data_len, "first": timings[0], "median": statistics.median(timings[1:]),
            "after_idle": after_idle, "idle": idle}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="quelt_bench.memory_probe")
    parser.add_argument("mode", choices=["growth", "peak", "first"])
    parser.add_argument("--client", required=True)
    parser.add_argument("--server", required=True, help="ServerAddresses as JSON")
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--bytes", type=int, default=64)
    parser.add_argument("--idle", type=float, default=10.0, help="seconds without calls before the last call")
    options = parser.parse_args(argv)
    server = ServerAddresses(**json.loads(options.server))
    try:
        if options.mode == "growth":
            report = measure_growth(options.client, server, options.calls, options.bytes)
        elif options.mode == "first":
            report = measure_first_call(options.client, server, options.bytes, options.idle)
        else:
            report = measure_peak(options.client, server, options.bytes)
    except NotLanded as error:
        report = {"not_landed": str(error)}
    json.dump(report, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
