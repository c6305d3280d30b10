"""How QueltClient reads unary replies: packets, base64, decoder failures, server texts."""
import struct

import pytest
import quelt_sdk
from fake_stream_server import FakeStreamServer, answer_by_model_id, packet, reply, string, u64

SHAPE_AND_DTYPE = u64(1) + struct.pack("<q", 4) + string("uint8")

# (reply body of code 0, RuntimeError text)
DECODER_FAILURES = [
    (b"", "io error: unexpected end of file"),
    (u64(1 << 40) + bytes(16), "io error: unexpected end of file"),
    (u64(0) + u64(100) + b"uint8", "io error: "),
    (u64(0) + u64(1 << 62), "io error: "),
    (u64(0) + string(b"\xff"), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    (u64(0) + string(b"fl\xe2\x82"), "string is not valid utf8: incomplete utf-8 byte sequence from index 2"),
    (u64(0) + string(b"ab\xe0\x80"), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 2"),
    (u64(0) + string(b"\xe2\x82A"), "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 0"),
    (u64(0) + string(b"xy\xf0\x90\x80A"), "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 2"),
    (u64(0) + string(b"\xed\xa0\x80"), "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    (SHAPE_AND_DTYPE + b"\x02", "tag for enum is not valid, found 2"),
    (SHAPE_AND_DTYPE + b"\x00\x07", "tag for enum is not valid, found 7"),
    (SHAPE_AND_DTYPE + b"\x01" + u64(5) + b"abc", "io error: unexpected end of file"),
    (SHAPE_AND_DTYPE + b"\x01" + u64(1 << 40), "io error: unexpected end of file"),
    (SHAPE_AND_DTYPE + b"\x01" + u64(0), "io error: unexpected end of file"),
    (SHAPE_AND_DTYPE + b"\x00\x01" + u64(9) + b"AA", "io error: "),
    (SHAPE_AND_DTYPE[:-3], "io error: "),
    # The dtype is checked as soon as it is read, before the fields that follow.
    (u64(0) + string("bfloat16"), "Invalid input: Unsupported dtype: bfloat16"),
    (packet([1], "BFloat16", b"x"), "Invalid input: Unsupported dtype: bfloat16"),
    (packet([1], "ÄRRAY", b"x"), "Invalid input: Unsupported dtype: ärray"),
    (packet([1], "str", b"x"), "Invalid input: Unsupported dtype: str"),
    (packet([1], "uint8"), "binary tensor payload must include `data` or `data_base64`"),
    (packet([1], "uint8", b"\x01", "AQ=="), "binary tensor payload must include only one of `data` or `data_base64`"),
    (packet([1], "uint8", b"", ""), "binary tensor payload must include only one of `data` or `data_base64`"),
]

# (data_base64 text, decoded bytes or the failure text)
BASE64 = [
    ("AAECAw==", b"\x00\x01\x02\x03"),
    ("", b""),
    ("QUJD", b"ABC"),
    ("QUI=", b"AB"),
    ("+/+/", b"\xfb\xff\xbf"),
    ("AAECAw", "Invalid padding"),
    ("AAECAw=", "Invalid padding"),
    ("QUJD====", "Invalid symbol 61, offset 4."),
    ("QUI==", "Invalid symbol 61, offset 3."),
    ("AB C", "Invalid symbol 32, offset 2."),
    ("QUJDR", "Invalid input length: 5"),
    ("QUJDRUZH\n", "Invalid symbol 10, offset 8."),
    ("QUJD\nQUJD", "Invalid symbol 10, offset 4."),
    ("QR==", "Invalid last symbol 82, offset 1."),
    ("QUJ=", "Invalid last symbol 74, offset 2."),
    ("QU-D", "Invalid symbol 45, offset 2."),
    ("QU_D", "Invalid symbol 95, offset 2."),
    ("Q===", "Invalid symbol 61, offset 1."),
    ("=QUJ", "Invalid symbol 61, offset 0."),
    ("QU=J", "Invalid symbol 61, offset 2."),
    ("QQ==QUJD", "Invalid symbol 61, offset 2."),
    ("QUJDQ", "Invalid input length: 5"),
    ("QUJDQ=", "Invalid symbol 61, offset 5."),
    ("QUJDQU=", "Invalid padding"),
    ("QUJDQ\x7f", "Invalid symbol 127, offset 5."),
]

# (reply, infer_tensor result)
TENSORS = [
    (packet([1, 3], "FP16", b"abcdef"), (b"abcdef", [1, 3], "float16")),
    (packet([2], "fp32", bytes(8)), (bytes(8), [2], "float32")),
    (packet([-1, 0, 1 << 62], "Int64", b""), (b"", [-1, 0, 1 << 62], "int64")),
    (packet([], "UTF8", b"text"), (b"text", [], "string")),
    (packet([3], "u8", None, "AAEC"), (b"\x00\x01\x02", [3], "uint8")),
    (packet([1], "uint8", b"z") + b"\x99", (b"z", [1], "uint8")),  # trailing byte ignored
]

SERVER_TEXTS = [
    (1, b"Model not loaded", "Model not loaded"),
    (7, b"Timeout: 5 s", "Timeout: 5 s"),
    (0xFFFFFFFF, "Invalid input: \u00e9".encode(), "Invalid input: \u00e9"),
    (2, b"bad \xff text \xe2\x82", "bad \ufffd text \ufffd"),
    (3, b"\xf0\x9f\x98", "\ufffd"),
    (1, b"", ""),
]

REPLIES = (
    [reply(0, body) for body, _ in DECODER_FAILURES]
    + [reply(0, packet([1], "uint8", None, text)) for text, _ in BASE64]
    + [reply(0, body) for body, _ in TENSORS]
    + [reply(code, body) for code, body, _ in SERVER_TEXTS]
)
BASE64_FROM = len(DECODER_FAILURES)
TENSORS_FROM = BASE64_FROM + len(BASE64)
SERVER_TEXTS_FROM = TENSORS_FROM + len(TENSORS)


@pytest.fixture(scope="module")
def server():
    with FakeStreamServer(answer_by_model_id(REPLIES)) as server:
        yield server


@pytest.fixture(scope="module")
def client(server):
    return quelt_sdk.QueltClient(server.endpoint)


@pytest.mark.parametrize("case", range(len(DECODER_FAILURES)), ids=[m for _, m in DECODER_FAILURES])
def test_decoder_failures(client, case):
    with pytest.raises(RuntimeError) as raised:
        client.infer(case, [1], "uint8", b"\x00")
    assert str(raised.value) == DECODER_FAILURES[case][1]


@pytest.mark.parametrize("case", range(len(BASE64)), ids=[t for t, _ in BASE64])
def test_base64_data(client, case):
    text, expected = BASE64[case]
    if isinstance(expected, bytes):
        assert client.infer(BASE64_FROM + case, [1], "uint8", b"") == expected
    else:
        with pytest.raises(RuntimeError) as raised:
            client.infer(BASE64_FROM + case, [1], "uint8", b"")
        assert str(raised.value) == expected


@pytest.mark.parametrize("case", range(len(TENSORS)))
def test_infer_tensor_reports_shape_and_canonical_dtype(client, case):
    data, shape, dtype = TENSORS[case][1]
    result = client.infer_tensor(TENSORS_FROM + case, [1], "uint8", b"")
    assert type(result) is tuple and result == (data, shape, dtype)
    assert type(result[0]) is bytes and type(result[1]) is list
    assert client.infer(TENSORS_FROM + case, [1], "uint8", b"") == data


@pytest.mark.parametrize("case", range(len(SERVER_TEXTS)))
def test_server_errors_are_runtime_errors_with_the_text(client, case):
    with pytest.raises(RuntimeError) as raised:
        client.infer_tensor(SERVER_TEXTS_FROM + case, [1], "uint8", b"")
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == SERVER_TEXTS[case][2]


def test_failed_replies_leave_the_connection_pooled(server, client):
    # Every case above ran on the one connection this client opened.
    assert server.connections == 1


def test_unknown_dtypes_fail_as_value_errors(server):
    client = quelt_sdk.QueltClient(server.endpoint)
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: int8$"):
        client.infer(0, [1], "int8", b"")
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: str$"):
        client.infer(0, [1], "uint8", b"", {"x": ([1], "Str", b"")})
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: float32 $"):
        client.infer_tensor(0, [1], "Float32 ", b"")
    # Lowered as str.lower lowers: a final sigma, a dotted capital I.
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: σας$"):
        client.infer(0, [1], "ΣΑΣ", b"")
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: i\u0307nt8$"):
        client.infer(0, [1], "uint8", b"", {"x": ([1], "İNT8", b"")})
