"""Scenarios in which a process forks while it holds quelt_sdk clients.

    python fork_driver.py SCENARIO ARGS...

Run by test_fork.py in a subprocess of its own, so that a process that hangs
ends in the test's time-out instead of hanging the suite; every process here
also arms an alarm whose default action kills it. Prints one JSON object with
what the parent and the child saw.
"""

from __future__ import annotations

import gc
import json
import os
import signal
import struct
import sys
import time

import quelt_sdk
from shm_region_fixture import RESPONSE_ENTRY, RingQueue, map_existing

ALARM_SECONDS = 60


def report_to_parent(channel: int, outcome: object) -> None:
    os.write(channel, json.dumps(outcome).encode())
    os._exit(0)


def child_report(pid: int, channel: int) -> object:
    """The child's JSON report, or "hung" if it died without one (its alarm)."""
    received = b""
    while chunk := os.read(channel, 65536):
        received += chunk
    os.waitpid(pid, 0)
    return json.loads(received) if received else "hung"


def outcome(call) -> object:
    """What `call()` gave: its result, or its exception as "Type: message"."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 - the outcome is what is reported
        return f"{type(error).__name__}: {error}"


def fork_with_channel():
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(reading)
        signal.alarm(ALARM_SECONDS)
        return pid, writing
    os.close(writing)
    return pid, reading


def socket_calls(endpoint: str, calls: str) -> dict:
    """Parent and child call through the client the parent made, whose pool
    holds one idle connection at the fork; each checks its own answers."""
    client = quelt_sdk.QueltClient(endpoint)
    assert client.infer(0, [1], "u8", b"x") == b"x"
    pid, channel = fork_with_channel()
    tag = b"child" if pid == 0 else b"parent"
    counts = {"calls": int(calls), "wrong": 0, "failed": 0}
    for number in range(int(calls)):
        data = tag + number.to_bytes(4, "little")
        try:
            if client.infer(0, [len(data)], "u8", data) != data:
                counts["wrong"] += 1
        except Exception:  # noqa: BLE001 - every failure counts the same here
            counts["failed"] += 1
    if pid == 0:
        report_to_parent(channel, counts)
    return {"parent": counts, "child": child_report(pid, channel)}


def stream(endpoint: str, model_id: str) -> dict:
    """The child gets a stream the parent is reading: it must neither read it
    nor, when it drops its copy, end it for the parent."""
    client = quelt_sdk.QueltClient(endpoint)
    chunks = client.infer_stream(int(model_id), [8], "u8", bytes(range(8)))
    first = next(chunks)
    pid, channel = fork_with_channel()
    if pid == 0:
        seen = outcome(lambda: next(chunks).hex())
        del chunks
        gc.collect()
        report_to_parent(channel, seen)
    child = child_report(pid, channel)
    return {"parent": [first.hex()] + [chunk.hex() for chunk in chunks], "child": child}


def shm_inherited(shm_name: str) -> dict:
    """The child tries the shared-memory client the parent made, then drops it;
    the parent's next calls must be unaffected."""
    client = quelt_sdk.QueltShmClient(shm_name)
    assert client.infer([1], "u8", b"a") == b"a"
    pid, channel = fork_with_channel()
    if pid == 0:
        seen = outcome(lambda: client.infer([5], "u8", b"child").decode())
        del client
        gc.collect()
        report_to_parent(channel, seen)
    child = child_report(pid, channel)
    after = [client.infer([6], "u8", b"parent") == b"parent" for _ in range(100)]
    return {"parent": all(after), "child": child}


def wait_for_an_answer_in_the_queue(shm_name: str) -> None:
    """Until the server's answer sits in the response queue (committed, not
    yet read): the call that waits for it is held in a signal handler."""
    buf, _ = map_existing(shm_name)
    responses = RingQueue(buf, struct.unpack_from("<Q", buf, 16)[0], RESPONSE_ENTRY)  # the header's offset
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        write, commit, read = responses.indices()
        if write == commit != read:
            return
        time.sleep(0.005)
    raise TimeoutError("the server did not answer within 20 s")


def shm_fork_during_wait(shm_name: str) -> dict:
    """A signal handler forks while the parent's call waits for its answer,
    after the slow model has answered, and the parent lets the child run
    first: the child's copy of that call must end at once, leaving the answer
    and the parent's slot leased to the parent. The pool has one slot, so a
    new client in the child finds the pool exhausted while the parent's call
    lasts."""
    client = quelt_sdk.QueltShmClient(shm_name)
    channel = []
    children = []

    def fork_now(signum, frame):
        wait_for_an_answer_in_the_queue(shm_name)
        pid, end = fork_with_channel()
        channel.append(end)
        if pid:
            children.append(pid)
            time.sleep(0.3)

    signal.signal(signal.SIGALRM, fork_now)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    data = b"the parent's input"
    answered = outcome(lambda: "right" if client.infer([len(data)], "u8", data) == data else "wrong")
    signal.signal(signal.SIGALRM, signal.SIG_DFL)
    if not children:  # in the child
        new_client = quelt_sdk.QueltShmClient(shm_name)
        probe = outcome(lambda: new_client.infer([1], "u8", b"c") and "leased the parent's slot")
        report_to_parent(channel[0], {"inherited_call": answered, "new_client": probe})
    return {"parent": answered, "child": child_report(children[0], channel[0])}


def shm_prefork_workers(shm_name: str, workers: str, calls: str) -> dict:
    """A pre-forking web server: the parent loads the app (a client and one
    call), then forks workers that each make a client of their own and serve
    requests with distinct payloads, all on the one region at once."""
    preloaded = quelt_sdk.QueltShmClient(shm_name)
    assert preloaded.infer([1], "u8", b"p") == b"p"
    children = []
    for worker in range(int(workers)):
        pid, channel = fork_with_channel()
        if pid == 0:
            client = quelt_sdk.QueltShmClient(shm_name)
            counts = {"calls": int(calls), "wrong": 0, "timeouts": 0, "failed": 0}
            for number in range(int(calls)):
                data = worker.to_bytes(2, "little") + number.to_bytes(4, "little") * (1 + number % 16)
                try:
                    if client.infer([len(data)], "u8", data) != data:
                        counts["wrong"] += 1
                except TimeoutError:
                    counts["timeouts"] += 1
                except Exception:  # noqa: BLE001 - every other failure counts the same here
                    counts["failed"] += 1
            report_to_parent(channel, counts)
        children.append((pid, channel))
    return {"workers": [child_report(pid, channel) for pid, channel in children]}


SCENARIOS = {
    "socket-calls": socket_calls,
    "stream": stream,
    "shm-inherited": shm_inherited,
    "shm-fork-during-wait": shm_fork_during_wait,
    "shm-prefork-workers": shm_prefork_workers,
}

if __name__ == "__main__":
    signal.alarm(ALARM_SECONDS)
    print(json.dumps(SCENARIOS[sys.argv[1]](*sys.argv[2:])))
