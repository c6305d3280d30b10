"""Calls from asyncio code (or from many threads) through a pool of worker
processes, one client in each.

A call holds the interpreter lock while it waits for the server, so it stops
every thread of its process, the event loop's included: asyncio.to_thread or
run_in_executor with a thread pool do not help, and threads sharing a client
make their calls one after another. Worker processes wait in parallel, and
the loop runs on meanwhile.

    python examples/process_pool.py ENDPOINT MODEL_ID CALLS PROCESSES

sends CALLS distinct float32 tensors to the model from an event loop through
PROCESSES workers, checks that each answer is its own input (use an echoing
model: 0 identity, or 4 slow), and prints how long the calls took and the longest
time the loop was kept from running meanwhile (in a second round, once the
workers run). It exits with status 1 if any
answer differs.
"""
import asyncio
import concurrent.futures
import multiprocessing
import sys
import time
from typing import Optional

import numpy as np
import quelt_sdk

_client: Optional[quelt_sdk.QueltClient] = None


def _connect(endpoint: str) -> None:
    global _client
    _client = quelt_sdk.QueltClient(endpoint)  # one client per worker, made in it


def infer(model_id: int, shape: list[int], dtype: str, data: bytes) -> bytes:
    assert _client is not None
    return _client.infer(model_id, shape, dtype, data)


def worker_pool(endpoint: str, processes: int) -> concurrent.futures.ProcessPoolExecutor:
    # "spawn": each worker is a fresh interpreter, whatever threads this
    # process runs (forking a process with threads is unsafe).
    return concurrent.futures.ProcessPoolExecutor(
        processes, mp_context=multiprocessing.get_context("spawn"),
        initializer=_connect, initargs=(endpoint,))


async def longest_pause(stop: asyncio.Event) -> float:
    """The longest time the loop took to come back to a 1 ms sleep, in seconds."""
    longest = 0.0
    while not stop.is_set():
        before = time.perf_counter()
        await asyncio.sleep(0.001)
        longest = max(longest, time.perf_counter() - before)
    return longest


async def main(endpoint: str, model_id: int, calls: int, processes: int) -> int:
    loop = asyncio.get_running_loop()
    tensors = [np.full(4, number, dtype=np.float32).tobytes() for number in range(calls)]
    wrong = 0
    with worker_pool(endpoint, processes) as pool:
        for _ in range(2):  # the first round also starts the workers; the second is measured
            stop = asyncio.Event()
            watcher = asyncio.create_task(longest_pause(stop))
            started = time.perf_counter()
            answers = await asyncio.gather(
                *(loop.run_in_executor(pool, infer, model_id, [4], "float32", tensor) for tensor in tensors))
            took = time.perf_counter() - started
            stop.set()
            pause = await watcher
            wrong += sum(answer != tensor for answer, tensor in zip(answers, tensors))
    print(f"{calls} calls through {processes} processes in {took:.2f} s, {wrong} wrong; "
          f"longest pause of the event loop: {pause * 1e3:.0f} ms")
    return 1 if wrong else 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    sys.exit(asyncio.run(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]))))
