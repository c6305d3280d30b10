"""Several client objects and several processes on one region: no call ever
gets another call's data, a slot is leased by one process at a time, and a
process that dies leaves its slots to the others.

The multi-process runs are bounded in time. QUELT_REGION_CALLS sets the calls
per process of the hybrid run (default 20000, about 2 s here),
QUELT_REGION_SHM_CALLS those of the QueltShmClient run (default 5000).
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quelt_sdk import QueltHybridClient, QueltShmClient
from fake_control_server import FakeControlServer
from shm_region_fixture import HOLDER, ONE_SLOT_POOL, Region
from test_hybrid_client import socket_path

HERE = Path(__file__).resolve().parent
CALLS = int(os.environ.get("QUELT_REGION_CALLS", "20000"))
SHM_CALLS = int(os.environ.get("QUELT_REGION_SHM_CALLS", "5000"))


def workers(kind, server, count, calls, seconds=float("inf"), timeout=300):
    arguments = [server.shm_name, server.socket_path]
    start = time.time() + 1  # every worker's first call at once
    processes = [subprocess.Popen([sys.executable, str(HERE / "region_worker.py"), kind, *arguments, str(worker),
                                   str(calls), str(seconds), str(start)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=HERE)
                 for worker in range(count)]
    results = []
    try:
        for process in processes:
            out, err = process.communicate(timeout=timeout)
            assert process.returncode == 0, err[-3000:]
            results.append(json.loads(out))
    finally:
        for process in processes:
            process.kill()
            process.wait()
    return results


@pytest.fixture
def alarm():
    """Calls `handler` once, `seconds` from now, during whatever runs then."""
    previous = signal.getsignal(signal.SIGALRM)

    def arm(seconds, handler):
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


# These tests start servers of their own: the launcher's output thread must be
# gone before a later test forks its fake server.
def test_hybrid_clients_in_four_processes(start_refserver):
    results = workers("hybrid", start_refserver(), 4, CALLS)
    assert [(r["calls"], r["wrong"], r["timeouts"], r["failed"]) for r in results] == [(CALLS, 0, 0, 0)] * 4, results


def test_shm_clients_in_four_processes(start_refserver):
    """The processes share one response queue: each puts the others' answers back."""
    results = workers("shm", start_refserver(), 4, SHM_CALLS, timeout=120)
    assert [(r["calls"], r["wrong"], r["timeouts"], r["failed"]) for r in results] == [(SHM_CALLS, 0, 0, 0)] * 4, results




def test_a_slot_is_leased_by_one_process_until_that_process_dies():
    region = Region(pool_size=ONE_SLOT_POOL)  # one slot, and no server: a call waits for its time-out
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, region.name],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with FakeControlServer(socket_path(), region) as server:
            client = QueltHybridClient(region.name, server.path)
            assert holder.stdout.readline() == "calling\n"
            deadline = time.monotonic() + 4
            while True:  # until the holder's call has leased the slot
                try:
                    client.infer([1], "u8", b"y")
                except RuntimeError as error:
                    assert str(error).startswith("SHM tensor pool exhausted")
                    break
                assert time.monotonic() < deadline and holder.poll() is None, (
                    "the other process's slot was leased here as well", holder.poll() and holder.stderr.read())
                time.sleep(0.05)
            holder.kill()
            holder.wait()
            assert client.infer([1], "u8", b"z") == b"z"  # at once: no clean-up, no expiry
    finally:
        holder.kill()
        holder.wait()
        region.close()


def test_a_call_from_a_signal_handler_never_takes_the_waiting_calls_slot(start_refserver, alarm):
    server = start_refserver(shm_model="slow", slow_ms=200)
    shm = QueltShmClient(server.shm_name)
    hybrid = QueltHybridClient(server.shm_name, server.socket_path)
    from_handler = []
    alarm(0.05, lambda *_: from_handler.append(hybrid.infer([7], "u8", b"handler")))
    assert shm.infer([6], "u8", b"waiter") == b"waiter"
    assert from_handler == [b"handler"]


def test_a_new_client_never_takes_the_late_answer_of_an_abandoned_call(start_refserver, alarm):
    server = start_refserver(shm_model="slow", slow_ms=300)

    class Abandoned(Exception):
        pass

    def abandon(*_):
        raise Abandoned

    first = QueltShmClient(server.shm_name)
    alarm(0.05, abandon)
    with pytest.raises(Abandoned):
        first.infer([300000], "u8", b"f" * 300000)  # answered ~300 ms later, to nobody
    second = QueltShmClient(server.shm_name)
    assert second.infer([6], "u8", b"second") == b"second"


@pytest.fixture
def one_slot_region():
    region = Region(pool_size=ONE_SLOT_POOL)
    yield region
    region.close()


def test_the_lease_table_beside_a_region_opens_for_whoever_may_open_the_region(one_slot_region):
    region_file = f"/dev/shm/{one_slot_region.name}"
    os.chmod(region_file, 0o660)  # group-writable, whatever the creating process's umask
    QueltShmClient(one_slot_region.name)
    assert os.stat(region_file + ".leases").st_mode & 0o777 == 0o660


def test_a_lease_table_this_client_cannot_read_is_refused(one_slot_region):
    with open(f"/dev/shm/{one_slot_region.name}.leases", "wb") as foreign:
        foreign.write(b"not ours" * 8)
    with pytest.raises(ConnectionError) as refused:
        QueltHybridClient(one_slot_region.name, socket_path())
    assert str(refused.value) == (f"Shared memory error: the slot lease table of region "
                                  f"'{one_slot_region.name}' has a format this client does not know")
