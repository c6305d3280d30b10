"""What a user would write instead of quelt_sdk: a client of the stream
protocol in pure Python, standard library only (socket + struct).

It keeps one connection, sends `infer` requests (message kind 1) and returns
the output tensor's bytes, so it is measured against the same reference
server as QueltClient.
"""

from __future__ import annotations

import base64
import socket
import struct

_REQUEST_HEADER = struct.Struct("<III")
_REPLY_HEADER = struct.Struct("<II")
_U64 = struct.Struct("<Q")
_INFER = 1


class ProtocolError(RuntimeError):
    pass


def encode_tensor(shape, dtype: str, data: bytes) -> bytes:
    name = dtype.encode()
    return b"".join(
        (
            _U64.pack(len(shape)),
            struct.pack(f"<{len(shape)}q", *shape),
            _U64.pack(len(name)),
            name,
            b"\x01",
            _U64.pack(len(data)),
            data,
            b"\x00",  # no base64 form
        )
    )


def encode_infer_request(shape, dtype: str, data: bytes) -> bytes:
    # No additional inputs, no session, no options.
    return encode_tensor(shape, dtype, data) + _U64.pack(0) + b"\x00" + b"\x00"


class _Reader:
    def __init__(self, body: memoryview):
        self.body = body
        self.at = 0

    def take(self, count: int) -> memoryview:
        if count > len(self.body) - self.at:
            raise ProtocolError("reply ends inside a field")
        piece = self.body[self.at : self.at + count]
        self.at += count
        return piece

    def u64(self) -> int:
        return _U64.unpack(self.take(8))[0]

    def flag(self) -> bool:
        tag = self.take(1)[0]
        if tag > 1:
            raise ProtocolError(f"bad option tag {tag}")
        return tag == 1


def decode_tensor_data(body) -> bytes:
    """The data bytes of a BinaryTensorPacketPayload (shape and dtype are skipped)."""
    reader = _Reader(memoryview(body))
    reader.take(8 * reader.u64())  # shape
    reader.take(reader.u64())  # dtype
    data = bytes(reader.take(reader.u64())) if reader.flag() else None
    text = bytes(reader.take(reader.u64())) if reader.flag() else None
    if (data is None) == (text is None):
        raise ProtocolError("packet must carry exactly one of data and data_base64")
    return data if data is not None else base64.b64decode(text, validate=True)


class PureInferClient:
    def __init__(self, address, family=socket.AF_UNIX):
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        if family == socket.AF_INET:
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.connect(address)

    @classmethod
    def unix(cls, path: str) -> "PureInferClient":
        return cls(path, socket.AF_UNIX)

    @classmethod
    def tcp(cls, host: str, port: int) -> "PureInferClient":
        return cls((host, port), socket.AF_INET)

    def close(self) -> None:
        self.sock.close()

    def _read_exact(self, count: int) -> bytearray:
        buffer = bytearray(count)
        view = memoryview(buffer)
        filled = 0
        while filled < count:
            got = self.sock.recv_into(view[filled:])
            if got == 0:
                raise ProtocolError("server closed the connection")
            filled += got
        return buffer

    def exchange(self, model_id: int, payload: bytes) -> tuple[int, bytearray]:
        self.sock.sendall(_REQUEST_HEADER.pack(model_id, _INFER, len(payload)) + payload)
        code, length = _REPLY_HEADER.unpack(self._read_exact(_REPLY_HEADER.size))
        return code, self._read_exact(length)

    def infer(self, model_id: int, shape, dtype: str, data: bytes) -> bytes:
        code, body = self.exchange(model_id, encode_infer_request(shape, dtype, data))
        if code != 0:
            raise ProtocolError(body.decode("utf-8", "replace"))
        return decode_tensor_data(body)
