"""A deadline for calls that would otherwise wait as long as the server takes.

A QueltClient or QueltHybridClient call has no time-out, and it holds the
interpreter lock while it waits, so nothing in its own process can stop it.
Here the call runs in a worker process: the caller waits for the answer with
a time-out, and a worker still inside its call when the time is up is ended
and replaced, so the next call and the program's exit go ahead.

    python examples/deadline.py ENDPOINT SECONDS MODEL_ID...

makes one call to each model with a deadline of SECONDS and prints what came
back, e.g. against `quelt-refserver --slow-ms 600000` with models 4 (slow)
and 0 (identity): "model 4: no answer within 1.0 s", then "model 0: 16
bytes". It exits with status 1 if an answer differs from the identity
model's.

Do not build this on concurrent.futures.ProcessPoolExecutor: its
result(timeout=) times out too, but the executor joins the stuck worker when
it shuts down, so the program never ends.
"""
import multiprocessing
import multiprocessing.pool
import sys
from typing import Optional

import numpy as np
import quelt_sdk

_client: Optional[quelt_sdk.QueltClient] = None


def _connect(endpoint: str) -> None:
    global _client
    _client = quelt_sdk.QueltClient(endpoint)  # made in the worker, used only there


def _infer(model_id: int, shape: list[int], dtype: str, data: bytes) -> bytes:
    assert _client is not None
    return _client.infer(model_id, shape, dtype, data)


class DeadlineClient:
    """QueltClient.infer in a worker process, answered within `seconds` or
    TimeoutError."""

    def __init__(self, endpoint: str, seconds: float) -> None:
        self._endpoint = endpoint
        self._seconds = seconds
        self._pool = self._start()

    def _start(self) -> multiprocessing.pool.Pool:
        # "spawn": the worker is a fresh interpreter, whatever threads this
        # process runs (forking a process with threads is unsafe).
        context = multiprocessing.get_context("spawn")
        pool = context.Pool(1, initializer=_connect, initargs=(self._endpoint,))
        pool.apply(int)  # waits until the worker is up, so the deadline counts the call alone
        return pool

    def infer(self, model_id: int, shape: list[int], dtype: str, data: bytes) -> bytes:
        pending = self._pool.apply_async(_infer, (model_id, shape, dtype, data))
        try:
            return pending.get(timeout=self._seconds)
        except multiprocessing.TimeoutError:
            self._pool.terminate()  # ends the worker stuck in its call
            self._pool = self._start()
            raise TimeoutError(f"no answer within {self._seconds} s") from None

    def close(self) -> None:
        self._pool.terminate()

    def __enter__(self) -> "DeadlineClient":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def main(endpoint: str, seconds: float, model_ids: list[int]) -> int:
    tensor = np.arange(4, dtype=np.float32).tobytes()
    wrong = 0
    with DeadlineClient(endpoint, seconds) as client:
        for model_id in model_ids:
            try:
                out = client.infer(model_id, [4], "float32", tensor)
            except TimeoutError as error:
                print(f"model {model_id}: {error}", flush=True)
                continue
            if model_id == 0 and out != tensor:
                wrong += 1
            print(f"model {model_id}: {len(out)} bytes", flush=True)
    return 1 if wrong else 0


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], float(sys.argv[2]), [int(m) for m in sys.argv[3:]]))
