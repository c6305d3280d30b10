"""What a user might reach for instead of a dedicated client: pyzmq REQ/REP
over ipc:// and gRPC unary calls over a Unix socket, each echoing the tensor's
bytes. Both are optional: a kind whose package is missing reports itself as
unavailable and the report skips it.

Each measurement runs in a subprocess of its own (with its echo server in a
second one), so neither library's threads disturb the other figures:

    python -m quelt_bench.echo_baselines measure --kind zmq --sizes 64,4096 --min-calls 500 ...
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

from .timing import Budget, time_calls

KINDS = {"zmq": "zmq", "grpc": "grpc"}
_METHOD = "/quelt.bench.Echo/Echo"
_UNLIMITED = [("grpc.max_send_message_length", -1), ("grpc.max_receive_message_length", -1)]


def available(kind: str) -> bool:
    return importlib.util.find_spec(KINDS[kind]) is not None


def _socket_path(kind: str) -> str:
    return os.path.join(tempfile.gettempdir(), f"quelt-bench-{kind}-{uuid.uuid4().hex[:12]}.sock")


def address_of(kind: str, path: str) -> str:
    return f"ipc://{path}" if kind == "zmq" else f"unix:{path}"


def serve(kind: str, address: str) -> None:
    if kind == "zmq":
        import zmq

        context = zmq.Context()
        sock = context.socket(zmq.REP)
        sock.bind(address)
        print("ready", flush=True)
        while True:
            message = sock.recv(copy=False)
            if len(message) == 0:
                break
            sock.send(message, copy=False)
        sock.send(b"")
        sock.close(linger=0)
        context.term()
    else:
        from concurrent import futures

        import grpc

        def echo(request, context):
            return request

        server = grpc.server(futures.ThreadPoolExecutor(max_workers=1), options=_UNLIMITED)
        handler = grpc.method_handlers_generic_handler(
            "quelt.bench.Echo", {"Echo": grpc.unary_unary_rpc_method_handler(echo)}
        )
        server.add_generic_rpc_handlers((handler,))
        server.add_insecure_port(address)
        server.start()
        print("ready", flush=True)
        sys.stdin.read()  # the measuring side closes our stdin when it is done
        server.stop(grace=None)


class _Client:
    def __init__(self, kind: str, address: str):
        self.kind = kind
        if kind == "zmq":
            import zmq

            self.context = zmq.Context()
            self.sock = self.context.socket(zmq.REQ)
            self.sock.connect(address)
            sock = self.sock

            def call(data):
                sock.send(data)
                return sock.recv()

        else:
            import grpc

            self.channel = grpc.insecure_channel(address, options=_UNLIMITED)
            call = self.channel.unary_unary(_METHOD)
        self.call = call

    def close(self) -> None:
        if self.kind == "zmq":
            self.sock.send(b"")
            self.sock.recv()
            self.sock.close(linger=0)
            self.context.term()
        else:
            self.channel.close()


def _environment() -> dict[str, str]:
    """This process's environment with the benchmark package importable."""
    here = str(Path(__file__).resolve().parent.parent)
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))


def measure(kind: str, sizes: list[int], budgets: list[Budget]) -> dict[int, list[float]]:
    path = _socket_path(kind)
    address = address_of(kind, path)
    server = subprocess.Popen(
        [sys.executable, "-m", "quelt_bench.echo_baselines", "serve", "--kind", kind, "--address", address],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=_environment(),
    )
    try:
        if server.stdout.readline().strip() != "ready":
            raise RuntimeError(f"{kind} echo server did not start")
        client = _Client(kind, address)
        results = {}
        for size, budget in zip(sizes, budgets):
            data = b"\x5a" * size  # resident bytes, like a real tensor
            reply = client.call(data)
            if len(reply) != size:
                raise RuntimeError(f"{kind} echo returned {len(reply)} bytes for {size}")
            results[size] = time_calls(lambda: client.call(data), budget)
        client.close()
        return results
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
        if os.path.exists(path):
            os.unlink(path)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="quelt_bench.echo_baselines")
    parser.add_argument("role", choices=["serve", "measure"])
    parser.add_argument("--kind", choices=sorted(KINDS), required=True)
    parser.add_argument("--address")
    parser.add_argument("--sizes", default="")
    parser.add_argument("--budgets", default="", help="min:max:seconds:warmup per size, comma separated")
    options = parser.parse_args(argv)
    if options.role == "serve":
        serve(options.kind, options.address)
        return 0
    sizes = [int(size) for size in options.sizes.split(",") if size]
    budgets = [Budget(int(a), int(b), float(c), int(d)) for a, b, c, d in
               (item.split(":") for item in options.budgets.split(",") if item)]
    samples = measure(options.kind, sizes, budgets)
    json.dump({str(size): values for size, values in samples.items()}, sys.stdout)
    return 0


def run_subprocess(kind: str, sizes: list[int], budgets: list[Budget], timeout: float = 600) -> dict[int, list[float]]:
    """Measures one kind in a fresh interpreter; returns samples per tensor size."""
    spec = ",".join(f"{b.min_calls}:{b.max_calls}:{b.seconds}:{b.warmup}" for b in budgets)
    done = subprocess.run(
        [sys.executable, "-m", "quelt_bench.echo_baselines", "measure", "--kind", kind,
         "--sizes", ",".join(map(str, sizes)), "--budgets", spec],
        capture_output=True, text=True, env=_environment(), timeout=timeout,
    )
    if done.returncode != 0:
        raise RuntimeError(f"{kind} baseline failed: {done.stderr.strip()[-500:]}")
    return {int(size): values for size, values in json.loads(done.stdout).items()}


if __name__ == "__main__":
    sys.exit(main())
