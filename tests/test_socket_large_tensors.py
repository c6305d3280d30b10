"""Large tensors on the socket client: the request goes out from the caller's
own buffer in pieces, the reply's data is read straight into the result, and
every reply still leaves the connection at the next frame."""
import base64
import signal
import socket
import struct
import textwrap
import time

import pytest
import quelt_sdk
from hostile_measure import run_with_memory_limit
from fake_stream_server import (
    FakeStreamServer,
    packet,
    reply,
    request_payload,
    string,
    tensor_reply,
    u64,
)

MiB = 1 << 20


def pattern(size, seed=0):
    """Bytes that differ along their whole length, so a misplaced piece shows."""
    block = bytes((i * 7 + seed) & 0xFF for i in range(251))
    return (block * (size // len(block) + 1))[:size]


def read_request(sock):
    """One request frame read without reporting it to the test process
    (the client holds the interpreter lock, so large reports could not drain)."""
    def exact(count):
        data = bytearray()
        while len(data) < count:
            chunk = sock.recv(min(count - len(data), 1 << 20))
            if not chunk:
                return None
            data += chunk
        return bytes(data)

    header = exact(12)
    if header is None:
        return None
    model_id, kind, length = struct.unpack("<III", header)
    return model_id, kind, exact(length)


def payload_echo(peer):
    """Answers each request with its whole payload as the output's data."""
    while (frame := read_request(peer.sock)) is not None:
        peer.send(tensor_reply([len(frame[2])], "uint8", frame[2]))


def input_echo(peer):
    """Answers each request with its input tensor, as the identity model does."""
    while (frame := read_request(peer.sock)) is not None:
        payload = frame[2]
        dims = struct.unpack_from("<Q", payload)[0]
        at = 8 + 8 * dims
        at += 8 + struct.unpack_from("<Q", payload, at)[0] + 1
        length = struct.unpack_from("<Q", payload, at)[0]
        data = payload[at + 8: at + 8 + length]
        peer.send(tensor_reply([length], "uint8", data))


@pytest.fixture(params=["unix", "tcp"])
def kind(request):
    return request.param


# Sizes on both sides of the point where data is sent from the caller's
# buffer, and of the client's first read.
@pytest.mark.parametrize("size", [0, 100, 16 * 1024 - 40, 64 * 1024 - 1, 64 * 1024, 8 * MiB + 3])
def test_request_bytes_are_exact_at_every_size(kind, size):
    big = pattern(size, 1)
    extra = {"small": ([2], "FP32", b"\x01" * 8), "large": ([3], "u8", pattern(100_000, 2))}
    with FakeStreamServer(payload_echo, kind=kind) as server:
        client = quelt_sdk.QueltClient(server.endpoint, api_token="tok")
        got = client.infer(5, [size], "uint8", memoryview(big), extra, "session")
        expected = request_payload(
            [size], "uint8", big,
            additional=[(name, (shape, {"FP32": "float32", "u8": "uint8"}[dtype], data))
                        for name, (shape, dtype, data) in extra.items()],
            session_id="session", token="tok",
        )
        assert got == expected


def test_request_with_more_large_inputs_than_one_send_takes():
    """Each large named input is a piece of its own: 600 of them make more
    pieces than the kernel takes in one call."""
    extra = {f"in{i}": ([1], "u8", pattern(64 * 1024, i)) for i in range(600)}
    with FakeStreamServer(payload_echo, kind="unix") as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        got = client.infer(1, [1], "u8", b"\x05", extra)
    expected = request_payload([1], "uint8", b"\x05",
                               additional=[(name, (shape, "uint8", data)) for name, (shape, _, data) in extra.items()])
    assert got == expected


def test_reference_server_echoes_64_mib_less_80_bytes(start_refserver, kind):
    from quelt_refserver import MODELS

    # A server of this test's own: the launcher's output thread must be gone
    # before the later tests fork their fake servers.
    refserver = start_refserver()
    data = pattern(64 * MiB - 80, 3)
    endpoint = refserver.tcp_endpoint if kind == "tcp" else refserver.unix_endpoint
    client = quelt_sdk.QueltClient(endpoint)
    for _ in range(2):
        out, shape, dtype = client.infer_tensor(MODELS["identity"], [len(data)], "uint8", data)
        assert (out == data, shape, dtype) == (True, [len(data)], "uint8")


def test_request_survives_short_and_interrupted_writes():
    """A slow reader and a timer signal every millisecond break the send into
    short writes and interruptions; the server still gets the exact tensor."""
    def slow_echo(peer):
        peer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        header = peer.sock.recv(12, socket.MSG_WAITALL)
        length = struct.unpack("<III", header)[2]
        payload = bytearray()
        while len(payload) < length:
            payload += peer.sock.recv(min(65536, length - len(payload)))
            time.sleep(0.0005)
        peer.send(tensor_reply([len(payload)], "uint8", bytes(payload)))

    data = pattern(8 * MiB, 4)
    ticks = []
    previous = signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
    with FakeStreamServer(slow_echo, kind="unix") as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        try:
            got = client.infer(1, [len(data)], "u8", data)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    assert got == request_payload([len(data)], "uint8", data)
    assert ticks


def sent_in_pieces(frame, cuts):
    """Handler: answers each request with `frame`, cut at `cuts`, a pause between pieces."""
    def handler(peer):
        while read_request(peer.sock) is not None:
            start = 0
            for cut in [*cuts, len(frame)]:
                peer.send(frame[start:cut])
                start = cut
                time.sleep(0.002)
    return handler


LONG_SHAPE = list(range(1, 3001))  # a 24 KB head: longer than the client's first read


@pytest.mark.parametrize(
    "shape, data, cuts",
    [
        ([3], pattern(300_000), [1, 8, 9, 20, 30, 16_000, 16_390, 70_000]),
        (LONG_SHAPE, pattern(50_000), [5, 12_000, 20_000, 24_100, 24_200]),
        ([2], pattern(20_000), [8, 16_392, 16_393]),
    ],
    ids=["small-head", "long-head", "just-past-first-read"],
)
def test_reply_arriving_in_pieces(shape, data, cuts):
    frame = tensor_reply(shape, "UINT8", data)
    with FakeStreamServer(sent_in_pieces(frame, cuts)) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        assert client.infer_tensor(1, [1], "u8", b"\x00") == (data, shape, "uint8")
        assert client.infer(1, [1], "u8", b"\x00") == data
        assert server.connections == 1


BASE64_DATA = pattern(60_000, 5)
TRAILING = b"\x07" * 40_000


@pytest.mark.parametrize(
    "body, outcome",
    [
        # The data travels as base64 text in a body larger than one read.
        (packet([2], "u8", data_base64=base64.b64encode(BASE64_DATA).decode()), BASE64_DATA),
        # Trailing bytes after the record are ignored, and read.
        (packet([2], "u8", pattern(30_000)) + TRAILING, pattern(30_000)),
        (packet([2], "u8", data_base64="") + TRAILING, b""),
        (packet([2], "u8", pattern(30_000), data_base64="AA=="),
         "binary tensor payload must include only one of `data` or `data_base64`"),
        (packet([2], "u8", pattern(30_000))[:-1] + b"\x05", "tag for enum is not valid, found 5"),
        (packet([2], "bfloat16", pattern(30_000)), "Invalid input: Unsupported dtype: bfloat16"),
        (packet([2], "u8") + TRAILING, "binary tensor payload must include `data` or `data_base64`"),
        # A data length beyond the body, small and hostile.
        (u64(1) + u64(2) + string("u8") + b"\x01" + u64(30_002) + pattern(30_000) + b"\x00",
         "io error: unexpected end of file"),
        (u64(1) + u64(2) + string("u8") + b"\x01" + u64(1 << 62) + pattern(30_000), "io error: unexpected end of file"),
        (u64(1 << 40) + pattern(30_000), "io error: unexpected end of file"),
        (u64(0) + u64(40_000) + pattern(30_000), "io error: "),
        (u64(0) + u64(30_000) + b"\xff" * 30_000, "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ],
    ids=["base64", "trailing", "empty-base64", "both", "bad-tag", "dtype", "neither", "past-end", "huge-length",
         "huge-shape", "string-past-end", "bad-utf8"],
)
def test_large_reply_bodies_decode_as_before(kind, body, outcome):
    """Each reply ends at its frame: the next call on the same connection
    reads its own answer."""
    follow = tensor_reply([1], "u8", b"\x2a")

    def handler(peer):
        replies = iter([reply(0, body), follow])
        while read_request(peer.sock) is not None:
            peer.send(next(replies))

    with FakeStreamServer(handler, kind=kind) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        if isinstance(outcome, bytes):
            assert client.infer(1, [1], "u8", b"\x00") == outcome
        else:
            with pytest.raises(RuntimeError) as error:
                client.infer(1, [1], "u8", b"\x00")
            assert str(error.value) == outcome
        assert client.infer(1, [1], "u8", b"\x00") == b"\x2a"
        assert server.connections == 1


def test_close_in_the_middle_of_the_data_is_an_io_failure():
    frame = tensor_reply([1], "u8", pattern(2 * MiB))

    def cut_short(peer):
        while read_request(peer.sock) is not None:
            peer.send(frame[: MiB])
            peer.close()
            return

    with FakeStreamServer(cut_short) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        with pytest.raises(ConnectionError, match="^failed to fill whole buffer$"):
            client.infer(1, [1], "u8", b"\x00")
        assert server.wait_connections(2) == 2


CLIENT_UNDER_MEMORY_LIMIT = textwrap.dedent(
    """
    import sys
    import quelt_sdk
    client = quelt_sdk.QueltClient(sys.argv[1])
    try:
        client.infer(1, [1], "u8", b"\\x00")
    except ConnectionError as error:
        print(type(error).__name__, error)
    """
)


@pytest.mark.parametrize("sent", [1000, 80 * MiB])
def test_announced_data_is_not_allocated_before_it_arrives(sent):
    """A packet that announces almost 4 GiB of data and then stops costs
    memory only for what was sent (the client runs in 1 GiB of address space)."""
    length = 0xFFFFFFFF
    head = u64(1) + u64(1) + string("u8") + b"\x01" + u64(length - 8 - 8 - 8 - 2 - 1 - 8)

    def lie(peer):
        read_request(peer.sock)
        peer.send(struct.pack("<II", 0, length) + head + bytes(sent))
        peer.close()

    with FakeStreamServer(lie) as server:
        result = run_with_memory_limit(CLIENT_UNDER_MEMORY_LIMIT, server.endpoint)
    assert result.stderr == ""
    assert result.stdout.strip() == "ConnectionError failed to fill whole buffer"


def test_stream_chunks_large_and_small_arrive_exact():
    big = pattern(3 * MiB, 6)
    encoded = pattern(40_000, 7)
    frames = (
        tensor_reply([1], "u8", big, code=2)
        + tensor_reply([1], "u8", b"xy", code=2)
        + reply(1, b"E" * 20_000)
        + tensor_reply([1], "u8", data_base64=base64.b64encode(encoded).decode(), code=2)
        + reply(3, b"\x00" * 30_000)
    )

    def handler(peer):
        read_request(peer.sock)
        peer.send(frames)
        time.sleep(5)

    with FakeStreamServer(handler, kind="unix") as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        stream = client.infer_stream(1, [2 * MiB], "u8", pattern(2 * MiB))
        assert next(stream) == big
        assert next(stream) == b"xy"
        with pytest.raises(RuntimeError, match="^E{20000}$"):
            next(stream)
        assert list(stream) == [encoded]
