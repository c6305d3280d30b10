"""QueltShmClient and QueltHybridClient against the real reference server:
tensors through the server's region, requests through its queues or over its
Unix socket."""
import os
import struct
import time

import numpy as np
import pytest

import quelt_sdk

CLIENTS = ["shm", "hybrid"]
ERROR_TEXT = "Inference error: the error model always fails"
LARGEST_TENSOR = (64 << 20) - 80  # a 64 MiB pool slot less the block head


def make_client(server, kind):
    if kind == "shm":
        client = quelt_sdk.QueltShmClient(server.shm_name)
    else:
        client = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
    try:
        client.infer([1], "uint8", b"\x00")
    except Exception:
        pass  # the test itself looks at failures
    return client


@pytest.fixture(params=CLIENTS)
def client(refserver, request):
    return make_client(refserver, request.param)


@pytest.fixture(scope="module")
def model_servers():
    """One server per shared-memory model, started on first use."""
    from quelt_refserver import RefServer

    servers = {}

    def get(model):
        if model not in servers:
            # Small pools: their regions are reserved in full, and these calls are small.
            servers[model] = RefServer(shm_model=model, tcp=False, pool_size=8 << 20).start()
        return servers[model]

    yield get
    for server in servers.values():
        server.stop()


@pytest.mark.parametrize(
    "array",
    [
        np.linspace(-1, 1, 12, dtype=np.float32).reshape(3, 4),
        np.arange(10, dtype=np.float64),
        np.array([-(2**63), 2**63 - 1], dtype=np.int64),
        np.frombuffer(bytes(range(256)), dtype=np.uint8),
        np.zeros(0, dtype=np.int32),
    ],
    ids=lambda array: f"{array.dtype}{list(array.shape)}",
)
def test_identity_returns_the_tensor_unchanged(client, array):
    assert client.infer(list(array.shape), str(array.dtype), array) == array.tobytes()


@pytest.mark.parametrize("size", [1, 262144 - 80, 262144 - 79, 5 << 20, LARGEST_TENSOR])
def test_tensors_of_every_slot_class_round_trip(client, size):
    array = np.random.default_rng(size).integers(0, 255, size, dtype=np.uint8)
    assert client.infer([size], "uint8", array) == array.tobytes()


def test_an_answer_in_the_input_slot_is_copied_out_before_the_slot_is_reused(client):
    # The identity model answers with the input block itself: each result must
    # be the client's own copy, untouched by the next call into the same slot.
    size = 4 << 20
    first, second = (np.full(size, fill, dtype=np.uint8) for fill in (0x5A, 0xA5))
    first[::4097] = 7  # not one repeated byte: a misplaced read shows
    first_result = client.infer([size], "uint8", first)
    second_result = client.infer([size], "uint8", second)
    assert first_result == first.tobytes()
    assert second_result == second.tobytes()


def test_many_requests_in_a_row_each_get_their_own_answer(client):
    rng = np.random.default_rng(4)
    for size in rng.integers(1, 3000, 500):
        array = rng.integers(0, 255, size, dtype=np.uint8)
        assert client.infer([int(size)], "uint8", array) == array.tobytes()


@pytest.mark.parametrize("kind", CLIENTS)
def test_the_sum_model(model_servers, kind):
    client = make_client(model_servers("sum"), kind)
    array = np.random.default_rng(5).standard_normal(4096).astype(np.float32)
    result = client.infer([4096], "float32", array)
    assert struct.unpack("<f", result)[0] == pytest.approx(float(array.sum(dtype=np.float64)), rel=1e-5)


@pytest.mark.parametrize("kind", CLIENTS)
def test_the_error_model_raises_its_text(model_servers, kind):
    client = make_client(model_servers("error"), kind)
    for _ in range(2):  # and the client stays usable
        with pytest.raises(RuntimeError) as failure:
            client.infer([1], "float32", b"\x00" * 4)
        assert str(failure.value) == ERROR_TEXT


@pytest.mark.parametrize("kind", CLIENTS)
@pytest.mark.parametrize("fault", ["garbage", "truncate"])
def test_answers_pointing_outside_the_region_are_refused(model_servers, kind, fault):
    # garbage names an offset past the region's end; truncate an output block
    # whose length runs past it. Either must fail cleanly, never crash.
    client = make_client(model_servers(fault), kind)
    with pytest.raises(RuntimeError):
        client.infer([4], "uint8", b"abcd")


def test_a_hybrid_fault_breaks_the_control_connection(model_servers):
    client = make_client(model_servers("truncate"), "hybrid")
    with pytest.raises(RuntimeError):
        client.infer([1], "uint8", b"x")


@pytest.mark.slow
def test_an_unanswered_request_times_out(model_servers):
    """Takes about 6 seconds: the client's deadline."""
    client = quelt_sdk.QueltShmClient(model_servers("drop").shm_name)
    started = time.monotonic()
    try:
        client.infer([1], "uint8", b"x")
    except TimeoutError as failure:
        assert str(failure) == "Request timed out"
    else:
        pytest.fail("an unanswered request returned")
    assert 6 <= time.monotonic() - started < 8


def test_a_hybrid_client_without_the_socket(refserver, tmp_path):
    missing = str(tmp_path / "none.sock")
    client = quelt_sdk.QueltHybridClient(refserver.shm_name, missing)
    try:
        client.infer([1], "uint8", b"x")
    except RuntimeError as failure:
        assert str(failure).startswith(f"Failed to open named pipe '{missing}': No such file or directory")
    else:
        pytest.fail("the call succeeded without a server socket")


@pytest.mark.parametrize("kind", CLIENTS)
def test_after_a_server_restart_a_new_client_object_is_needed(start_refserver, kind):
    server = start_refserver(tcp=False)
    old = make_client(server, kind)
    assert old.infer([2], "uint8", b"ok") == b"ok"
    server.restart()
    assert os.path.exists(f"/dev/shm/{server.shm_name}")
    if kind == "hybrid":
        # Its control connection went down with the old server, for good.
        with pytest.raises(RuntimeError):
            old.infer([2], "uint8", b"no")
    new = make_client(server, kind)
    assert new.infer([3], "uint8", b"new") == b"new"


def test_a_server_without_a_region_refuses_hybrid_requests(start_refserver):
    # The region of one server, the socket of another that has none.
    with_region = start_refserver(tcp=False, unix=False)
    without_region = start_refserver(tcp=False, shm=False)
    hybrid = quelt_sdk.QueltHybridClient(with_region.shm_name, without_region.socket_path)
    try:
        hybrid.infer([1], "uint8", b"x")
    except RuntimeError as failure:
        assert str(failure) == "Model not loaded (this server has no shared-memory region)"
    else:
        pytest.fail("a server without a region answered a hybrid request")


def server_sleeps(pid):
    """How often the server's threads have blocked so far."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            total += sum(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches"))
    return total


def test_hybrid_calls_do_not_wake_the_server_for_nothing(start_refserver):
    # The server must block once per call, waiting for the next request. A
    # server thread that the client's reading of a reply woke for nothing
    # blocks twice.
    server = start_refserver(shm_model="identity")
    client = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
    client.infer([1], "uint8", b"x")
    calls = 3000
    before = server_sleeps(server.pid)
    for _ in range(calls):
        client.infer([1], "uint8", b"x")
    per_call = (server_sleeps(server.pid) - before) / calls
    assert per_call < 1.4, per_call
