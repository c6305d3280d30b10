import base64
import socket
import struct
import threading

import pytest

from quelt_bench.pure_client import PureInferClient, ProtocolError, decode_tensor_data, encode_infer_request, encode_tensor
from quelt_bench.wire_sizes import identity_infer_frames, inference_request_len, tensor_packet_len


def test_request_size_of_the_documented_example():
    # shape [2, 3], float32, 24 bytes: 83 payload bytes; a 5-byte token makes 109.
    assert inference_request_len(2, "float32", 24) == 83
    assert inference_request_len(2, "float32", 24, token_len=5) == 109


@pytest.mark.parametrize("shape,dtype,size", [([], "uint8", 0), ([16], "float32", 64), ([2, 3, 4], "int64", 192),
                                              ([1024], "float32", 4096)])
def test_layout_sizes_match_the_encoded_bytes(shape, dtype, size):
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    assert len(encode_infer_request(shape, dtype, data)) == inference_request_len(len(shape), dtype, size)
    assert len(encode_tensor(shape, dtype, data)) == tensor_packet_len(len(shape), dtype, size)
    frames = identity_infer_frames(len(shape), dtype, size)
    assert frames.request_frame == 12 + frames.request_payload
    assert frames.reply_frame == 8 + tensor_packet_len(len(shape), dtype, size)


def _packet(data=None, text=None, shape=(3,), dtype=b"uint8"):
    out = struct.pack("<Q", len(shape)) + struct.pack(f"<{len(shape)}q", *shape)
    out += struct.pack("<Q", len(dtype)) + dtype
    out += b"\x00" if data is None else b"\x01" + struct.pack("<Q", len(data)) + data
    out += b"\x00" if text is None else b"\x01" + struct.pack("<Q", len(text)) + text
    return out


@pytest.mark.parametrize("body,expected", [
    (_packet(data=b"abc"), b"abc"),
    (_packet(data=b"abc") + b"\xff", b"abc"),  # trailing bytes are ignored
    (_packet(text=base64.b64encode(b"\x00\x01\x02\x03")), b"\x00\x01\x02\x03"),
    (_packet(data=b""), b""),
])
def test_decodes_tensor_data(body, expected):
    assert decode_tensor_data(body) == expected


@pytest.mark.parametrize("body", [
    _packet(),  # neither form
    _packet(data=b"a", text=b"YQ=="),  # both forms
    _packet(data=b"abc")[:-3],  # truncated inside the data
    struct.pack("<Q", 1 << 40) + bytes(16),  # a huge shape count in a short body
    _packet(data=b"abc")[:-1] + b"\x07",  # bad option tag
])
def test_refuses_malformed_packets(body):
    with pytest.raises((ProtocolError, ValueError)):
        decode_tensor_data(body)


def _serve_once(listener, reply_code, reply_body, seen):
    connection, _ = listener.accept()
    with connection:
        header = connection.recv(12, socket.MSG_WAITALL)
        model_id, kind, length = struct.unpack("<III", header)
        payload = connection.recv(length, socket.MSG_WAITALL) if length else b""
        seen.append((model_id, kind, payload))
        connection.sendall(struct.pack("<II", reply_code, len(reply_body)) + reply_body)


@pytest.mark.parametrize("code,body,outcome", [
    (0, _packet(data=b"\x01\x02\x03\x04"), b"\x01\x02\x03\x04"),
    (7, "Model not loaded \xff".encode("latin-1"), ProtocolError),
])
def test_client_frames_request_and_reads_reply(tmp_path, code, body, outcome):
    path = str(tmp_path / "fake.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    seen = []
    server = threading.Thread(target=_serve_once, args=(listener, code, body, seen))
    server.start()
    client = PureInferClient.unix(path)
    try:
        if outcome is ProtocolError:
            with pytest.raises(ProtocolError, match="Model not loaded \ufffd"):
                client.infer(5, [4], "uint8", b"\x01\x02\x03\x04")
        else:
            assert client.infer(5, [4], "uint8", b"\x01\x02\x03\x04") == outcome
    finally:
        client.close()
        server.join(5)
        listener.close()
    assert seen == [(5, 1, encode_infer_request([4], "uint8", b"\x01\x02\x03\x04"))]
