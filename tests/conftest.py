"""Fixtures shared by the test suite: reference servers on private addresses.

The launcher `quelt_refserver` ships beside quelt_sdk; in a source checkout
it lives in server/, which is put on the import path here. The executable is
$QUELT_REFSERVER if set, else the one built beside the quelt_sdk module under
test (a development build: PYTHONPATH=build/NAME), else `quelt-refserver` on PATH.
"""
import importlib.util
import os
import pathlib
import sys

import pytest

# The checkout's launcher comes first, so the tests exercise this tree's code
# even when an older copy of the package is installed.
_SERVER_SOURCES = pathlib.Path(__file__).resolve().parent.parent / "server"
if (_SERVER_SOURCES / "quelt_refserver").is_dir():
    sys.path.insert(0, str(_SERVER_SOURCES))


def _server_of_the_build():
    """The quelt-refserver built beside the quelt_sdk module being tested, if any."""
    spec = importlib.util.find_spec("quelt_sdk")
    if spec is None or spec.origin is None:
        return None
    candidate = pathlib.Path(spec.origin).parent / "server" / "quelt-refserver"
    return str(candidate) if os.access(candidate, os.X_OK) else None


if "QUELT_REFSERVER" not in os.environ and _server_of_the_build():
    os.environ["QUELT_REFSERVER"] = _server_of_the_build()

from quelt_refserver import RefServer, RefServerError, find_executable  # noqa: E402
from shm_region_fixture import ONE_SLOT_POOL, Region  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes several seconds (deselect with -m 'not slow')")


def _executable_or_skip():
    try:
        return find_executable()
    except RefServerError as error:
        pytest.skip(str(error))


@pytest.fixture
def one_slot_region():
    """A region made by the test, whose pool has one slot (ONE_SLOT_POOL)."""
    region = Region(pool_size=ONE_SLOT_POOL)
    yield region
    region.close()


@pytest.fixture(scope="module")
def refserver():
    """One server with the default models for every test of a module."""
    _executable_or_skip()
    with RefServer() as server:
        yield server


@pytest.fixture
def start_refserver():
    """Starts servers with the given options; all of them stop after the test."""
    _executable_or_skip()
    started = []

    def start(**options):
        server = RefServer(**options).start()
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
