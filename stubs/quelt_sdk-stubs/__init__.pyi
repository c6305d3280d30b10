"""Client library of the Quelt model-inference server.

Three clients reach the server: `QueltClient` (TCP or a Unix socket),
`QueltShmClient` (tensor and request through a shared-memory region) and
`QueltHybridClient` (tensor in the region, a small control frame over a Unix
socket). Every call returns the output tensor's bytes.
"""

from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Protocol, SupportsIndex, final, type_check_only

from typing_extensions import Buffer

@type_check_only
class _NumPyArray(Protocol):
    # NumPy's own stubs declare an array a Buffer only for Python 3.12 and
    # newer; its array interface tells one apart on 3.11 too.
    @property
    def __array_interface__(self) -> dict[str, Any]: ...

_Data = Buffer | _NumPyArray | Sequence[SupportsIndex]
_Shape = Sequence[SupportsIndex]
_AdditionalInputs = Mapping[str, tuple[_Shape, str, _Data]]

@final
class QueltClient:
    """A client of the server's stream protocol over TCP or a Unix socket.

    The transport is chosen once, here, and nothing is opened until the first
    call. Idle connections are kept for reuse (at most `max_pool_size`); a call
    that fails on a pooled connection is repeated once on a fresh one.

    Args:
        endpoint: "tcp://HOST:PORT", "unix:///path/to.sock", "pipe://NAME"
            (the socket `<tmp>/NAME.sock`) or a socket path. An endpoint wins:
            host, port, socket_path and pipe_name are then ignored, unless
            `protocol` is given as well. "HOST:PORT" without "tcp://" is taken
            as a socket path.
        protocol: "tcp", "socket" (also "unix", "local") or "pipe" (also
            "named_pipe", "named-pipe"): forces that transport.
        host: TCP host (default "127.0.0.1" when only `port` is given).
        port: TCP port (default 9096 when only `host` is given).
        socket_path: a Unix socket's path.
        pipe_name: a pipe name; `NAME` is the socket `<tmp>/NAME.sock`.
        max_pool_size: idle connections kept for reuse (8).
        api_token: sent with every request.

    Raises:
        ValueError: the arguments contradict each other, e.g. "When endpoint
            is provided, do not also pass host/port".
        TypeError, OverflowError: an argument of the wrong type or range.

    Example:
        >>> client = QueltClient("tcp://127.0.0.1:9096")
        >>> client.infer(0, [2, 2], "float32", array)  # array: a float32 NumPy array
    """
    def __new__(
        cls,
        endpoint: str | None = None,
        *,
        protocol: str | None = None,
        host: str | None = None,
        port: int | None = None,
        socket_path: str | None = None,
        pipe_name: str | None = None,
        max_pool_size: int = ...,
        api_token: str | None = None,
    ) -> QueltClient: ...
    def protocol(self) -> str:
        """The transport: "tcp", "unix" or "pipe" (a method, not a property).

        Example:
            >>> QueltClient(port=8000).protocol()
            'tcp'
        """
    def endpoint(self) -> str:
        """The resolved address as an endpoint string.

        Example:
            >>> QueltClient(port=8000).endpoint()
            'tcp://127.0.0.1:8000'
        """
    def infer(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> bytes:
        """Runs model `model_id` on one tensor and returns the output's bytes.

        The call waits as long as the server takes: there is no time-out, and
        Ctrl+C is noticed only when it returns.

        Args:
            model_id: the server's model number (0 to 2**32 - 1).
            shape: the dimensions, e.g. `list(array.shape)`.
            dtype: "float32", "float64", "float16", "int32", "int64", "uint8"
                or "string" (or "fp32", "fp64", "fp16", "i32", "i64", "u8",
                "utf8"; any case); for a NumPy array `str(array.dtype)`.
            data: the tensor's raw bytes: bytes, bytearray, memoryview, a
                C-contiguous NumPy array (`np.ascontiguousarray` makes one),
                or a sequence of ints 0..255. Its length is not checked
                against `shape` and `dtype`.
            additional_inputs: named extra tensors, name -> (shape, dtype, data).
            session_id: passed to the server unchanged.

        Returns:
            The output tensor's bytes (`np.frombuffer(out, dtype)` views them).

        Raises:
            ValueError: an unknown dtype ("Invalid input: Unsupported dtype: NAME").
            TypeError, OverflowError: an argument of the wrong type or range;
                nothing was sent.
            ConnectionError: the server could not be reached or the connection
                broke, e.g. "Connection refused (os error 111)".
            RuntimeError: the server's own error text (e.g. "Model not
                loaded"), or a reply that does not decode.

        Example:
            >>> out = client.infer(0, list(image.shape), "float32", image)
            >>> np.frombuffer(out, np.float32).reshape(image.shape)
        """
    def infer_tensor(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> tuple[bytes, list[int], str]:
        """Like `infer`, but returns the output's shape and dtype too.

        Arguments, waiting and exceptions as for `infer`.

        Returns:
            `(data, shape, dtype)`: the output's bytes, its dimensions and its
            canonical dtype name ("float16" where the server wrote "FP16").

        Example:
            >>> data, shape, dtype = client.infer_tensor(0, [4], "float32", array)
            >>> np.frombuffer(data, dtype=dtype).reshape(shape)
        """
    def infer_stream(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> StreamIterator:
        """Sends one request and returns an iterator over the answer's chunks.

        The request goes out on a connection of the iterator's own before this
        returns; each `next()` waits for the next chunk as long as the server
        takes (no time-out).

        Arguments as for `infer`.

        Returns:
            A `StreamIterator` yielding one `bytes` object per chunk.

        Raises:
            ValueError, TypeError, OverflowError: as for `infer`.
            ConnectionError: the server could not be reached.
            OSError: writing the request failed (BrokenPipeError,
                ConnectionResetError, ...).

        Example:
            >>> for chunk in client.infer_stream(2, [4], "float32", array):
            ...     handle(chunk)
        """

@final
@type_check_only
class StreamIterator(Iterator[bytes]):
    """The chunks of one streamed answer, as `bytes` (see `QueltClient.infer_stream`).

    Not importable: the module has no attribute of this name; objects of this
    class come only from `infer_stream`. Iteration ends at the server's end
    frame and stays ended; the connection closes when the iterator is
    destroyed.
    """
    def __iter__(self) -> StreamIterator: ...
    def __next__(self) -> bytes:
        """Waits for the next chunk and returns its bytes.

        Raises:
            StopIteration: the stream has ended.
            RuntimeError: the server sent an error frame (its text), a chunk
                did not decode, or the connection failed.

        Example:
            >>> first = next(client.infer_stream(2, [4], "float32", array))
        """

@final
class QueltShmClient:
    """A client that sends tensor and request through the server's
    shared-memory region: no socket at all.

    The input goes into a slot of the region's tensor pool, the request onto
    the region's request queue; the call polls the response queue.

    Args:
        shm_name: the region's name as the server created it (the POSIX
            shared-memory object /dev/shm/NAME).

    Raises:
        ConnectionError: the region cannot be opened or is not a valid region,
            e.g. "Shared memory error: Opening the shared memory failed, os
            error 2" (no such region: is the server running?).

    Example:
        >>> shm = QueltShmClient("quelt_shm")
        >>> out = shm.infer(list(image.shape), "float32", image)
    """
    def __new__(cls, shm_name: str) -> QueltShmClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> bytes:
        """Runs the region's model on one tensor and returns the output's bytes.

        Gives up after about 6 seconds without an answer; Ctrl+C during the
        wait raises KeyboardInterrupt.

        Args:
            shape: the dimensions (at most 8), e.g. `list(array.shape)`.
            dtype: a dtype name as for `QueltClient.infer`.
            data: the tensor's raw bytes, as for `QueltClient.infer`.

        Returns:
            The output tensor's bytes.

        Raises:
            ValueError: an unknown dtype, or more than 8 dimensions.
            TypeError, OverflowError: an argument of the wrong type or range.
            TimeoutError: "Request timed out": no answer within about 6 s.
            RuntimeError: the server's error text, "Queue is full", or "SHM
                tensor pool exhausted (...)" (the tensor is larger than the
                largest free slot); instead of the time-out, "The
                shared-memory region '...' was replaced (the server
                restarted): create a new client" (or "... was removed (the
                server stopped): ...").

        Example:
            >>> np.frombuffer(shm.infer([4], "float32", array), np.float32)
        """

@final
class QueltHybridClient:
    """A client that puts the tensor into the server's shared-memory region
    and sends a 52-byte control frame over the server's Unix socket.

    The socket is connected by the first call.

    Args:
        shm_name: the region's name as the server created it.
        socket_path: the server's Unix socket (a pipe name `\\\\.\\pipe\\NAME`
            means `<tmp>/NAME.sock`).

    Raises:
        ConnectionError: the region cannot be opened or is not a valid region.

    Example:
        >>> hybrid = QueltHybridClient("quelt_shm", "/tmp/quelt.sock")
        >>> out = hybrid.infer(list(image.shape), "float32", image)
    """
    def __new__(cls, shm_name: str, socket_path: str) -> QueltHybridClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> bytes:
        """Runs the server's region model on one tensor and returns the output's bytes.

        The call waits as long as the server takes: there is no time-out, and
        Ctrl+C is noticed only when it returns. Arguments and result as for
        `QueltShmClient.infer`.

        Raises:
            ValueError, TypeError, OverflowError: as for `QueltShmClient.infer`.
            RuntimeError: the socket cannot be opened ("Failed to open named
                pipe '/path': No such file or directory (os error 2)"), the
                connection broke, the server's error text, "SHM tensor pool
                exhausted (...)", or "The shared-memory region '...' was
                replaced (the server restarted): create a new client" (said
                before the socket is connected, or when it breaks).

        Example:
            >>> np.frombuffer(hybrid.infer([4], "float32", array), np.float32)
        """
