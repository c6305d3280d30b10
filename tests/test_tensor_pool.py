"""The tensor pool's slot layout, allocation order and release rules, run
through the probe program (the pool is plain C++ with no Python face)."""

import pytest

from shm_probe import session_probe
from shm_region_fixture import POOL_OFFSET, Region

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30


@pytest.fixture(scope="module")
def probe():
    return session_probe()


@pytest.fixture(scope="module")
def pool(probe):
    def run(offset, size, *ops):
        lines = probe.run("pool", offset, size, *ops).splitlines()
        return lines[0], int(lines[1]), lines[2:]

    return run


@pytest.mark.parametrize(
    "offset, size, layout, largest",
    [
        (65536, 64 * MiB,
         "class0(base=65536 slot_size=262144 slots=4), class1(base=1114112 slot_size=1048576 slots=3), "
         "class2(base=4259840 slot_size=4194304 slots=3), class3(base=16842752 slot_size=16777216 slots=3)",
         16777216),
        # 16 x 256 KiB + 12 x (1 + 4 + 16 + 64) MiB = exactly 1 GiB
        (0, GiB,
         "class0(base=0 slot_size=262144 slots=16), class1(base=4194304 slot_size=1048576 slots=12), "
         "class2(base=16777216 slot_size=4194304 slots=12), class3(base=67108864 slot_size=16777216 slots=12), "
         "class4(base=268435456 slot_size=67108864 slots=12)",
         67108864),
        (131072, 300000, "class0(base=131072 slot_size=262144 slots=1)", 262144),
        (131072, 100000, "class0(base=131072 slot_size=100000 slots=1)", 100000),
        (131072, 0, "class0(base=131072 slot_size=1 slots=1)", 1),
        # Every size gets one slot before any gets a second.
        (0, 256 * KiB + MiB, "class0(base=0 slot_size=262144 slots=1), class1(base=262144 slot_size=1048576 slots=1)",
         1048576),
    ],
)
def test_layout(pool, offset, size, layout, largest):
    assert pool(offset, size)[:2] == (layout, largest)


def test_allocation_picks_the_smallest_class_that_fits(pool):
    _, _, got = pool(65536, 64 * MiB, "a262144", "a262145", "a16777216", "a16777217", "a0", "a1")
    assert got == ["65536", "1114112", "16842752", "none", "none", str(65536 + 262144)]


def test_full_class_falls_through_to_larger_slots(pool):
    _, _, got = pool(0, 64 * MiB, *["a1000"] * 5, *["a2000000"] * 7)
    assert got[:4] == [str(i * 262144) for i in range(4)]
    assert got[4] == str(MiB)  # first 1 MiB slot
    # Three 4 MiB and three 16 MiB slots, then nothing large enough is free.
    assert got[5:] == ["4194304", "8388608", "12582912", "16777216", "33554432", "50331648", "none"]


def test_scans_start_at_a_rotating_slot(pool):
    # The second scan starts at slot 1, the third at slot 2: a released slot 0
    # is not taken again first.
    _, _, got = pool(0, 64 * MiB, "a1", "a1", "r0", "a1", "a1", "a1")
    assert got == ["0", "262144", "true", "524288", "786432", "0"]


@pytest.mark.parametrize(
    "op, expected",
    [
        ("r0", "true"),              # a free slot's start: releasing it again is not an error
        ("r262144", "true"),
        ("r1", "false"),             # inside a slot
        ("r1048577", "false"),
        ("r67108864", "false"),      # beyond every class
        ("r18446744073709551615", "false"),
    ],
)
def test_release_only_accepts_slot_starts(pool, op, expected):
    assert pool(0, 64 * MiB, op)[2] == [expected]


def test_released_slot_is_handed_out_again(pool):
    _, _, got = pool(0, 300000, "a80", "a80", "r0", "a80")
    assert got == ["0", "none", "true", "0"]


def test_leases_are_shared_by_the_processes_on_a_region(probe):
    """Two pools with cells of their own, as two processes have them, over a
    region whose pool is one slot. A lease has no expiry: only its release or
    its process's end frees it."""
    region = Region(pool_size=300000)
    try:
        got = probe.run("leases", region.name, "1+", "2+",
                        "1a80", "2a80",            # held by the first: not the second's
                        "w300", "2a80",            # however long the first holds it
                        "1r131072", "2a80", "2r131072",
                        "1a80", "1-", "2a80")      # the first's process ended: its lease is taken at once
    finally:
        region.close()
    slot = str(POOL_OFFSET)
    assert got.split() == [slot, "none", "none", "true", slot, "true", slot, slot]


def test_a_free_larger_slot_goes_before_one_taken_back_from_an_ended_process(probe):
    region = Region(pool_size=262144 + 1048576)  # one slot of 256 KiB, one of 1 MiB
    try:
        got = probe.run("leases", region.name, "1+", "2+", "1a80", "1-", "2a80", "2a80")
    finally:
        region.close()
    assert got.split() == [str(POOL_OFFSET), str(POOL_OFFSET + 262144), str(POOL_OFFSET)]
