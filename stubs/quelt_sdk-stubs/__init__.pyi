from collections.abc import Iterator, Mapping, Sequence
from typing import SupportsIndex, final

from typing_extensions import Buffer

_Data = Buffer | Sequence[SupportsIndex]
_Shape = Sequence[SupportsIndex]
_AdditionalInputs = Mapping[str, tuple[_Shape, str, _Data]]

@final
class QueltClient:
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
    def protocol(self) -> str: ...
    def endpoint(self) -> str: ...
    def infer(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> bytes: ...
    def infer_tensor(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> tuple[bytes, list[int], str]:
        """Like `infer` but returns `(data, shape, dtype)` so the caller knows
        how to interpret the output bytes without hardcoding dimensions.
        Essential for models whose output shape varies (diffusion, video, TTS)."""
    def infer_stream(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _Data,
        additional_inputs: _AdditionalInputs | None = None,
        session_id: str | None = None,
    ) -> StreamIterator: ...

@final
class StreamIterator(Iterator[bytes]):
    def __iter__(self) -> StreamIterator: ...
    def __next__(self) -> bytes: ...

@final
class QueltShmClient:
    """PyO3 wrapper for shared memory client"""
    def __new__(cls, shm_name: str) -> QueltShmClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> bytes: ...

@final
class QueltHybridClient:
    def __new__(cls, shm_name: str, socket_path: str) -> QueltHybridClient: ...
    def infer(self, shape: _Shape, dtype: str, data: _Data) -> bytes: ...
