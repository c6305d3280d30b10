"""Opening a server's region: names, header validation, the one log record."""

import logging
import os

import pytest

from quelt_sdk import QueltShmClient
from shm_region_fixture import MAGIC, Region, unique_name


@pytest.fixture
def make_region():
    regions = []

    def make(**kwargs):
        region = Region(pool_size=kwargs.pop("pool_size", 300000), **kwargs)
        regions.append(region)
        return region

    yield make
    for region in regions:
        region.close()


def test_missing_region_reports_os_error_2():
    with pytest.raises(ConnectionError) as raised:
        QueltShmClient(unique_name("quelt-missing"))
    assert str(raised.value) == "Shared memory error: Opening the shared memory failed, os error 2"


@pytest.mark.parametrize(
    "magic, version, expected",
    [
        (MAGIC, 1, None),
        (MAGIC, 2, "Shared memory version mismatch"),
        (MAGIC, 0, "Shared memory version mismatch"),
        (MAGIC ^ 0xFF, 1, "Invalid magic number in shared memory"),
        # The magic is checked first, whatever the version holds.
        (MAGIC ^ 0xFF, 2, "Invalid magic number in shared memory"),
        (int.from_bytes(b"OMIA", "big"), 1, "Invalid magic number in shared memory"),
    ],
)
def test_header_validation(make_region, magic, version, expected):
    region = make_region(magic=magic, version=version)
    if expected is None:
        QueltShmClient(region.name)
        return
    with pytest.raises(ConnectionError) as raised:
        QueltShmClient(region.name)
    assert str(raised.value) == expected


@pytest.mark.parametrize("prefix", ["/", "//"])
def test_leading_slashes_name_the_same_object(make_region, prefix):
    region = make_region()
    QueltShmClient(prefix + region.name)


def test_empty_object_cannot_be_mapped():
    name = unique_name()
    fd = os.open(f"/dev/shm/{name}", os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    os.close(fd)
    try:
        with pytest.raises(ConnectionError) as raised:
            QueltShmClient(name)
        assert str(raised.value) == "Shared memory error: Opening the shared memory failed, os error 22"
    finally:
        os.unlink(f"/dev/shm/{name}")


def test_log_record_names_region_and_mapped_page_size(make_region, caplog):
    # An object length that is not a whole number of pages: the record shows
    # the mapped size, rounded up to pages (49 x 4096), and the name exactly as given.
    region = make_region(size=200001, pool_size=10000)
    with caplog.at_level(logging.INFO, logger="quelt_shm::memory"):
        QueltShmClient("/" + region.name)
    records = [r for r in caplog.records if r.name == "quelt_shm::memory"]
    assert [(r.levelno, r.getMessage()) for r in records] == [
        (logging.INFO, f"Connected to shared memory region '/{region.name}' of size 200704 bytes")
    ]


def test_no_log_record_unless_info_is_enabled(make_region, caplog):
    region = make_region()
    with caplog.at_level(logging.WARNING, logger="quelt_shm::memory"):
        QueltShmClient(region.name)
    assert not [r for r in caplog.records if r.name == "quelt_shm::memory"]


def test_failed_open_logs_nothing(caplog):
    with caplog.at_level(logging.INFO, logger="quelt_shm::memory"), pytest.raises(ConnectionError):
        QueltShmClient(unique_name("quelt-missing"))
    assert not [r for r in caplog.records if r.name == "quelt_shm::memory"]
