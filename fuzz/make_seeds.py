#!/usr/bin/env python3
"""Writes the small seed corpus of every fuzz harness into fuzz/corpus/.

The seeds are well-formed (and a few deliberately broken) inputs, so the
fuzzers start from the interesting shapes of each format instead of from
nothing. Run it again after changing it; the files are committed.
"""
import pathlib
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"


def u32(v): return struct.pack("<I", v)
def u64(v): return struct.pack("<Q", v)
def i64(v): return struct.pack("<q", v)
def string(s): b = s.encode() if isinstance(s, str) else s; return u64(len(b)) + b
def absent(): return b"\x00"
def present(b): return b"\x01" + b


def packet(shape, dtype, data=None, b64=None):
    out = u64(len(shape)) + b"".join(i64(d) for d in shape) + string(dtype)
    out += absent() if data is None else present(u64(len(data)) + data)
    out += absent() if b64 is None else present(string(b64))
    return out


def options(token):
    return b"\x01" + b"\x00" * 5 + present(string(token)) + b"\x00" * 7


def request(inp, named=(), session=None, token=None):
    out = inp + u64(len(named)) + b"".join(string(n) + p for n, p in named)
    out += absent() if session is None else present(string(session))
    out += absent() if token is None else options(token)
    return out


def frame(code, body):
    return u32(code) + u32(len(body)) + body


def seeds():
    f32 = packet([2, 3], "float32", bytes(range(24)))
    yield "reply_packet", {
        "raw": f32,
        "base64": packet([4], "uint8", b64="AAECAw=="),
        "fp16_alias": packet([1, 3], "FP16", b"\x00\x3c" * 3),
        "both": packet([1], "int8", b"\x01", "AQ=="),
        "neither": packet([], "string"),
        "huge_count": u64(1 << 40) + b"\x00" * 8,
        "bad_tag": packet([1], "uint8")[:-2] + b"\x02",
        "bad_utf8": u64(0) + string(b"\xff\xfe") + absent() + absent(),
        "trailing": f32 + b"\x00",
    }
    yield "base64", {
        "padded": b"AAECAw==", "one_pad": b"QUJD", "missing_pad": b"AAECAw", "blank": b"AB C",
        "length5": b"QUJDR", "last_symbol": b"QR==", "empty": b"", "newline": b"QUJD\n",
    }
    yield "inference_request", {
        "plain": request(f32),
        "token": request(f32, token="s3cret"),
        "named_session": request(f32, [("mask", packet([1], "uint8", b"\x01"))], session="sess-1"),
    }
    chunk = packet([3], "uint8", b"abc")
    yield "stream_frames", {
        "two_chunks_end": frame(2, chunk) + frame(2, packet([1], "u8", b64="YQ==")) + frame(3, b""),
        "error_then_chunk": frame(1, b"model failed") + frame(2, chunk) + frame(3, b"x"),
        "empty_chunk_ends": frame(2, b""),
        "unknown_code": frame(9, b"abcd") + frame(2, chunk),
        "cut_body": frame(2, chunk)[:-3],
        "cut_header": frame(2, chunk)[:5],
        "declared_4gib": u32(2) + u32(0xFFFFFFFF) + b"\x00" * 16,
    }
    response = u64(7) + b"\x00" + b"\x00" * 7 + u64(0) + u64(4096) + u64(100)
    yield "hybrid_response", {"response": response, "short": response[:39], "trailing": response + b"xyz"}
    yield "endpoint", {
        "tcp": b"\x01\x00\x00tcp://127.0.0.1:9096",
        "unix": b"\x01\x00\x00unix:///tmp/q.sock",
        "pipe_protocol": b"\x22\x00\x00\x00PIPE\x00svc",
        "socket_path": b"\x12\x00\x00socket\x00tcp://h:1",
        "tcp_host_port": b"\x0e\x10\x1ftcp\x00gpu-box",
        "blank": b"\x03\x00\x00  \x00 \t ",
    }
    # Offsets and lengths chosen near the region's end (modes 1 and 2), then
    # a well-formed block, message and queue words at the start.
    block = u32(2) + b"\x00" * 4 + i64(2) + i64(3) + b"\x00" * 48 + u64(6) + b"abcdef"
    yield "shm_blocks", {
        "inside": b"\x02" + u64(0) + b"\x02" + u64(200) + b"\x02" + u64(512) + b"\x02" + u64(4096)
                  + b"\x00" + u16_(6) + b"\x00" + u16_(12) + u32(2) + b"\x02" + u16_(16)
                  + i64(2) + i64(8) + b"\x01" + u64(0) + u64(0) + block,
        "edge": b"\x01" + u64(80) + b"\x01" + u64(8) + b"\x01" + u64(100) + b"\x01" + u64(40960)
                + b"\x01" + u64(0) + b"\x01" + u64(1) + u32(9) + b"\x09" + u16_(0) + b"\x00" + u64(1021),
        "huge": b"\x03" + u64(0) + b"\x00" + u64(1 << 63) + b"\x03" + u64(5) + b"\x02" + u64(1 << 16)
                + b"\x01" + u64((1 << 64) - 1) + b"\x01" + u64((1 << 64) - 1),
    }


def u16_(v): return struct.pack("<H", v)


def main():
    for harness, files in seeds():
        directory = CORPUS / harness
        directory.mkdir(parents=True, exist_ok=True)
        for name, content in files.items():
            (directory / name).write_bytes(content)


if __name__ == "__main__":
    main()
