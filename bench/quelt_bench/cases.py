"""The measured cases: the quelt_sdk clients, the pure-Python client and the
baselines, with the labels the report shows."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable

IDENTITY_MODEL = 0
SLOW_MODEL = 4  # the reference server's "slow" model, started with --slow-ms 2
SLOW_MS = 2
LONG_MS = 500  # a model that works for half a second: waiting for it should cost next to nothing
DTYPE = "float32"
ELEMENT = 4

CLIENTS = ("quelt_unix", "quelt_tcp", "shm", "hybrid")
PURE = ("purepy_unix", "purepy_tcp")
RAW = ("raw_unix", "raw_tcp")
# The same ping-pongs with both sides polling without sleeping, and the raw
# client polling for the reference server's reply: the client-side limit.
RAW_SPIN = ("raw_unix_spin", "raw_tcp_spin")
RAW_SERVER_SPIN = ("rawsrv_unix_spin", "rawsrv_tcp_spin")
RAW_WARM = ("raw_unix_warm", "raw_tcp_warm")
RAW_SERVER = ("rawsrv_unix", "rawsrv_tcp", "rawsrv_shm", "rawsrv_hybrid", "rawsrv_hybrid_spin")
ECHO = ("zmq", "grpc")
# QueltClient against a server that takes SLOW_MS per reply, and the raw
# blocking client against the same server: what waiting costs in processor time.
SLOW = ("quelt_unix_slow", "quelt_tcp_slow")
RAW_SLOW = ("rawsrv_unix_slow", "rawsrv_tcp_slow")
# The shared-memory clients against a server whose queue model takes SLOW_MS,
# and every client against one taking LONG_MS.
SHM_SLOW = ("shm_slow", "hybrid_slow")
LONG = ("quelt_unix_long", "quelt_tcp_long", "shm_long", "hybrid_long")

LABELS = {
    "quelt_unix": "QueltClient (Unix socket)",
    "quelt_tcp": "QueltClient (TCP)",
    "shm": "QueltShmClient",
    "hybrid": "QueltHybridClient",
    "purepy_unix": "pure-Python client (Unix socket)",
    "purepy_tcp": "pure-Python client (TCP)",
    "raw_unix": "raw C++ ping-pong (Unix socket)",
    "raw_tcp": "raw C++ ping-pong (TCP)",
    "raw_unix_warm": "raw C++ ping-pong, reused reply buffer (Unix socket)",
    "raw_tcp_warm": "raw C++ ping-pong, reused reply buffer (TCP)",
    "rawsrv_unix": "raw C++ client → reference server (Unix socket)",
    "rawsrv_tcp": "raw C++ client → reference server (TCP)",
    "raw_unix_spin": "raw C++ ping-pong, both sides polling (Unix socket)",
    "raw_tcp_spin": "raw C++ ping-pong, both sides polling (TCP)",
    "rawsrv_unix_spin": "raw polling C++ client → reference server (Unix socket)",
    "rawsrv_tcp_spin": "raw polling C++ client → reference server (TCP)",
    "raw_ctl_spin": "raw C++ ping-pong of the hybrid control frames, both sides polling (Unix socket)",
    "rawsrv_hybrid_spin": "raw polling C++ hybrid client → reference server (control frames over a plain socket)",
    "rawsrv_hybrid": "C++ hybrid client → reference server (the library code without Python)",
    "rawsrv_shm": "raw C++ shared-memory client → reference server (protocol only)",
    "spin": "shared-memory spin ping-pong (40 B entry, 48 B answer)",
    "raw_ctl": "raw C++ ping-pong of the hybrid control frames (52 B request, 48 B reply, Unix socket)",
    "copy": "least copying: memcpy into warm shm + alloc-and-copy out",
    "copy_in": "  of which memcpy into warm shared memory",
    "copy_out": "  of which allocation + copy into the result",
    "copy_warm": "copies without page faults: memcpy into warm shm + memcpy into a warm, reused buffer",
    "copy_out_warm": "  of which memcpy into a warm, reused buffer",
    "fresh_touch": "copy into freshly mapped pages (first touch, reference)",
    "zmq": "pyzmq REQ/REP echo (ipc://)",
    "grpc": "gRPC Python unary echo (Unix socket)",
    "quelt_unix_slow": f"QueltClient (Unix socket), server taking {SLOW_MS} ms",
    "quelt_tcp_slow": f"QueltClient (TCP), server taking {SLOW_MS} ms",
    "rawsrv_unix_slow": f"raw blocking C++ client (Unix socket), server taking {SLOW_MS} ms",
    "rawsrv_tcp_slow": f"raw blocking C++ client (TCP), server taking {SLOW_MS} ms",
    "shm_slow": f"QueltShmClient, server taking {SLOW_MS} ms",
    "hybrid_slow": f"QueltHybridClient, server taking {SLOW_MS} ms",
    "quelt_unix_long": f"QueltClient (Unix socket), server taking {LONG_MS} ms",
    "quelt_tcp_long": f"QueltClient (TCP), server taking {LONG_MS} ms",
    "shm_long": f"QueltShmClient, server taking {LONG_MS} ms",
    "hybrid_long": f"QueltHybridClient, server taking {LONG_MS} ms",
}

# The socket transport each socket case runs on: a client is compared with
# the raw ping-pong and the pure-Python client of its own transport.
TRANSPORT = {"quelt_unix": "unix", "quelt_tcp": "tcp", "purepy_unix": "unix", "purepy_tcp": "tcp"}


def tensor(data_len: int) -> tuple[list[int], bytes]:
    """A one-dimensional float32 tensor of `data_len` bytes."""
    if data_len % ELEMENT:
        raise ValueError(f"{data_len} is not a whole number of {DTYPE} elements")
    # Written, not calloc'ed: untouched zero pages all map one physical page,
    # which would make every read of the input an unrealistically cheap cache hit.
    return [data_len // ELEMENT], b"\x5a" * data_len


@dataclass
class ServerAddresses:
    tcp_host: str
    tcp_port: int
    socket_path: str
    shm_name: str


class NotLanded(Exception):
    """The client exists but its work is not implemented yet."""


def make_client(kind: str, server: ServerAddresses):
    kind = kind.removesuffix("_slow").removesuffix("_long")
    if kind in PURE:
        from .pure_client import PureInferClient

        if kind == "purepy_unix":
            return PureInferClient.unix(server.socket_path)
        return PureInferClient.tcp(server.tcp_host, server.tcp_port)
    import quelt_sdk

    if kind == "quelt_unix":
        return quelt_sdk.QueltClient(f"unix://{server.socket_path}")
    if kind == "quelt_tcp":
        return quelt_sdk.QueltClient(f"tcp://{server.tcp_host}:{server.tcp_port}")
    if kind == "shm":
        return quelt_sdk.QueltShmClient(server.shm_name)
    if kind == "hybrid":
        return quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
    raise ValueError(f"unknown client {kind}")


@dataclass(frozen=True)
class Call:
    """One identity `infer`, kept as a bound method and its arguments so that
    timing it adds no Python frame of its own."""

    function: Callable[..., bytes]
    arguments: tuple

    def __call__(self) -> bytes:
        return self.function(*self.arguments)


def infer_call(kind: str, client, data_len: int, check: bool = True) -> Call:
    """One identity `infer` of `data_len` bytes, checked once for the right
    answer length before it is timed (unless `check` is false: the caller then
    checks the first answer itself)."""
    shape, data = tensor(data_len)
    if kind in SLOW or kind in LONG[:2]:
        call = Call(client.infer, (SLOW_MODEL, shape, DTYPE, data))
    elif kind in CLIENTS[:2] or kind in PURE:
        call = Call(client.infer, (IDENTITY_MODEL, shape, DTYPE, data))
    else:
        call = Call(client.infer, (shape, DTYPE, data))
    if not check:
        return call
    try:
        first = call()
    except NotImplementedError as error:
        raise NotLanded(str(error) or "not implemented") from error
    if len(first) != data_len:
        raise RuntimeError(f"{LABELS[kind]} returned {len(first)} bytes for {data_len}")
    del first
    return call
