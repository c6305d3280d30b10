"""quelt_sdk in five minutes: start the reference server, then send a NumPy
tensor through each of the three clients and time the calls.

    pip install ".[examples]" && python examples/quickstart.py

It exits with status 1 if any answer differs from what the server should
have sent.
"""
import pathlib
import statistics
import struct
import sys
import time

import numpy as np
import quelt_sdk

try:
    from quelt_refserver import MODELS, RefServer
except ImportError:  # running from a source checkout without installing
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "server"))
    from quelt_refserver import MODELS, RefServer

CALLS = 200
wrong_answers = []


def checked(label, ok):
    """`ok` as the demo prints it; a wrong answer also fails the run."""
    if not ok:
        wrong_answers.append(label)
    return ok


def timed(call, calls=CALLS):
    """Runs `call` a few times to warm up, then `calls` times; returns the
    last result and the per-call times in microseconds."""
    for _ in range(5):
        result = call()
    times = []
    for _ in range(calls):
        started = time.perf_counter()
        result = call()
        times.append((time.perf_counter() - started) * 1e6)
    return result, times


def report(label, times):
    print(f"    {label:<34} median {statistics.median(times):9.1f} us   "
          f"best {min(times):9.1f} us   ({len(times)} calls)")


def main():
    image = np.random.default_rng(0).standard_normal((1, 3, 224, 224)).astype(np.float32)
    small = np.arange(256, dtype=np.float32)
    print(f"input: {image.dtype} tensor of shape {list(image.shape)} ({image.nbytes:,} bytes), "
          f"and a small one of {small.nbytes} bytes\n")

    with RefServer() as server:
        print(f"reference server: {server.tcp_endpoint}, {server.unix_endpoint}, "
              f"region '{server.shm_name}' ({server.shm_size:,} bytes)\n")

        for name, endpoint in (("TCP", server.tcp_endpoint), ("Unix socket", server.unix_endpoint)):
            client = quelt_sdk.QueltClient(endpoint)
            print(f"QueltClient over {name} ({client.protocol()}, {client.endpoint()})")
            data, shape, dtype = client.infer_tensor(MODELS["identity"], list(image.shape), "float32", image)
            echoed = np.frombuffer(data, dtype=dtype).reshape(shape)
            same = checked(f"{name} identity", np.array_equal(echoed, image))
            print(f"    identity  -> {dtype} {shape}, equal to the input: {same}")
            total = struct.unpack("<f", client.infer(MODELS["sum"], list(image.shape), "float32", image))[0]
            expected = image.sum(dtype=np.float64)
            checked(f"{name} sum", abs(total - expected) <= 1e-3 * max(1.0, abs(expected)))
            print(f"    sum       -> {total:.4f} (NumPy says {expected:.4f})")
            chunks = list(client.infer_stream(MODELS["stream"], [small.size], "float32", small))
            checked(f"{name} stream", b"".join(chunks) == small.tobytes())
            print(f"    stream    -> {len(chunks)} chunks of {[len(c) for c in chunks]} bytes")
            try:
                client.infer(MODELS["error"], [1], "float32", small[:1])
                checked(f"{name} error", False)  # the error model must fail
            except RuntimeError as error:
                print(f"    error     -> RuntimeError: {error}")
            _, times = timed(lambda: client.infer(MODELS["identity"], [small.size], "float32", small))
            report(f"identity, {small.nbytes} bytes", times)
            _, times = timed(lambda: client.infer(MODELS["identity"], list(image.shape), "float32", image), 50)
            report(f"identity, {image.nbytes:,} bytes", times)
            print()

        shm = quelt_sdk.QueltShmClient(server.shm_name)
        hybrid = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
        for label, client in (("QueltShmClient (queues in the region)", shm),
                              ("QueltHybridClient (control frame over the socket)", hybrid)):
            print(label)
            echoed = np.frombuffer(client.infer(list(image.shape), "float32", image), np.float32)
            same = checked(f"{label} identity", np.array_equal(echoed.reshape(image.shape), image))
            print(f"    identity  -> {echoed.size} float32 values, equal to the input: {same}")
            _, times = timed(lambda: client.infer([small.size], "float32", small))
            report(f"identity, {small.nbytes} bytes", times)
            _, times = timed(lambda: client.infer(list(image.shape), "float32", image), 50)
            report(f"identity, {image.nbytes:,} bytes", times)
            print()
    print("server stopped; its socket and region are gone")
    if wrong_answers:
        sys.exit(f"wrong answers: {', '.join(wrong_answers)}")


if __name__ == "__main__":
    main()
