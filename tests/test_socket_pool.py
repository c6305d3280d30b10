"""QueltClient's connections: opening, pooling, the single retry, and failures."""
import os
import socket
import tempfile
import uuid

import pytest
import quelt_sdk
from fake_stream_server import FakeStreamServer, answer_each_request, answer_in_turn, tensor_reply
from hostile_measure import open_descriptors

OK = tensor_reply([1], "uint8", b"\x2a")
CHUNK = tensor_reply([1], "uint8", b"\x2a", code=2)


@pytest.fixture(params=["tcp", "unix"])
def server(request):
    with FakeStreamServer(answer_each_request(OK), kind=request.param) as server:
        yield server


def test_consecutive_calls_share_one_connection(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    assert [client.infer(1, [1], "u8", b"\x00") for _ in range(3)] == [b"\x2a"] * 3
    assert client.infer_tensor(1, [1], "u8", b"\x00") == (b"\x2a", [1], "uint8")
    assert server.connections == 1


def test_max_pool_size_zero_keeps_nothing(server):
    client = quelt_sdk.QueltClient(server.endpoint, max_pool_size=0)
    for _ in range(3):
        client.infer(1, [1], "u8", b"\x00")
    assert server.connections == 3


def test_idle_connections_close_with_the_client(server):
    before = open_descriptors()
    client = quelt_sdk.QueltClient(server.endpoint)
    client.infer(1, [1], "u8", b"\x00")
    assert open_descriptors() == before + 1
    del client
    assert open_descriptors() == before


def test_dead_idle_connection_is_retried_silently():
    def answer_once_then_close(peer):
        peer.read_frame()
        peer.send(OK)
        peer.close()

    with FakeStreamServer(answer_in_turn(answer_once_then_close, OK)) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        assert client.infer(1, [1], "u8", b"\x00") == b"\x2a"
        assert client.infer(2, [1], "u8", b"\x00") == b"\x2a"  # first attempt meets the closed connection
        assert client.infer(3, [1], "u8", b"\x00") == b"\x2a"  # the fresh connection was pooled
        assert server.connections == 2
        # The request was repeated on the fresh connection.
        assert server.received(1)[:4] == (2).to_bytes(4, "little")


@pytest.mark.parametrize("behaviour", ["close", "reset", "read-then-close", "half-reply"])
def test_two_attempts_then_connection_error(behaviour):
    def misbehave(peer):
        if behaviour == "close":
            peer.close()
        elif behaviour == "reset":
            peer.reset()
        else:
            peer.read_frame()
            if behaviour == "half-reply":
                peer.send(OK[:5])
            peer.close()

    with FakeStreamServer(misbehave) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        with pytest.raises(ConnectionError) as raised:
            client.infer(1, [1], "u8", b"\x00")
        assert type(raised.value) is ConnectionError
        assert server.connections == 2
        if behaviour in ("read-then-close", "half-reply"):
            assert str(raised.value) == "failed to fill whole buffer"


def test_rejected_main_dtype_borrows_a_connection_and_gives_it_back(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    with pytest.raises(ValueError):
        client.infer(1, [1], "bogus", b"\x00")
    assert server.wait_connections(1) == 1 and server.received() == b""
    client.infer(1, [1], "u8", b"\x00")
    assert server.connections == 1


def test_rejected_additional_dtype_takes_no_connection(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    for call in (client.infer, client.infer_tensor, client.infer_stream):
        with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: f32$"):
            call(1, [1], "u8", b"\x00", {"x": ([1], "F32", b"\x00")})
    assert server.wait_connections(0) == 0


def free_tcp_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "endpoint, message",
    [
        (f"tcp://127.0.0.1:{free_tcp_port()}", "Connection refused (os error 111)"),
        ("tcp://localhost", "invalid socket address"),
        ("tcp://127.0.0.1:65536", "invalid port value"),
        ("tcp://127.0.0.1:-1", "invalid port value"),
        ("tcp://127.0.0.1:", "invalid port value"),
        ("tcp://[::1]:x", "invalid port value"),
        ("unix:///nonexistent/quelt-missing.sock", "No such file or directory (os error 2)"),
        ("unix://" + "x" * 200, "File name too long (os error 36)"),
        (f"pipe://quelt-missing-{uuid.uuid4().hex}", "No such file or directory (os error 2)"),
    ],
)
def test_connect_failures_reach_the_first_call(endpoint, message):
    client = quelt_sdk.QueltClient(endpoint)  # the constructor connects to nothing
    for call in (client.infer, client.infer_tensor, client.infer_stream):
        with pytest.raises(ConnectionError) as raised:
            call(1, [1], "u8", b"\x00")
        assert str(raised.value) == message


def test_bracketed_ipv6_literal_is_an_address():
    client = quelt_sdk.QueltClient(f"tcp://[::1]:{free_tcp_port()}")
    with pytest.raises(ConnectionError) as raised:
        client.infer(1, [1], "u8", b"\x00")
    # Refused where IPv6 loopback exists, unreachable where it does not.
    assert str(raised.value).endswith(("(os error 111)", "(os error 99)", "(os error 97)", "(os error 101)"))


def test_host_names_are_resolved_and_every_address_tried():
    with FakeStreamServer(answer_each_request(OK)) as server:
        # localhost may resolve to ::1 first, where nothing listens.
        client = quelt_sdk.QueltClient(host="localhost", port=server.port)
        assert client.infer(1, [1], "u8", b"\x00") == b"\x2a"


def test_pipe_names_map_to_sockets_in_the_temp_directory():
    name = f"quelt-pipe-{uuid.uuid4().hex[:12]}"
    path = os.path.join(tempfile.gettempdir(), name + ".sock")
    with FakeStreamServer(answer_each_request(OK), kind="unix", path=path):
        client = quelt_sdk.QueltClient(pipe_name=name)
        assert client.endpoint() == "pipe://\\\\.\\pipe\\" + name
        assert client.infer(1, [1], "u8", b"\x00") == b"\x2a"
        assert quelt_sdk.QueltClient(f"pipe://{name}").infer(1, [1], "u8", b"\x00") == b"\x2a"
        assert quelt_sdk.QueltClient(path).infer(1, [1], "u8", b"\x00") == b"\x2a"  # a path is used as is


def test_signals_during_a_wait_do_not_break_the_call():
    import signal
    import time

    def answer_late(peer):
        while (frame := peer.read_frame()) is not None:
            time.sleep(0.3)
            peer.send(OK if frame[1] == 1 else CHUNK)

    ticks = []
    previous = signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
    try:
        with FakeStreamServer(answer_late) as server:
            client = quelt_sdk.QueltClient(server.endpoint)
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
            try:
                assert client.infer(1, [1], "u8", b"\x00") == b"\x2a"
                stream = client.infer_stream(1, [1], "u8", b"\x00")
                assert next(stream) == b"\x2a"  # read once the server's reply arrives
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            assert ticks and server.connections == 2
    finally:
        signal.signal(signal.SIGALRM, previous)
