"""Fixtures shared by the test suite: reference servers on private addresses.

The launcher `quelt_refserver` ships beside quelt_sdk; in a source checkout
it lives in server/, which is put on the import path here. The executable is
the installed `quelt-refserver`, or $QUELT_REFSERVER (for a development build:
QUELT_REFSERVER=build/d/server/quelt-refserver).
"""
import pathlib
import sys

import pytest

_SERVER_SOURCES = pathlib.Path(__file__).resolve().parent.parent / "server"
try:
    import quelt_refserver  # noqa: F401  (installed with the package)
except ImportError:
    sys.path.insert(0, str(_SERVER_SOURCES))
    import quelt_refserver  # noqa: F401

from quelt_refserver import RefServer, RefServerError, find_executable


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes several seconds (deselect with -m 'not slow')")


def _executable_or_skip():
    try:
        return find_executable()
    except RefServerError as error:
        pytest.skip(str(error))


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
