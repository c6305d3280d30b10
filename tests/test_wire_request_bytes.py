"""The exact bytes QueltClient writes for a unary request."""
import struct

import pytest
import quelt_sdk
from fake_stream_server import FakeStreamServer, answer_each_request, packet, request_payload, tensor_reply

OK = tensor_reply([1], "uint8", b"\x07")


@pytest.fixture
def server():
    with FakeStreamServer(answer_each_request(OK)) as server:
        yield server


def sent_frame(server):
    data = server.received()
    model_id, kind, length = struct.unpack("<III", data[:12])
    return model_id, kind, data[12 : 12 + length], length


def test_plain_request_is_83_bytes(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    assert client.infer(5, [2, 3], "float32", bytes(range(24))) == b"\x07"
    model_id, kind, payload, length = sent_frame(server)
    assert (model_id, kind, length) == (5, 1, 83)
    assert payload == request_payload([2, 3], "float32", bytes(range(24)))
    # Spelled out once by hand, independently of the helper.
    expected = (
        struct.pack("<Qqq", 2, 2, 3)
        + struct.pack("<Q", 7) + b"float32"
        + b"\x01" + struct.pack("<Q", 24) + bytes(range(24))
        + b"\x00" + struct.pack("<Q", 0) + b"\x00" + b"\x00"
    )
    assert payload == expected


def test_token_adds_the_options_record(server):
    client = quelt_sdk.QueltClient(server.endpoint, api_token="s3cr3")
    client.infer(5, [2, 3], "float32", bytes(24))
    _, _, payload, length = sent_frame(server)
    assert length == 109
    assert payload[-27:] == b"\x01" + b"\x00" * 5 + b"\x01" + struct.pack("<Q", 5) + b"s3cr3" + b"\x00" * 7


@pytest.mark.parametrize(
    "dtype, sent",
    [("FP32", "float32"), ("Float64", "float64"), ("fp16", "float16"), ("I32", "int32"),
     ("i64", "int64"), ("U8", "uint8"), ("UTF8", "string"), ("string", "string")],
)
def test_aliases_and_cases_travel_as_canonical_names(server, dtype, sent):
    quelt_sdk.QueltClient(server.endpoint).infer(1, [1], dtype, b"\x00")
    assert sent_frame(server)[2] == request_payload([1], sent, b"\x00")


def test_additional_inputs_and_session_id(server):
    client = quelt_sdk.QueltClient(server.endpoint, api_token="")
    extra = {"mask": ([3], "U8", [1, 0, 1]), "scale": ([], "fp64", bytearray(8))}
    client.infer(9, [-1, 0], "int64", memoryview(b"abcdefgh"), extra, "sess-é")
    _, _, payload, _ = sent_frame(server)
    expected = request_payload(
        [-1, 0], "int64", b"abcdefgh",
        [("mask", ([3], "uint8", b"\x01\x00\x01")), ("scale", ([], "float64", bytes(8)))],
        session_id="sess-é", token="",
    )
    assert payload == expected


def test_session_none_and_absent_send_the_same_bytes(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    client.infer(1, [], "u8", b"")
    client.infer(1, [], "u8", b"", None, None)
    data = server.received()
    assert data[: len(data) // 2] == data[len(data) // 2 :]
    assert data[12:] .startswith(packet([], "uint8", b""))


def test_numpy_style_buffers_are_sent_raw(server):
    array = memoryview(struct.pack("<4f", 1.0, 2.0, 3.0, 4.0)).cast("f")
    quelt_sdk.QueltClient(server.endpoint).infer(1, [4], "float32", array)
    assert sent_frame(server)[2] == request_payload([4], "float32", struct.pack("<4f", 1.0, 2.0, 3.0, 4.0))
