"""QueltHybridClient against a scripted control server and a real region."""

from __future__ import annotations

import os
import secrets
import struct
import tempfile
import time

import pytest

from quelt_sdk import QueltHybridClient
from fake_control_server import FakeControlServer, answer, close_connection, reply
from hostile_measure import open_descriptors, thread_count
from shm_region_fixture import MAGIC, ONE_SLOT_POOL, Region, unique_name

# A hybrid client runs threads of its own; the tests marked with this fork
# while one exists on purpose (a server that appears after the client, a
# child that inherits a client), and CPython 3.12+ warns about such forks.
forks_beside_client_threads = pytest.mark.filterwarnings(
    r"ignore:This process \(pid=\d+\) is multi-threaded, use of fork\(\) may lead to deadlocks in the child\."
    ":DeprecationWarning")


def socket_path() -> str:
    # Short on purpose: a Unix socket path has room for 107 bytes only.
    return os.path.join(tempfile.gettempdir(), f"qh-{os.getpid()}-{secrets.token_hex(4)}.sock")


@pytest.fixture
def region(one_slot_region):
    return one_slot_region


@pytest.fixture
def server(region):
    with FakeControlServer(socket_path(), region) as server:
        yield server


@pytest.fixture
def client(region, server):
    return QueltHybridClient(region.name, server.path)


def test_round_trip_sends_one_52_byte_frame_per_call(client, server, region):
    before = time.time_ns()
    assert client.infer([2, 3], "float32", bytes(range(24))) == bytes(range(24))
    assert client.infer(shape=[1], dtype="u8", data=b"z") == b"z"
    after = time.time_ns()

    first, second = server.requests
    assert [len(r.raw) for r in server.requests] == [52, 52]
    assert (first.model_id, first.kind, first.length) == (0, 4, 40)
    assert second.request_id == first.request_id + 1
    assert (first.reserved, first.flags) == (0, bytes(4))
    assert before <= first.timestamp_ns <= second.timestamp_ns <= after
    assert first.tensor_size == 24 + 80 and second.tensor_size == 1 + 80
    # Both calls used the one slot of the pool, so it was given back in between.
    assert first.tensor_offset == second.tensor_offset == region.pool_offset
    assert server.connections == 1


@pytest.mark.parametrize(
    "shape, dtype, data, dims, code",
    [
        ([2, 3], "FP32", bytes(24), [2, 3], 0),
        ([4], "int64", bytes(32), [4], 3),
        ([1], "float64", bytes(8), [1], 1),
        ([5], "i32", bytes(20), [5], 2),
        ([3], "Float16", bytes(6), [3], 0),
        ([], "string", b"abc", [], 0),
        ([-1, 2], "uint8", b"xy", [2**64 - 1, 2], 0),
        ([1] * 8, "u8", b"q", [1] * 8, 0),
    ],
)
def test_input_tensor_block(client, server, shape, dtype, data, dims, code):
    client.infer(shape, dtype, data)
    block = server.inputs[0]
    assert (block.ndim, block.dtype, block.reserved) == (len(dims), code, bytes(3))
    assert list(block.shape) == dims + [0] * (8 - len(dims))
    assert block.data == data


def test_empty_data_sends_tensor_size_80(client, server):
    assert client.infer([0], "float32", b"") == b""
    assert server.requests[0].tensor_size == 80


def test_request_numbers_start_anywhere_and_differ_between_clients(region, server):
    """Numbers count up per client from a random start, so a late answer to
    one client never matches another client's request."""
    for _ in range(3):  # one after another: the server serves one connection at a time
        client = QueltHybridClient(region.name, server.path)
        client.infer([1], "u8", b"x")
        client.infer([1], "u8", b"y")
        del client
    ids = [r.request_id for r in server.requests]
    assert [second - first for first, second in zip(ids[::2], ids[1::2])] == [1, 1, 1]
    assert len(set(ids[::2])) == 3 and 1 not in ids


def test_failed_calls_consume_numbers_and_return_their_slot(client, server):
    assert client.infer([1], "u8", b"x") == b"x"
    with pytest.raises(ValueError, match=r"^Invalid input: Unsupported dtype: bfloat16$"):
        client.infer([1], "BFloat16", b"x")
    # More than 8 dimensions cannot be described by a tensor block.
    with pytest.raises(ValueError, match="9 dimensions"):
        client.infer([1] * 9, "u8", b"x")
    with pytest.raises(RuntimeError) as exhausted:
        client.infer([1], "u8", bytes(262144 - 79))
    assert str(exhausted.value) == (
        "SHM tensor pool exhausted (required=262145 bytes, largest_slot=262144 bytes, "
        "layout=class0(base=131072 slot_size=262144 slots=1))"
    )
    server.then(reply(1, b"no"))
    with pytest.raises(RuntimeError):
        client.infer([1], "u8", b"x")
    # The largest tensor that fits the slot still goes through.
    assert client.infer([1], "u8", bytes(262144 - 80)) == bytes(262144 - 80)
    first = server.requests[0].request_id
    assert [r.request_id - first for r in server.requests] == [0, 4, 5]


@pytest.mark.parametrize(
    "code, body, message",
    [
        (0, b"", "io error: unexpected end of file"),
        (0, bytes(39), "io error: unexpected end of file"),
        (7, "model 3 failed: ümlaut".encode(), "model 3 failed: ümlaut"),
        (1, b"", ""),
        (2, b"bad \xff text", "bad \ufffd text"),
        (0xFFFFFFFF, b"x" * 70000, "x" * 70000),
    ],
    ids=["empty-success", "short-success", "text", "empty-text", "invalid-utf8", "long-text"],
)
def test_control_failures_keep_the_connection_in_step(client, server, code, body, message):
    server.then(reply(code, body))
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"a")
    assert str(raised.value) == message
    # The whole reply was consumed and the slot returned: the next call works
    # on the same connection.
    assert client.infer([1], "u8", b"b") == b"b"
    assert server.connections == 1


def test_reply_fields_other_than_the_offset_are_not_consulted(client, server):
    # Another request id, a wrong size, a non-zero status and bytes after the
    # 40-byte response inside the body: the output is still taken from the
    # block the offset names, with the block's own length.
    server.then(answer(b"output", request_id=77, shm_size=3, trailing=b"trailing bytes"))
    assert client.infer([1], "u8", b"in") == b"output"
    assert client.infer([1], "u8", b"next") == b"next"


@forks_beside_client_threads
def test_missing_socket_fails_until_the_server_appears(region):
    path = socket_path()
    client = QueltHybridClient(region.name, path)  # the constructor does not connect
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"a")
    assert str(raised.value) == f"Failed to open named pipe '{path}': No such file or directory (os error 2)"
    with FakeControlServer(path, region) as server:
        assert client.infer([1], "u8", b"b") == b"b"
        assert len(server.requests) == 1


@forks_beside_client_threads
def test_pipe_path_names_a_socket_in_the_temporary_directory(region):
    name = f"qh-{os.getpid()}-{secrets.token_hex(4)}"
    pipe = "\\\\.\\pipe\\" + name
    client = QueltHybridClient(region.name, pipe)
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"a")
    assert str(raised.value).startswith(f"Failed to open named pipe '{pipe}': ")
    with FakeControlServer(os.path.join(tempfile.gettempdir(), name + ".sock"), region):
        assert client.infer([1], "u8", b"b") == b"b"


def test_a_connection_closed_by_the_server_stays_broken(client, server):
    server.then(close_connection())
    with pytest.raises(RuntimeError, match="^early eof$"):
        client.infer([1], "u8", b"a")
    # The server would accept a new connection, but the client keeps its own.
    with pytest.raises(RuntimeError):
        client.infer([1], "u8", b"b")
    assert server.connections == 1
    # Slots are still returned on these paths.
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"c")
    assert "exhausted" not in str(raised.value)


def test_answers_pointing_outside_the_region_are_refused(client, server, region):
    huge_len = region.put_tensor(b"")
    struct.pack_into("<Q", region.buf, huge_len + 72, 2**63)
    near_end = region.size - 40
    for offset in (region.size * 4, 2**64 - 8, near_end, huge_len):
        server.then(answer(b"", offset=offset))
        with pytest.raises(RuntimeError) as raised:
            client.infer([1], "u8", b"a")
        assert "outside" in str(raised.value) or "more than" in str(raised.value)
    assert client.infer([1], "u8", b"ok") == b"ok"


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda: None, ConnectionError, "Shared memory error: Opening the shared memory failed, os error 2"),
        (lambda: Region(pool_size=ONE_SLOT_POOL, magic=MAGIC + 1), ConnectionError,
         "Invalid magic number in shared memory"),
        (lambda: Region(pool_size=ONE_SLOT_POOL, version=3), ConnectionError, "Shared memory version mismatch"),
    ],
)
def test_constructor_refuses_bad_regions(make, error, message):
    region = make()
    try:
        with pytest.raises(error) as raised:
            QueltHybridClient(region.name if region else unique_name("qh-missing"), socket_path())
        assert str(raised.value) == message
    finally:
        if region:
            region.close()


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((1, "p"), {}, TypeError),
        (("r",), {}, TypeError),
        ((), {"shm_name": "r", "socket_path": None}, TypeError),
    ],
)
def test_constructor_argument_conversion(args, kwargs, error):
    with pytest.raises(error):
        QueltHybridClient(*args, **kwargs)


def test_clients_leave_no_thread_or_descriptor_behind(region, server):
    def cycle():
        client = QueltHybridClient(region.name, server.path)
        assert client.infer([1], "u8", b"x") == b"x"
        return client

    cycle()  # warm-up: the interpreter's own lazily made objects
    threads, fds = thread_count(), open_descriptors()
    alive = cycle()
    assert thread_count() == threads + len(os.sched_getaffinity(0))
    del alive
    for _ in range(100):
        cycle()
    # The fake server, in this process too, closes its end once it sees EOF.
    deadline = time.monotonic() + 5
    while open_descriptors() != fds and time.monotonic() < deadline:
        time.sleep(0.02)
    assert (thread_count(), open_descriptors()) == (threads, fds)


def test_one_worker_per_processor_the_process_may_use(region):
    allowed = os.sched_getaffinity(0)
    if len(allowed) < 2:
        pytest.skip("needs two processors to tell the process's mask from the machine")
    os.sched_setaffinity(0, {min(allowed)})  # as under `taskset -c N`
    try:
        threads = thread_count()
        client = QueltHybridClient(region.name, socket_path())
        assert thread_count() == threads + 1
        del client
    finally:
        os.sched_setaffinity(0, allowed)


@forks_beside_client_threads
def test_a_forked_child_neither_uses_nor_disturbs_the_parents_client(region, server):
    client = QueltHybridClient(region.name, server.path)
    assert client.infer([1], "u8", b"before") == b"before"
    pid = os.fork()
    if pid == 0:  # the child refuses the inherited client, then destroys its copy
        status = 3
        try:
            try:
                client.infer([1], "u8", b"child")
            except RuntimeError as error:
                status = 0 if "another process" in str(error) else 2
            client = None  # the last reference in this process
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    # The child's teardown left the parent's connection and workers alone.
    assert client.infer([1], "u8", b"after") == b"after"
    first, second = server.requests
    assert second.request_id == first.request_id + 1
