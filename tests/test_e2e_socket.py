"""QueltClient against the real reference server, over TCP and Unix sockets."""
import struct
import time

import numpy as np
import pytest

import quelt_sdk

from quelt_refserver import MODELS  # noqa: E402

TRANSPORTS = ["tcp", "unix"]
ERROR_TEXT = "Inference error: the error model always fails"


def endpoint(server, transport):
    return server.tcp_endpoint if transport == "tcp" else server.unix_endpoint


def connect(server, transport, **options):
    client = quelt_sdk.QueltClient(endpoint(server, transport), **options)
    try:
        client.infer(MODELS["identity"], [1], "uint8", b"\x00")
    except Exception:
        pass  # the test itself looks at failures
    return client


@pytest.fixture(params=TRANSPORTS)
def client(refserver, request):
    return connect(refserver, request.param)


@pytest.mark.parametrize(
    "array",
    [
        np.linspace(-1, 1, 12, dtype=np.float32).reshape(3, 4),
        np.arange(10, dtype=np.float64),
        np.arange(8, dtype=np.float16).reshape(2, 2, 2),
        np.array([-(2**31), 2**31 - 1], dtype=np.int32),
        np.array([-(2**63), 2**63 - 1], dtype=np.int64),
        np.frombuffer(bytes(range(256)), dtype=np.uint8),
        np.zeros((0, 3), dtype=np.float32),
    ],
    ids=lambda array: f"{array.dtype}{list(array.shape)}",
)
def test_identity_returns_the_tensor_unchanged(client, array):
    data, shape, dtype = client.infer_tensor(MODELS["identity"], list(array.shape), str(array.dtype), array)
    assert (data, shape, dtype) == (array.tobytes(), list(array.shape), str(array.dtype))
    assert client.infer(MODELS["identity"], list(array.shape), str(array.dtype), array) == array.tobytes()


def test_aliases_come_back_canonical(client):
    assert client.infer_tensor(0, [2], "FP16", b"\x00\x3c\x00\x40")[2] == "float16"
    assert client.infer_tensor(0, [1], "UTF8", b"x")[2] == "string"


class Shrinking:
    """An index whose conversion empties the list it sits in."""

    def __init__(self, owner, value):
        self.owner, self.value = owner, value

    def __index__(self):
        self.owner.clear()
        return self.value


class CountingList(list):
    """A list subclass with its own iteration: it must be iterated, not indexed."""

    def __iter__(self):
        return iter([*super().__iter__(), 1])


def test_shape_and_data_sequences_arrive_element_by_element(client):
    assert client.infer_tensor(0, (2, 3), "uint8", list(range(6))) == (bytes(range(6)), [2, 3], "uint8")
    assert client.infer_tensor(0, [6], "uint8", tuple(range(6)))[0] == bytes(range(6))
    assert client.infer_tensor(0, CountingList([4]), "uint8", b"abcd")[1] == [4, 1]
    # Converting an element may change the list: elements past its new end are not read.
    shape = [None, 7, 8]
    shape[0] = Shrinking(shape, 5)
    assert client.infer_tensor(0, shape, "uint8", b"12345")[1] == [5]


def test_named_inputs_and_a_session_do_not_disturb_the_answer(client):
    extra = {"mask": ([2], "uint8", b"\x01\x00"), "scale": ([1], "FP64", b"\x00" * 8)}
    answer = client.infer(MODELS["identity"], [3], "uint8", b"abc", additional_inputs=extra, session_id="s-1")
    assert answer == b"abc"


def test_a_large_tensor_round_trips(client):
    array = np.random.default_rng(1).integers(0, 255, 16 << 20, dtype=np.uint8)
    assert client.infer(MODELS["identity"], [array.size], "uint8", array) == array.tobytes()


def test_sum_reduces_float32(client):
    array = np.random.default_rng(2).standard_normal(1000).astype(np.float32)
    data, shape, dtype = client.infer_tensor(MODELS["sum"], [1000], "float32", array)
    assert shape == [1] and dtype == "float32"
    assert struct.unpack("<f", data)[0] == pytest.approx(float(array.sum(dtype=np.float64)), rel=1e-5)


@pytest.mark.parametrize(
    "model_id, dtype, data, text",
    [
        (MODELS["error"], "float32", b"\x00" * 4, ERROR_TEXT),
        (MODELS["sum"], "int32", b"\x00" * 4, "Invalid input: the sum model takes float32 data, not int32"),
        (MODELS["sum"], "float32", b"\x00" * 6, "Invalid input: 6 bytes are not a whole number of float32 elements"),
        (99, "float32", b"", "Model not loaded"),
    ],
)
def test_server_failures_raise_runtime_error_with_the_server_text(client, model_id, dtype, data, text):
    with pytest.raises(RuntimeError) as failure:
        client.infer(model_id, [len(data)], dtype, data)
    assert str(failure.value) == text
    # The failure left the connection usable.
    assert client.infer(MODELS["identity"], [1], "uint8", b"\x07") == b"\x07"


def test_the_slow_model_waits(start_refserver):
    server = start_refserver(slow_ms=300, shm=False)
    client = connect(server, "tcp")
    started = time.monotonic()
    assert client.infer(MODELS["slow"], [3], "uint8", b"abc") == b"abc"
    assert 0.29 <= time.monotonic() - started < 3


class TestStreaming:
    def test_the_stream_model_splits_the_input_into_chunks(self, client):
        array = np.arange(10, dtype=np.float32)
        chunks = list(client.infer_stream(MODELS["stream"], [10], "float32", array))
        assert [len(chunk) // 4 for chunk in chunks] == [2, 3, 2, 3]
        assert b"".join(chunks) == array.tobytes()

    def test_chunk_count_follows_the_flag_and_the_input(self, start_refserver):
        server = start_refserver(stream_chunks=3, shm=False)
        client = connect(server, "unix")
        assert list(client.infer_stream(MODELS["stream"], [7], "uint8", b"abcdefg")) == [b"ab", b"cd", b"efg"]
        assert list(client.infer_stream(MODELS["stream"], [2], "uint8", b"ab")) == [b"a", b"b"]
        assert list(client.infer_stream(MODELS["stream"], [0], "uint8", b"")) == []

    def test_a_unary_model_streams_one_chunk(self, client):
        assert list(client.infer_stream(MODELS["identity"], [3], "uint8", b"xyz")) == [b"xyz"]

    def test_a_failing_model_streams_an_error_then_ends(self, client):
        stream = client.infer_stream(MODELS["error"], [1], "uint8", b"x")
        with pytest.raises(RuntimeError, match=f"^{ERROR_TEXT}$"):
            next(stream)
        assert list(stream) == []

    def test_a_stream_of_many_chunks(self, start_refserver):
        server = start_refserver(stream_chunks=500, shm=False)
        client = connect(server, "tcp")
        array = np.arange(1000, dtype=np.int64)
        chunks = list(client.infer_stream(MODELS["stream"], [1000], "int64", array))
        assert len(chunks) == 500 and b"".join(chunks) == array.tobytes()


@pytest.fixture(scope="class")
def guarded():
    """A server that wants the API token, shared by the tests of TestToken."""
    from quelt_refserver import RefServer

    with RefServer(token="s3cret", shm=False) as server:
        yield server


class TestToken:
    @pytest.mark.parametrize("transport", TRANSPORTS)
    def test_the_right_token_is_served(self, guarded, transport):
        client = connect(guarded, transport, api_token="s3cret")
        assert client.infer(0, [2], "uint8", b"ok") == b"ok"
        assert list(client.infer_stream(MODELS["stream"], [2], "uint8", b"ok")) == [b"o", b"k"]

    @pytest.mark.parametrize(
        "token, text",
        [
            (None, "Unauthorized: the request carries no API token"),
            ("wrong", "Unauthorized: the API token is not valid"),
            ("s3cret ", "Unauthorized: the API token is not valid"),
        ],
    )
    def test_a_missing_or_wrong_token_is_refused(self, guarded, token, text):
        client = connect(guarded, "tcp", **({"api_token": token} if token else {}))
        with pytest.raises(RuntimeError) as failure:
            client.infer(0, [2], "uint8", b"no")
        assert str(failure.value) == text
        stream = client.infer_stream(MODELS["stream"], [2], "uint8", b"no")
        with pytest.raises(RuntimeError, match=text):
            next(stream)
        assert list(stream) == []


class TestFaults:
    @pytest.mark.parametrize(
        "fault, exception, text",
        [
            ("truncate", ConnectionError, "failed to fill whole buffer"),
            ("drop", ConnectionError, "failed to fill whole buffer"),
            ("reset", ConnectionError, "Connection reset by peer (os error 104)"),
            ("garbage", RuntimeError, "io error: unexpected end of file"),
        ],
    )
    def test_each_fault_model_fails_the_call_and_the_client_recovers(self, client, fault, exception, text):
        if fault == "reset" and client.protocol() != "tcp":
            text = "failed to fill whole buffer"  # a Unix socket cannot be reset, only closed
        with pytest.raises(exception) as failure:
            client.infer(MODELS[fault], [1], "uint8", b"x")
        assert str(failure.value) == text
        assert client.infer(MODELS["identity"], [1], "uint8", b"y") == b"y"

    def test_a_fault_mid_stream_is_reported_by_the_iterator(self, client):
        stream = client.infer_stream(MODELS["truncate"], [1], "uint8", b"x")
        with pytest.raises(RuntimeError, match="failed to fill whole buffer"):
            next(stream)
        stream = client.infer_stream(MODELS["garbage"], [1], "uint8", b"x")
        with pytest.raises(RuntimeError, match="io error: unexpected end of file"):
            next(stream)
        assert list(stream) == []

    def test_the_fault_flag_breaks_every_model(self, start_refserver):
        server = start_refserver(fault="garbage", shm=False)
        client = connect(server, "unix")
        for model_id in (MODELS["identity"], MODELS["sum"], 42):
            with pytest.raises(RuntimeError, match="io error: unexpected end of file"):
                client.infer(model_id, [4], "float32", b"\x00" * 16)


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_the_client_rides_out_a_server_restart(start_refserver, transport):
    server = start_refserver(shm=False)
    client = connect(server, transport)
    assert client.infer(0, [1], "uint8", b"a") == b"a"  # leaves a connection in the pool
    server.restart()
    # The pooled connection is dead; the one retry on a fresh connection succeeds.
    assert client.infer(0, [1], "uint8", b"b") == b"b"
    server.stop()
    with pytest.raises(ConnectionError):
        client.infer(0, [1], "uint8", b"c")


def test_many_exchanges_on_one_connection(client):
    rng = np.random.default_rng(3)
    for size in rng.integers(0, 5000, 300):
        array = rng.integers(0, 255, size, dtype=np.uint8)
        assert client.infer(0, [int(size)], "uint8", array) == array.tobytes()
