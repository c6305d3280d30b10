"""Arguments written by a hostile caller: Python code that runs while the
arguments are read and changes or frees them, lengths that lie, allocations
that fail, and names with a NUL inside. Every case ends in a Python exception
(with nothing sent) or in the right result, never in a crash."""
import ctypes
import os
import pathlib
import socket
import subprocess
import sys
import textwrap

import pytest
import quelt_sdk
from hostile_measure import run_with_memory_limit

# What a call that got past conversion raises against an absent server.
REACHED_THE_CONNECTION = ConnectionError
NOBODY = "unix:///nonexistent-quelt-dir/nobody.sock"


@pytest.fixture
def region(one_slot_region):
    return one_slot_region


class Index:
    """An integer whose __index__ first runs `action`."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        self.action()
        return self.value


class LyingList(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class LenRaises(list):
    def __len__(self):
        raise KeyboardInterrupt("from __len__")


def in_a_child_interpreter(scenario):
    """Runs a scenario of this module in a fresh interpreter whose Python
    objects come from malloc: under the sanitized run a read of a freed
    object is then reported (the interpreter's own arenas would hide it),
    and a crash fails this test alone."""
    here = pathlib.Path(__file__).resolve()
    code = f"import sys; sys.path.insert(0, {str(here.parent)!r}); import {here.stem}; {here.stem}.{scenario.__name__}()"
    result = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONMALLOC": "malloc"},
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]


def shape_freed_by_its_own_element():
    # Clearing the dict frees the tuple, and with it the shape list being read.
    extra = {}
    extra["a"] = ([Index(1, extra.clear), *range(100)], "u8", b"")
    with pytest.raises(REACHED_THE_CONNECTION):
        quelt_sdk.QueltClient(NOBODY).infer(1, [1], "u8", b"x", extra)


def data_freed_by_the_shape_before_it():
    extra = {}
    extra["a"] = ([Index(1, extra.clear)], "u8", [*range(100)])
    with pytest.raises(REACHED_THE_CONNECTION):
        quelt_sdk.QueltClient(NOBODY).infer(1, [1], "u8", b"x", extra)


def keyword_dict_emptied_during_construction():
    # A caller in C may hand the constructor its own dict, which port's
    # __index__ empties while api_token is still to be read.
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
    kwargs = {"host": "".join(["h", "1"]), "api_token": "".join(["t"] * 64)}
    kwargs["port"] = Index(7, kwargs.clear)
    assert call(quelt_sdk.QueltClient, (), kwargs).endpoint() == "tcp://h1:7"


@pytest.mark.parametrize(
    "scenario", [shape_freed_by_its_own_element, data_freed_by_the_shape_before_it,
                 keyword_dict_emptied_during_construction])
def test_caller_code_that_frees_an_argument_while_it_is_read(scenario):
    in_a_child_interpreter(scenario)


def every_method(region, tmp_path):
    socket_client = quelt_sdk.QueltClient(f"unix://{tmp_path}/nobody.sock")
    shm = quelt_sdk.QueltShmClient(region.name)
    hybrid = quelt_sdk.QueltHybridClient(region.name, str(tmp_path / "nobody.sock"))
    return [lambda shape, data, m=m: getattr(socket_client, m)(1, shape, "u8", data)
            for m in ("infer", "infer_tensor", "infer_stream")] + [
        lambda shape, data: shm.infer(shape, "u8", data),
        lambda shape, data: hybrid.infer(shape, "u8", data),
    ]


@pytest.mark.parametrize(
    "shape, data, error, message",
    [
        (range(2**62), b"", MemoryError, "argument 'shape': a sequence of more than 536870911 items cannot be sent"),
        (LyingList([1], 2**62), b"", MemoryError, "argument 'shape': a sequence of more than 536870911 items"),
        ([1], range(2**40), MemoryError, "argument 'data': a sequence of more than 4294967295 items cannot be sent"),
        ([1], LyingList([1], 2**32), MemoryError, "argument 'data': a sequence of more than 4294967295 items"),
        ([1], LyingList([1, 2], 5), ValueError, "argument 'data': the sequence holds 2 items, not the 5 its len()"),
        ([1], LenRaises([1]), KeyboardInterrupt, "from __len__"),  # only a TypeError means "no length"
    ],
    ids=["range-shape", "lying-shape", "range-data", "lying-data", "short-data", "len-raises"],
)
def test_reported_lengths_are_not_trusted(region, tmp_path, shape, data, error, message):
    for call in every_method(region, tmp_path):
        with pytest.raises(error) as raised:
            call(shape, data)
        assert str(raised.value).startswith(message)
    assert region.posted_requests() == []


GROW_PAST_THE_MEMORY_LIMIT = textwrap.dedent(
    """
    import quelt_sdk
    name = "n" * (512 << 20)  # copying it needs more than the limit leaves
    try:
        {call}
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves terabytes of shadow memory, so no address-space limit can hold",
)
@pytest.mark.parametrize("call", ["quelt_sdk.QueltClient(host=name)", "quelt_sdk.QueltShmClient(name)",
                                  "quelt_sdk.QueltHybridClient(name, 'x')"])
def test_a_failed_native_allocation_raises_memory_error(call):
    result = run_with_memory_limit(GROW_PAST_THE_MEMORY_LIMIT.format(call=call))
    assert (result.returncode, result.stdout, result.stderr) == (0, "MemoryError\n", "")


@pytest.fixture
def listeners(tmp_path):
    """A TCP port and a Unix socket path that exist but refuse connections, so
    that a call that reached them fails with another text (and cannot hang)."""
    tcp, unix = socket.socket(), socket.socket(socket.AF_UNIX)
    tcp.bind(("127.0.0.1", 0))
    unix.bind(str(tmp_path / "s.sock"))
    yield tcp.getsockname()[1], str(tmp_path / "s.sock")
    tcp.close()
    unix.close()


LOOKUP_FAILED = (ConnectionError, "failed to lookup address information: ")
INVALID_REGION = (ConnectionError, "Shared memory error: Opening the shared memory failed, os error 22")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda r, port, path: quelt_sdk.QueltShmClient(r.name + "\0x"), INVALID_REGION),
        (lambda r, port, path: quelt_sdk.QueltHybridClient(r.name + "\0x", path), INVALID_REGION),
        (lambda r, port, path: quelt_sdk.QueltClient(f"tcp://127.0.0.1\0junk:{port}").infer(1, [1], "u8", b""),
         LOOKUP_FAILED),
        (lambda r, port, path: quelt_sdk.QueltClient(host="127.0.0.1\0junk", port=port).infer(1, [1], "u8", b""),
         LOOKUP_FAILED),
        (lambda r, port, path: quelt_sdk.QueltClient(f"unix://{path}\0x").infer(1, [1], "u8", b""),
         (ConnectionError, "Invalid argument (os error 22)")),
        (lambda r, port, path: quelt_sdk.QueltHybridClient(r.name, path + "\0x").infer([1], "u8", b""),
         (RuntimeError, "Failed to open named pipe '{path}\0x': Invalid argument (os error 22)")),
    ],
    ids=["shm-region", "hybrid-region", "tcp-endpoint", "host", "unix-endpoint", "hybrid-socket"],
)
def test_a_nul_in_a_name_fails_as_an_invalid_name(region, listeners, call, expected):
    port, path = listeners
    error, message = expected
    with pytest.raises(error) as raised:
        call(region, port, path)
    assert str(raised.value).startswith(message.format(path=path))
