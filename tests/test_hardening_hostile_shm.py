"""A region whose server writes random offsets, lengths, queue placements
and indices: the clients raise errors and never crash, never read or write
outside the mapping, and never wait out a deadline where the region already
shows the fault.

Each run is a subprocess (tests/hostile_shm_driver.py) with a fixed seed, so
a failure reproduces with the same command. QUELT_HOSTILE_CASES sets the
number of cases per seed (default 2000).
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import quelt_sdk

from shm_region_fixture import ONE_SLOT_POOL, REQUEST_QUEUE_OFFSET, RESPONSE_QUEUE_OFFSET, Region  # noqa: E402

CASES = int(os.environ.get("QUELT_HOSTILE_CASES", "2000"))
DRIVER = pathlib.Path(__file__).with_name("hostile_shm_driver.py")


def run_driver(kind, seed):
    result = subprocess.run(
        [sys.executable, str(DRIVER), kind, str(seed), str(CASES)],
        capture_output=True, text=True, timeout=300, cwd=DRIVER.parent,
    )
    assert result.returncode == 0, (
        f"{kind} driver, seed {seed}: exit status {result.returncode}\n{result.stdout}\n{result.stderr[-4000:]}"
    )
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_shm_client_survives_random_region_contents(seed):
    counts = run_driver("shm", seed)
    assert counts.get("TimeoutError", 0) == 0, counts
    assert set(counts) <= {"bytes", "RuntimeError", "constructor refused"}, counts
    assert counts["bytes"] > 0 and counts["RuntimeError"] > 0, counts
    assert counts["bytes"] + counts["RuntimeError"] >= CASES


@pytest.mark.parametrize("seed", [1, 2])
def test_hybrid_client_survives_random_answers(seed):
    counts = run_driver("hybrid", seed)
    assert set(counts) <= {"bytes", "RuntimeError"}, counts
    assert counts["RuntimeError"] > 0, counts
    assert sum(counts.values()) == CASES


@pytest.mark.parametrize("pool_offset", [0, REQUEST_QUEUE_OFFSET, RESPONSE_QUEUE_OFFSET + 4096])
def test_a_pool_laid_over_the_header_or_a_queue_is_refused(pool_offset):
    region = Region(pool_size=ONE_SLOT_POOL)
    try:
        region.write_header(pool_offset=pool_offset, pool_size=262144)
        with pytest.raises(ConnectionError, match="^Invalid shared memory region: "):
            quelt_sdk.QueltShmClient(region.name)
        with pytest.raises(ConnectionError, match="^Invalid shared memory region: "):
            quelt_sdk.QueltHybridClient(region.name, "/nonexistent.sock")
    finally:
        region.close()
