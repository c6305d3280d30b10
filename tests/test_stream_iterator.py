"""infer_stream and StreamIterator: frames, failures, ownership of the connection."""
import os
import socket
import struct
import subprocess
import sys
import threading

import pytest
import quelt_sdk
from fake_stream_server import FakeStreamServer, answer_each_request, packet, reply, request_payload
from hostile_measure import open_descriptors, run_with_memory_limit

END = reply(3, b"done")


def chunk(data, dtype="u8", data_base64=None):
    return reply(2, packet([len(data)], dtype, None if data_base64 else data, data_base64))


def streaming(*frames, kind="tcp"):
    return FakeStreamServer(answer_each_request(*frames), kind=kind)


@pytest.mark.parametrize(
    "frames, items",
    [
        ([chunk(b"ab"), chunk(b"cde"), END], [b"ab", b"cde"]),
        ([chunk(b""), chunk(b"x", data_base64="eA=="), reply(3)], [b"", b"x"]),
        ([chunk(b"a"), reply(2), chunk(b"never")], [b"a"]),  # empty body ends, whatever the code
        ([reply(1), chunk(b"never")], []),
        ([chunk(b"a"), reply(9, b"\x00\x01\x02\x03"), chunk(b"never")], [b"a"]),
        ([chunk(b"a"), reply(0, packet([1], "u8", b"z")), chunk(b"never")], [b"a"]),
        ([chunk(b"\x00\x01", dtype="FP16"), END], [b"\x00\x01"]),
    ],
)
@pytest.mark.parametrize("kind", ["tcp", "unix"])
def test_chunks_until_the_end(frames, items, kind):
    with streaming(*frames, kind=kind) as server:
        stream = quelt_sdk.QueltClient(server.endpoint).infer_stream(3, [2], "FP32", b"\x00" * 8)
        assert iter(stream) is stream
        assert list(stream) == items
        # The end is remembered: nothing more is read, even though the server
        # has more frames queued.
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(stream)


def test_request_is_a_kind_2_frame():
    with streaming(END) as server:
        client = quelt_sdk.QueltClient(server.endpoint, api_token="tok")
        list(client.infer_stream(7, [2], "i32", b"\x01" * 8, {"k": ([1], "utf8", b"v")}, "s"))
        data = server.received()
        model_id, kind, length = struct.unpack("<III", data[:12])
        assert (model_id, kind) == (7, 2)
        assert data[12:] == request_payload(
            [2], "int32", b"\x01" * 8, [("k", ([1], "string", b"v"))], session_id="s", token="tok"
        )
        assert length == len(data) - 12


@pytest.mark.parametrize(
    "frame, message",
    [
        (reply(1, b"Inference error: boom"), "Inference error: boom"),
        (reply(1, b"bad \xc3\x28 utf8"), "bad \ufffd( utf8"),
        (reply(2, packet([1], "bfloat16", b"x")), "Invalid input: Unsupported dtype: bfloat16"),
        (reply(2, packet([1], "ΣΑΣ", b"x")), "Invalid input: Unsupported dtype: σας"),
        # The server's own text is shown as it came, never lowered.
        (reply(1, "Invalid input: Unsupported dtype: ΣΑΣ".encode()), "Invalid input: Unsupported dtype: ΣΑΣ"),
        (reply(2, packet([1], "u8")), "binary tensor payload must include `data` or `data_base64`"),
        (reply(2, packet([1], "u8", None, "AAECAw")), "Invalid padding"),
        (reply(2, b"\x01"), "io error: unexpected end of file"),
    ],
)
def test_failed_frame_raises_and_the_next_frame_is_still_read(frame, message):
    with streaming(frame, chunk(b"after"), END) as server:
        stream = quelt_sdk.QueltClient(server.endpoint).infer_stream(1, [1], "u8", b"\x00")
        with pytest.raises(RuntimeError) as raised:
            next(stream)
        assert type(raised.value) is RuntimeError and str(raised.value) == message
        assert list(stream) == [b"after"]


@pytest.mark.parametrize("frames", [[], [chunk(b"a")], [reply(2, b"")[:6]], [reply(2, packet([1], "u8", b"a"))[:12]]])
def test_connection_closed_mid_stream(frames):
    def send_then_close(peer):
        peer.read_frame()
        for frame in frames:
            peer.send(frame)
        peer.close()

    with FakeStreamServer(send_then_close) as server:
        stream = quelt_sdk.QueltClient(server.endpoint).infer_stream(1, [1], "u8", b"\x00")
        items = []
        with pytest.raises(RuntimeError, match="^failed to fill whole buffer$"):
            for item in stream:
                items.append(item)
        assert items == ([b"a"] if frames == [chunk(b"a")] else [])


SECOND_READ_AFTER_MEMORY_RAN_OUT = """
import sys, quelt_sdk
stream = quelt_sdk.QueltClient(sys.argv[1]).infer_stream(1, [1], "u8", b"\\x00")
for _ in range(2):
    try:
        next(stream)
        print("chunk")
    except StopIteration:
        print("StopIteration")
    except Exception as error:
        print(type(error).__name__, error)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves terabytes of shadow memory, so no address-space limit can hold")
def test_a_chunk_that_runs_out_of_memory_breaks_the_stream_off():
    # A 600 MiB chunk of zeros: the client runs out of memory inside its
    # data, where the next read would take zeros for an empty, final frame.
    size = 600 << 20
    head = struct.pack("<Qq", 1, size) + struct.pack("<Q", 2) + b"u8" + b"\x01" + struct.pack("<Q", size)

    def huge_chunk(peer):
        peer.read_frame()
        peer.send(struct.pack("<II", 2, len(head) + size + 1) + head)
        zeros = bytes(1 << 20)
        try:
            for _ in range(size >> 20):
                peer.send(zeros)
        except OSError:
            pass  # the client has gone

    with FakeStreamServer(huge_chunk) as server:
        seen = run_with_memory_limit(SECOND_READ_AFTER_MEMORY_RAN_OUT, server.endpoint)
    assert seen.stdout.splitlines() == [
        "MemoryError ", "RuntimeError the stream broke off inside a frame; start a new stream"], seen.stderr


def test_streams_use_connections_of_their_own():
    with streaming(chunk(b"s"), END) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        first = client.infer_stream(1, [1], "u8", b"\x00")
        second = client.infer_stream(1, [1], "u8", b"\x00")
        assert list(first) == list(second) == [b"s"]
        assert server.connections == 2
        client.infer_tensor  # noqa: B018 - the pool is still empty: a unary call opens a third
        with pytest.raises(RuntimeError):
            client.infer(1, [1], "u8", b"\x00")  # the fake answers a unary call with a chunk frame
        assert server.connections == 3


def test_connection_closes_with_the_iterator_even_on_another_thread():
    with streaming(chunk(b"s"), END) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        before = open_descriptors()
        stream = client.infer_stream(1, [1], "u8", b"\x00")
        assert open_descriptors() == before + 1
        holder = [stream]
        del stream
        worker = threading.Thread(target=holder.clear)
        worker.start()
        worker.join()
        assert open_descriptors() == before


def test_next_on_another_thread_is_refused_without_reading():
    with streaming(chunk(b"first"), END) as server:
        stream = quelt_sdk.QueltClient(server.endpoint).infer_stream(1, [1], "u8", b"\x00")
        errors = []

        def consume():
            try:
                next(stream)
            except RuntimeError as error:
                errors.append(str(error))

        worker = threading.Thread(target=consume)
        worker.start()
        worker.join()
        assert errors == ["quelt_sdk::StreamIterator is unsendable, but sent to another thread"]
        assert list(stream) == [b"first"]


def test_stream_setup_failures():
    with streaming(END) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        before = open_descriptors()
        with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: bf16$"):
            client.infer_stream(1, [1], "BF16", b"\x00")
        assert server.wait_connections(1) == 1  # opened, then closed
        assert open_descriptors() == before


def test_peer_reset_during_the_request_write():
    with FakeStreamServer(lambda peer: peer.reset()) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        with pytest.raises((ConnectionResetError, BrokenPipeError)):
            client.infer_stream(1, [1], "u8", bytes(32 << 20))


def test_iterator_type_cannot_be_constructed():
    with streaming(END) as server:
        stream = quelt_sdk.QueltClient(server.endpoint).infer_stream(1, [1], "u8", b"\x00")
        iterator_type = type(stream)
        assert iterator_type.__name__ == "StreamIterator"
        with pytest.raises(TypeError, match="^No constructor defined for StreamIterator$"):
            iterator_type()


def test_first_stream_works_with_warnings_as_errors():
    import subprocess
    import sys

    script = (
        "import sys, quelt_sdk\n"
        "stream = quelt_sdk.QueltClient(sys.argv[1]).infer_stream(1, [1], 'u8', b'')\n"
        "print(list(stream), type(stream).__module__)\n"
    )
    with streaming(chunk(b"w"), END) as server:
        result = subprocess.run([sys.executable, "-W", "error", "-c", script, server.endpoint],
                                capture_output=True, text=True, timeout=60)
    assert (result.stdout, result.stderr) == ("[b'w'] builtins\n", "")


@pytest.mark.parametrize("kind", ["tcp", "unix"])
def test_frames_arriving_a_byte_at_a_time(kind):
    frames = chunk(b"abc") + chunk(bytes(range(200))) + END

    def dribble(peer):
        if kind == "tcp":
            peer.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while (frame := peer.read_frame()) is not None:
            for i in range(len(frames)):
                peer.send(frames[i : i + 1])

    with FakeStreamServer(dribble, kind=kind) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        assert list(client.infer_stream(1, [1], "u8", b"\x00")) == [b"abc", bytes(range(200))]
