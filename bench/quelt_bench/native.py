"""Runs the native baseline programs built from bench/native and reads their samples."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from pathlib import Path

from .timing import Budget, Samples
from .wire_sizes import FrameSizes


def _time_budget(budget: Budget | None) -> list[object]:
    """Arguments that let a ping-pong run as long, and as many times at most, as a Python case."""
    if budget is None:
        return []
    return ["--max-iterations", budget.max_calls, "--budget-ms", round(budget.seconds * 1000)]


class NativeBaselines:
    def __init__(self, build_dir: Path):
        self.bench_dir = Path(build_dir) / "bench"

    def program(self, name: str) -> Path:
        path = self.bench_dir / name
        if not path.exists():
            raise FileNotFoundError(f"baseline program {path} is not built")
        return path

    def _samples(self, name: str, *arguments: object) -> Samples:
        """The program's samples, with its processor time per call."""
        series = self._run(name, *arguments)
        cpu = series.get("cpu_ns_per_call")
        return Samples(series["samples_ns"], cpu[0] if cpu else None)

    def _run(self, name: str, *arguments: object, timeout: float = 300) -> dict[str, list[float]]:
        command = [str(self.program(name)), *map(str, arguments)]
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        if done.returncode != 0:
            raise RuntimeError(f"{name} failed ({done.returncode}): {done.stderr.strip()}")
        series = json.loads(done.stdout)
        if not series.get("samples_ns"):
            raise RuntimeError(f"{name} reported no samples")
        return series

    def socket_pingpong(
        self, transport: str, frames: FrameSizes, iterations: int, warmup: int, reply_buffer: str = "fresh",
        budget: Budget | None = None, wait: str = "block", peer_cpu: int | None = None,
    ) -> Samples:
        """`wait` is "block" (both sides sleep in recv) or "spin" (both poll
        without sleeping; `peer_cpu` then gives the echo peer a processor of its own)."""
        return self._samples(
            "quelt-bench-socket",
            "--transport", transport,
            "--request-payload", frames.request_payload,
            "--reply-body", frames.reply_body,
            "--iterations", iterations,
            "--warmup", warmup,
            "--reply-buffer", reply_buffer,
            "--wait", wait,
            *([] if peer_cpu is None else ["--peer-cpu", peer_cpu]),
            *_time_budget(budget),
        )

    def socket_to_server(self, target: str, request_frame: bytes, reply_body: int, iterations: int,
                         warmup: int, budget: Budget | None = None, wait: str = "block") -> Samples:
        """The raw client against a running server (`target` is unix:PATH or
        tcp:HOST:PORT), sending `request_frame` and expecting a success reply
        of `reply_body` bytes; with `wait` "spin" it polls for the reply
        without sleeping."""
        descriptor, path = tempfile.mkstemp(prefix="quelt-bench-frame-")
        try:
            with os.fdopen(descriptor, "wb") as frame:
                frame.write(request_frame)
            return self._samples(
                "quelt-bench-socket",
                "--connect", target,
                "--request-file", path,
                "--reply-body", reply_body,
                "--iterations", iterations,
                "--warmup", warmup,
                "--wait", wait,
                *_time_budget(budget),
            )
        finally:
            os.unlink(path)

    def shm_spin(self, iterations: int, batch: int = 100, warmup: int = 1000, max_seconds: int = 60,
                 peer_cpu: int | None = None) -> Samples:
        peer = [] if peer_cpu is None else ["--peer-cpu", peer_cpu]
        return self._samples(
            "quelt-bench-shm-spin", "--iterations", iterations, "--batch", batch, "--warmup", warmup,
            "--max-seconds", max_seconds, *peer,
        )

    def shm_client(self, shm_name: str, data_len: int, iterations: int, warmup: int,
                   max_seconds: int = 60, control: str | None = None, wait: str = "library") -> Samples:
        """The protocol-only C++ client against a running server's region;
        with `control` (the server's socket path) it sends the hybrid
        client's control frames instead of using the queues, through the
        library's code or (`wait` "spin") polling a plain socket."""
        return self._samples(
            "quelt-bench-shm-client", "--shm-name", shm_name, "--bytes", data_len, "--iterations", iterations,
            "--warmup", warmup, "--max-seconds", max_seconds, *([] if control is None else ["--control", control, "--wait", wait]),
        )

    def copy_floor(self, data_len: int, iterations: int, warmup: int = 2) -> dict[str, list[float]]:
        return self._run("quelt-bench-copy", "--bytes", data_len, "--iterations", iterations, "--warmup", warmup)
