"""Thousands of calls, failing and succeeding, leave the process as they
found it: the same descriptors, the same threads, and resident memory within
1 MiB.

Counts (environment variables, documented in CONTRIBUTING.md, "Hardening"):
  QUELT_LEAK_CALLS          failing calls per kind            (default 10000)
  QUELT_LEAK_SUCCESS_CALLS  successful small calls per client (default 100000)
Each case first runs a warm-up (caches, the pool's first connection, the
interpreter's free lists), then measures across the counted calls.
"""

import os
import socket

import pytest

import quelt_sdk

from hostile_measure import UNDER_SANITIZER, Footprint, MiB  # noqa: E402
from quelt_refserver import MODELS  # noqa: E402
from shm_region_fixture import CAPACITY  # noqa: E402

FAILING_CALLS = int(os.environ.get("QUELT_LEAK_CALLS", "10000"))
SUCCESS_CALLS = int(os.environ.get("QUELT_LEAK_SUCCESS_CALLS", "100000"))
WARM_UP = 500
RSS_ALLOWANCE = 1 * MiB


def assert_flat(call, count, expected=None):
    """Runs `call` count times after a warm-up; every run must raise
    `expected` (or succeed when it is None); then compares footprints."""

    def run(times):
        for _ in range(times):
            if expected is None:
                call()
                continue
            try:
                call()
            except expected:
                continue
            raise AssertionError(f"the call did not raise {expected.__name__}")

    run(WARM_UP)
    before = Footprint.now()
    run(count)
    after = Footprint.now()
    print(f"{count} calls: before {before}; after {after}")
    assert after.descriptors == before.descriptors
    assert after.threads == before.threads
    if not UNDER_SANITIZER:  # the sanitizer's quarantine grows by design
        assert after.rss - before.rss < RSS_ALLOWANCE, f"{before} -> {after}"
    return before, after


def refused_endpoint():
    """A TCP endpoint on which nothing listens (the port was just released)."""
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return f"tcp://127.0.0.1:{port}"


@pytest.fixture(scope="module")
def error_servers():
    """One server whose every model answers normally, one whose shared-memory
    model always fails (for the hybrid client's server errors)."""
    from quelt_refserver import RefServer

    try:
        with RefServer() as models, RefServer(tcp=False, shm_model="error") as failing:
            yield models, failing
    except Exception as error:  # noqa: BLE001
        pytest.skip(f"reference server unavailable: {error}")


@pytest.fixture
def region(one_slot_region):
    return one_slot_region


def failing_socket_calls(servers):
    models, _ = servers
    unix = quelt_sdk.QueltClient(models.unix_endpoint)
    refused = quelt_sdk.QueltClient(refused_endpoint())

    def failing_stream():
        # Every iterator owns a connection; dropping it must close it.
        next(unix.infer_stream(MODELS["error"], [1], "uint8", b"x"))

    return {
        "refused connection": (lambda: refused.infer(0, [1], "uint8", b"x"), ConnectionError),
        "server error": (lambda: unix.infer(MODELS["error"], [1], "uint8", b"x"), RuntimeError),
        "decode failure": (lambda: unix.infer(MODELS["garbage"], [1], "uint8", b"x"), RuntimeError),
        "broken reply (retried)": (lambda: unix.infer(MODELS["truncate"], [1], "uint8", b"x"), ConnectionError),
        "stream error frame": (failing_stream, RuntimeError),
        "unknown dtype": (lambda: unix.infer(0, [1], "bfloat16", b"x"), ValueError),
    }


SOCKET_KINDS = ["refused connection", "server error", "decode failure", "broken reply (retried)",
                "stream error frame", "unknown dtype"]


@pytest.mark.parametrize("kind", SOCKET_KINDS)
def test_failing_socket_calls_leave_nothing_behind(error_servers, kind):
    call, expected = failing_socket_calls(error_servers)[kind]
    assert_flat(call, FAILING_CALLS, expected)


SHM_KINDS = ["pool exhausted", "unknown dtype", "more than 8 dimensions", "queue full",
             "response queue outside the region"]


def failing_shm_call(region, kind):
    client = quelt_sdk.QueltShmClient(region.name)
    too_big = b"\x00" * (262144 - 79)
    if kind == "queue full":
        region.requests.set_indices(CAPACITY - 1, CAPACITY - 1, 0)
    if kind == "response queue outside the region":
        region.write_header(response_queue=region.size - 8)
    calls = {
        "pool exhausted": (lambda: client.infer([len(too_big)], "uint8", too_big), RuntimeError),
        "unknown dtype": (lambda: client.infer([1], "bogus", b"x"), ValueError),
        "more than 8 dimensions": (lambda: client.infer([1] * 9, "uint8", b"x"), ValueError),
        "queue full": (lambda: client.infer([1], "uint8", b"x"), RuntimeError),
        "response queue outside the region": (lambda: client.infer([1], "uint8", b"x"), RuntimeError),
    }
    return calls[kind]


@pytest.mark.parametrize("kind", SHM_KINDS)
def test_failing_shm_calls_leave_nothing_behind(region, kind):
    call, expected = failing_shm_call(region, kind)
    assert_flat(call, FAILING_CALLS, expected)
    # Every failure released its slot: the one slot is free again.
    region.write_header()
    region.requests.set_indices(0, 0, 0)
    region.responses.set_indices(0, 0, 0)
    while region.requests.pop() is not None:
        pass


def test_failing_hybrid_calls_leave_nothing_behind(error_servers, tmp_path):
    _, failing = error_servers
    missing = quelt_sdk.QueltHybridClient(failing.shm_name, str(tmp_path / "nobody.sock"))
    server_error = quelt_sdk.QueltHybridClient(failing.shm_name, failing.socket_path)
    assert_flat(lambda: missing.infer([1], "uint8", b"x"), FAILING_CALLS, RuntimeError)
    assert_flat(lambda: server_error.infer([1], "uint8", b"x"), FAILING_CALLS, RuntimeError)


def test_hybrid_clients_come_and_go_without_leaving_threads(error_servers):
    """Each hybrid client owns a runtime with threads; they end with it."""
    models, _ = error_servers
    before = Footprint.now()
    for _ in range(50):
        client = quelt_sdk.QueltHybridClient(models.shm_name, models.socket_path)
        assert client.infer([1], "uint8", b"x") == b"x"
        del client
    after = Footprint.now()
    assert (after.descriptors, after.threads) == (before.descriptors, before.threads)


@pytest.mark.slow
@pytest.mark.parametrize("kind", ["socket", "shm", "hybrid"])
def test_many_successful_small_calls_leave_nothing_behind(error_servers, kind):
    models, _ = error_servers
    if kind == "socket":
        client = quelt_sdk.QueltClient(models.unix_endpoint)
        call = lambda: client.infer(0, [4], "uint8", b"abcd")  # noqa: E731
    elif kind == "shm":
        call = quelt_sdk.QueltShmClient(models.shm_name).infer
        call = (lambda infer: lambda: infer([4], "uint8", b"abcd"))(call)
    else:
        call = quelt_sdk.QueltHybridClient(models.shm_name, models.socket_path).infer
        call = (lambda infer: lambda: infer([4], "uint8", b"abcd"))(call)
    assert call() == b"abcd"
    assert_flat(call, SUCCESS_CALLS)
