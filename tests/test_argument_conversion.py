"""Argument conversion: every failure is raised before any work starts.

The clients below point at addresses where nothing listens, so a call that got
past conversion would fail with ConnectionError instead of the expected error.
"""
import array
import re

import pytest
import quelt_sdk


@pytest.fixture
def client(tmp_path):
    return quelt_sdk.QueltClient(f"unix://{tmp_path}/nobody.sock")


# What a call that got past conversion raises against an absent server.
REACHED_THE_CONNECTION = ConnectionError

GOOD = dict(model_id=1, shape=[2], dtype="float32", data=b"\0" * 8)


def call_infer(client, method="infer", **overrides):
    kwargs = {**GOOD, **overrides}
    return getattr(client, method)(**kwargs)


@pytest.mark.parametrize("method", ["infer", "infer_tensor", "infer_stream"])
@pytest.mark.parametrize(
    "overrides, error, message",
    [
        (dict(model_id=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(model_id=2**32), OverflowError, "out of range integral type conversion attempted"),
        (dict(model_id=2**63), OverflowError, "out of range integral type conversion attempted"),
        (dict(model_id=-(2**63) - 1), OverflowError, "out of range integral type conversion attempted"),
        (dict(model_id="1"), TypeError, "argument 'model_id': 'str' object cannot be interpreted as an integer"),
        (dict(model_id=1.0), TypeError, "argument 'model_id': "),
        (dict(shape="12"), TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
        (dict(shape=5), TypeError, "argument 'shape': 'int' object cannot be converted to 'Sequence'"),
        (dict(shape={1: 2}), TypeError, "argument 'shape': 'dict' object cannot be converted to 'Sequence'"),
        (dict(shape=[2**63]), OverflowError, "out of range integral type conversion attempted"),
        (dict(shape=[-(2**63) - 1]), OverflowError, "out of range integral type conversion attempted"),
        (dict(shape=[1.5]), TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        (dict(dtype=3), TypeError, "argument 'dtype': 'int' object cannot be converted to 'PyString'"),
        (dict(dtype=b"float32"), TypeError, "argument 'dtype': "),
        (dict(data="abc"), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (dict(data=[256]), OverflowError, "out of range integral type conversion attempted"),
        (dict(data=[-1]), OverflowError, "out of range integral type conversion attempted"),
        (dict(data=[2**64]), OverflowError, "out of range integral type conversion attempted"),
        (dict(data=7), TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
        (dict(data=[1, "x"]), TypeError, "argument 'data': 'str' object cannot be interpreted as an integer"),
        (dict(additional_inputs=[]), TypeError,
         "argument 'additional_inputs': 'list' object cannot be converted to 'PyDict'"),
        (dict(additional_inputs={1: ([1], "u8", b"")}), TypeError,
         "argument 'additional_inputs': 'int' object cannot be converted to 'PyString'"),
        (dict(additional_inputs={"a": ([1], "u8")}), ValueError,
         "expected tuple of length 3, but got tuple of length 2"),
        (dict(additional_inputs={"a": ([1], "u8", b"", 4)}), ValueError,
         "expected tuple of length 3, but got tuple of length 4"),
        (dict(additional_inputs={"a": [[1], "u8", b""]}), TypeError,
         "argument 'additional_inputs': 'list' object cannot be converted to 'PyTuple'"),
        (dict(additional_inputs={"a": ("1", "u8", b"")}), TypeError,
         "argument 'additional_inputs': Can't extract `str` to `Vec`"),
        (dict(additional_inputs={"a": ([1], "u8", [300])}), OverflowError,
         "out of range integral type conversion attempted"),
        (dict(session_id=5), TypeError, "argument 'session_id': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_infer_argument_failures(client, method, overrides, error, message):
    with pytest.raises(error) as raised:
        call_infer(client, method, **overrides)
    if message is not None:
        assert str(raised.value).startswith(message)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.infer(1, [1], "u8"), "QueltClient.infer() missing 1 required positional argument: 'data'"),
        (lambda c: c.infer(1, [1]), "QueltClient.infer() missing 2 required positional arguments: 'dtype' and 'data'"),
        (lambda c: c.infer_tensor(), "QueltClient.infer_tensor() missing 4 required positional arguments: "
                                     "'model_id', 'shape', 'dtype', and 'data'"),
        (lambda c: c.infer(1, [1], "u8", b"", shape=[2]), "QueltClient.infer() got multiple values for argument 'shape'"),
        (lambda c: c.infer(1, [1], "u8", b"", colour=1), "QueltClient.infer() got an unexpected keyword argument 'colour'"),
        (lambda c: c.infer(1, [1], "u8", b"", None, None, 7),
         "QueltClient.infer() takes from 4 to 6 positional arguments but 7 were given"),
        (lambda c: c.protocol(1), None),
        (lambda c: quelt_sdk.QueltClient("a", "b"), "QueltClient.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda c: quelt_sdk.QueltShmClient(), "QueltShmClient.__new__() missing 1 required positional argument: 'shm_name'"),
        (lambda c: quelt_sdk.QueltHybridClient("x"), "QueltHybridClient.__new__() missing 1 required positional argument: 'socket_path'"),
    ],
)
def test_binding_failures_use_the_interpreters_wording(client, call, message):
    with pytest.raises(TypeError) as raised:
        call(client)
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(max_pool_size=None), TypeError, "argument 'max_pool_size': 'NoneType' object cannot be interpreted as an integer"),
        (dict(max_pool_size=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(max_pool_size=2**64), OverflowError, "out of range integral type conversion attempted"),
        (dict(max_pool_size=-(2**63) - 1), OverflowError, "out of range integral type conversion attempted"),
        (dict(max_pool_size="8"), TypeError, "argument 'max_pool_size': "),
        (dict(port=65536), OverflowError, "out of range integral type conversion attempted"),
        (dict(port=-1), OverflowError, "out of range integral type conversion attempted"),
        (dict(port=2**64), OverflowError, "out of range integral type conversion attempted"),
        (dict(port="80"), TypeError, "argument 'port': "),
        (dict(host=1), TypeError, "argument 'host': 'int' object cannot be converted to 'PyString'"),
        (dict(endpoint=b"tcp://x:1"), TypeError, "argument 'endpoint': "),
        (dict(api_token=1), TypeError, "argument 'api_token': "),
    ],
)
def test_constructor_argument_failures(kwargs, error, message):
    with pytest.raises(error) as raised:
        quelt_sdk.QueltClient(**kwargs)
    if message is not None:
        assert str(raised.value).startswith(message)


@pytest.mark.parametrize("cls, args", [(quelt_sdk.QueltShmClient, (5,)), (quelt_sdk.QueltHybridClient, ("r", 5))])
def test_shared_memory_constructors_refuse_non_text(cls, args):
    with pytest.raises(TypeError, match=r"^argument '(shm_name|socket_path)': 'int' object cannot be converted"):
        cls(*args)


def test_max_pool_size_accepts_large_and_zero_values():
    quelt_sdk.QueltClient(max_pool_size=0)
    quelt_sdk.QueltClient(max_pool_size=2**64 - 1)
    quelt_sdk.QueltClient(max_pool_size=True)  # an int subclass, as any int


@pytest.mark.parametrize(
    "data",
    [
        b"\x01\x02",
        bytearray(b"\x01\x02"),
        memoryview(b"\x01\x02"),
        [1, 2],
        (1, 2),
        array.array("B", [1, 2]),
    ],
    ids=["bytes", "bytearray", "memoryview", "list", "tuple", "array"],
)
def test_every_kind_of_data_passes_conversion(client, data):
    # Conversion succeeds, so the call reaches the connection and fails there.
    with pytest.raises(REACHED_THE_CONNECTION):
        call_infer(client, data=data)


def test_numpy_arrays_pass_conversion(client):
    np = pytest.importorskip("numpy")
    for value in (np.arange(6, dtype=np.float32), np.zeros((2, 3)), np.zeros((4, 4))[1]):
        with pytest.raises(REACHED_THE_CONNECTION):
            call_infer(client, data=value)
    # A strided view is not one block of bytes, and an array is not a sequence
    # of byte values: it is refused rather than silently copied element-wise.
    with pytest.raises(TypeError, match="'ndarray' object cannot be converted to 'Sequence'"):
        call_infer(client, data=np.zeros((4, 4))[:, 1])


@pytest.mark.parametrize(
    "make",
    [
        lambda np: np.array([1, 2], dtype=object),
        lambda np: memoryview(np.array([1, 2], dtype=object)),
        lambda np: np.zeros(2, dtype=[("Offset", "u1"), ("value", object)]),
    ],
    ids=["object-array", "memoryview", "object-field"],
)
def test_buffers_of_python_objects_are_refused(client, make):
    # Their raw bytes would be the process's heap addresses, not the values.
    np = pytest.importorskip("numpy")
    for overrides in (dict(data=make(np)), dict(additional_inputs={"a": ([2], "u8", make(np))})):
        with pytest.raises(TypeError, match=r"^argument '\w+': a buffer of Python objects \(format 'O'\)"):
            call_infer(client, **overrides)


def test_conversion_failures_come_before_dtype_checks(client):
    with pytest.raises(TypeError, match=re.escape("argument 'data'")):
        call_infer(client, dtype="no-such-type", data="text")
