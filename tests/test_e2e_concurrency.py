"""Several client processes on one reference server at the same time."""
import subprocess
import sys
import textwrap

# Each worker checks every answer against its own input: a mixed-up or lost
# answer fails it. The seed differs per worker, so the inputs do too.
WORKER = textwrap.dedent(
    """
    import sys, numpy as np, quelt_sdk
    kind, address, seed, calls = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    if kind == "socket":
        client = quelt_sdk.QueltClient(address)
        infer = lambda shape, dtype, data: client.infer(0, shape, dtype, data)
    elif kind == "shm":
        infer = quelt_sdk.QueltShmClient(address).infer
    else:
        shm_name, socket_path = address.split("|")
        infer = quelt_sdk.QueltHybridClient(shm_name, socket_path).infer
    rng = np.random.default_rng(seed)
    for _ in range(calls):
        array = rng.integers(0, 255, int(rng.integers(1, 70000)), dtype=np.uint8)
        answer = infer([array.size], "uint8", array)
        if answer != array.tobytes():
            sys.exit(f"{kind} worker {seed}: wrong answer for {array.size} bytes")
    print("ok")
    """
)


def test_socket_clients_and_a_shared_memory_client_at_once(refserver):
    workers = [
        ("socket", refserver.tcp_endpoint),
        ("socket", refserver.tcp_endpoint),
        ("socket", refserver.unix_endpoint),
        ("socket", refserver.unix_endpoint),
    ]
    # QueltShmClient processes share the region's one response queue, where
    # one may take (and drop) another's answer: one such process at a time.
    workers.append(("shm", refserver.shm_name))
    processes = [
        subprocess.Popen([sys.executable, "-c", WORKER, kind, address, str(seed), "150"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for seed, (kind, address) in enumerate(workers)
    ]
    for process in processes:
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, err
        assert out.strip() == "ok"
