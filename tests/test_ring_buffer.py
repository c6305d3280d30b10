"""The shared queues: layout, full and empty, wrap-around, ordered publication,
and many producer and consumer processes at once.

Producers and consumers that must compare-and-swap are shm_ring_probe
processes; the test itself plays the single other side through the region's
bytes.
"""

import struct
import subprocess
import time
from collections import defaultdict
from pathlib import Path

import pytest

from quelt_sdk import QueltShmClient
from shm_probe import session_probe
from shm_region_fixture import CAPACITY, Region, map_existing, unique_name

QUEUES = ["request", "response"]


@pytest.fixture(scope="module")
def probe():
    return session_probe()


@pytest.fixture
def region():
    region = Region(pool_size=300000)
    yield region
    region.close()


def queue_of(region, which):
    return region.requests if which == "request" else region.responses


def entry_of(which, raw):
    """(id, seq) as the probe writes them."""
    if which == "request":
        request_id, _, _, seq, _ = struct.unpack("<5Q", raw)
    else:
        request_id, _, _, seq, _, _ = struct.unpack("<QB7xQQQQ", raw)
    return request_id, seq


def test_created_region_is_valid_and_removed_with_its_owner(probe):
    name = unique_name()
    owner = probe.start("create", name, 64 << 20, stdin=subprocess.PIPE)
    try:
        words = owner.stdout.readline().split()
        assert words[0] == "ready", owner.stderr.read()
        req, resp, pool, pool_size, server_area, size = map(int, words[1:])
        mapping, mapped = map_existing(name)
        with mapping:
            magic, version, h_req, h_resp, h_pool, h_pool_size = struct.unpack_from("<IIQQQQ", mapping, 0)
            assert (magic, version) == (0x41494D4F, 1)
            assert (h_req, h_resp, h_pool, h_pool_size) == (req, resp, pool, pool_size)
            assert mapped == size and size % 4096 == 0
            # header, request queue, response queue, pool, server area: in order, disjoint, aligned
            assert 40 <= req and req % 8 == 0 and req + 40960 <= resp and resp % 8 == 0
            assert resp + 49152 <= pool and pool % 65536 == 0
            assert pool + pool_size <= server_area <= size
            for queue, unit in ((req, 40), (resp, 48)):
                assert struct.unpack_from("<QQQ", mapping, queue)[0] == 0
                assert [struct.unpack_from("<Q", mapping, queue + k * unit)[0] for k in range(3)] == [0, 0, 0]
        QueltShmClient(name)
        # A second owner is refused while the first one lives.
        with pytest.raises(AssertionError, match="Creating the shared memory failed, os error 17"):
            probe.run("create", name, 1 << 20)
    finally:
        owner.stdin.close()
        assert owner.wait(timeout=10) == 0
    assert not Path(f"/dev/shm/{name}").exists()


@pytest.mark.parametrize("which", QUEUES)
def test_push_then_pop_moves_each_index_once(probe, region, which):
    queue = queue_of(region, which)
    assert probe.run("try-pop", region.name, which) == "empty\n"
    assert probe.run("try-push", region.name, which, 42) == "ok\n"
    assert queue.indices() == (1, 1, 0)
    assert entry_of(which, queue.read_slot(0)) == (42, 0)
    assert probe.run("try-pop", region.name, which) == "42 0\n"
    assert queue.indices() == (1, 1, 1)


@pytest.mark.parametrize("which", QUEUES)
def test_full_at_1020_outstanding_entries(probe, region, which):
    queue = queue_of(region, which)
    queue.set_indices(1019, 1019, 0)
    assert probe.run("try-push", region.name, which, 1) == "ok\n"
    assert queue.indices() == (1020, 1020, 0)
    assert probe.run("try-push", region.name, which, 2) == "Queue is full\n"
    assert queue.indices() == (1020, 1020, 0)  # a full push changes nothing


@pytest.mark.parametrize("which", QUEUES)
def test_indices_wrap_from_1020_to_0(probe, region, which):
    queue = queue_of(region, which)
    queue.set_indices(1020, 1020, 1020)
    assert probe.run("try-push", region.name, which, 7) == "ok\n"
    assert probe.run("try-push", region.name, which, 8) == "ok\n"
    assert queue.indices() == (1, 1, 1020)
    assert entry_of(which, queue.read_slot(1020)) == (7, 0)
    assert entry_of(which, queue.read_slot(0)) == (8, 0)
    assert probe.run("try-pop", region.name, which) == "7 0\n"
    assert probe.run("try-pop", region.name, which) == "8 0\n"
    assert queue.indices() == (1, 1, 1)


@pytest.mark.parametrize("which", QUEUES)
def test_publication_waits_for_earlier_reservations(probe, region, which):
    queue = queue_of(region, which)
    # Slot 5 is reserved by a producer (the test) that has not published it yet.
    queue.set_indices(6, 5, 5)
    later = probe.start("push", region.name, which, 66)
    try:
        deadline = time.monotonic() + 10
        while queue.indices()[0] != 7 and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(0.1)
        # The later producer reserved and filled slot 6 but may not publish it.
        assert queue.indices() == (7, 5, 5)
        assert entry_of(which, queue.read_slot(6)) == (66, 0)
        assert later.poll() is None
        assert probe.run("try-pop", region.name, which) == "empty\n"
        # The earlier producer publishes slot 5; slot 6 follows at once.
        raw = struct.pack("<5Q", 55, 0, 0, 0, 0) if which == "request" else struct.pack("<QB7xQQQQ", 55, 0, 0, 0, 0, 0)
        region.buf[queue.slot(5): queue.slot(5) + len(raw)] = raw
        struct.pack_into("<Q", region.buf, queue.offset + queue.entry, 6)
        assert later.wait(timeout=10) == 0
    finally:
        later.kill()
        later.wait()
    assert queue.indices() == (7, 7, 5)
    assert probe.run("try-pop", region.name, which) == "55 0\n"
    assert probe.run("try-pop", region.name, which) == "66 0\n"


@pytest.mark.parametrize(
    "indices, command, expected",
    [
        ((5000, 0, 0), "try-push", "Invalid shared memory region: queue write index 5000 is not below the capacity 1021"),
        ((0, 0, 5000), "try-pop", "Invalid shared memory region: queue read index 5000 is not below the capacity 1021"),
        ((0, 2**64 - 1, 0), "try-pop", "Invalid shared memory region: queue commit index 18446744073709551615 is not below the capacity 1021"),
        # Publishing into a commit word no producer can ever move is refused
        # instead of spinning forever.
        ((0, 4000, 5), "try-push", "Invalid shared memory region: queue commit index 4000 is not below the capacity 1021"),
    ],
)
def test_indices_outside_the_queue_are_refused(probe, region, indices, command, expected):
    region.requests.set_indices(*indices)
    assert probe.run(command, region.name, "request", 1) == expected + "\n"


def collect(consumers):
    seen = []
    for consumer in consumers:
        out, err = consumer.communicate(timeout=120)
        assert consumer.returncode == 0, err
        seen.append([tuple(map(int, line.split())) for line in out.splitlines()])
    return seen


@pytest.mark.parametrize("producers, per_producer, consumers", [(4, 5000, 1), (5, 4000, 3)])
def test_many_processes_lose_duplicate_and_reorder_nothing(probe, region, producers, per_producer, consumers):
    total = producers * per_producer
    counter = region.server_area  # a u64 the consumers share
    struct.pack_into("<Q", region.buf, counter, 0)
    takers = [probe.start("pop", region.name, "request", counter, total) for _ in range(consumers)]
    makers = [probe.start("push", region.name, "request", 1000 + p, per_producer) for p in range(producers)]
    try:
        for maker in makers:
            out, err = maker.communicate(timeout=120)
            assert maker.returncode == 0, err
        seen = collect(takers)
    finally:
        for process in makers + takers:
            process.kill()
            process.wait()

    everything = [entry for taken in seen for entry in taken]
    assert len(everything) == total
    assert sorted(everything) == sorted((1000 + p, s) for p in range(producers) for s in range(per_producer))
    # Each producer's entries are published in its order, so every consumer
    # sees them in that order (a single consumer sees all of them, gap-free).
    for taken in seen:
        last = defaultdict(lambda: -1)
        for producer, seq in taken:
            assert seq > last[producer]
            last[producer] = seq
    if consumers == 1:
        for p in range(producers):
            assert [s for q, s in seen[0] if q == 1000 + p] == list(range(per_producer))
    write, commit, read = region.requests.indices()
    assert write == commit == read == total % CAPACITY


def test_threads_of_one_process_share_the_queue_and_the_slots(probe):
    # Producer threads lease one of four slots around every push; the probe
    # checks that each entry came out once and no slot had two holders.
    assert probe.run("threads", unique_name(), 4, 5000) == "ok\n"
