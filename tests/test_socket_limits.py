"""Sizes the 32-bit frame lengths cannot carry, and replies that lie about theirs."""
import mmap
import os
import textwrap

import pytest
import quelt_sdk
from hostile_measure import run_with_memory_limit
from fake_stream_server import FakeStreamServer, answer_each_request, reply, tensor_reply


def test_request_of_4_gib_is_refused_before_anything_is_written():
    with FakeStreamServer(answer_each_request(tensor_reply([1], "u8", b"\x01"))) as server:
        client = quelt_sdk.QueltClient(server.endpoint)
        # Pages of an anonymous mapping are never touched: only sizes are computed.
        with mmap.mmap(-1, 1 << 30) as gib:
            view = memoryview(gib)
            extra = {f"part{i}": ([1 << 30], "u8", view) for i in range(3)}
            with pytest.raises(RuntimeError, match="^request payload of 4294967[0-9]+ bytes is too large"):
                client.infer(1, [1 << 30], "u8", view, extra)
            with pytest.raises(RuntimeError, match="is too large"):
                client.infer_stream(1, [1 << 30], "u8", view, extra)
            view.release()
        assert server.received() == b""
        # The connection the refused call borrowed is still good.
        assert client.infer(1, [1], "u8", b"\x00") == b"\x01"


CLIENT_UNDER_MEMORY_LIMIT = textwrap.dedent(
    """
    import sys, time
    import quelt_sdk
    client = quelt_sdk.QueltClient(sys.argv[1])
    started = time.monotonic()
    try:
        client.infer(1, [1], "u8", b"\\x00")
    except ConnectionError as error:
        print(type(error).__name__, error, round(time.monotonic() - started, 1))
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves terabytes of shadow memory, so no address-space limit can hold",
)
@pytest.mark.parametrize("sent", [16, 80 << 20])
def test_announced_body_is_not_allocated_up_front(sent):
    """A 4 GiB body_length followed by a close fails quickly, without a 4 GiB
    allocation (the client runs with 1 GiB of address space)."""

    def lie(peer):
        peer.read_frame()
        peer.send(reply(0)[:4] + (0xFFFFFFFF).to_bytes(4, "little") + bytes(sent))
        peer.close()

    with FakeStreamServer(lie) as server:
        result = run_with_memory_limit(CLIENT_UNDER_MEMORY_LIMIT, server.endpoint)
        assert result.stderr == ""
        name, text, seconds = result.stdout.strip().rsplit(" ", 1)[0], None, float(result.stdout.split()[-1])
        assert name == "ConnectionError failed to fill whole buffer"
        assert seconds < 10
        assert server.connections == 2
