import os
import socket
import struct
import subprocess
import threading

import pytest

from quelt_bench.native import NativeBaselines
from quelt_bench.placement import Placement
from quelt_bench.timing import Budget
from quelt_bench.wire_sizes import FrameSizes


@pytest.mark.parametrize("transport", ["unix", "tcp"])
@pytest.mark.parametrize("frames", [FrameSizes(51, 0), FrameSizes(115, 105), FrameSizes(300_051, 300_041)])
@pytest.mark.parametrize("buffer,wait", [("fresh", "block"), ("warm", "block"), ("fresh", "spin")])
def test_socket_pingpong_completes_every_round_trip(build_dir, transport, frames, buffer, wait):
    samples = NativeBaselines(build_dir).socket_pingpong(transport, frames, iterations=20, warmup=2,
                                                         reply_buffer=buffer, wait=wait)
    assert len(samples) == 20 and min(samples) > 0


@pytest.mark.parametrize("budget,low,high", [(Budget(5, 8, 0.0, 0), 5, 5), (Budget(5, 8, 60.0, 0), 8, 8),
                                             (Budget(5, 100_000, 0.05, 0), 6, 99_999)])
def test_socket_pingpong_honours_the_time_budget(build_dir, budget, low, high):
    samples = NativeBaselines(build_dir).socket_pingpong("unix", FrameSizes(51, 41), iterations=5, warmup=0,
                                                         budget=budget)
    assert low <= len(samples) <= high


def test_shm_spin_reports_batch_means(build_dir):
    samples = NativeBaselines(build_dir).shm_spin(iterations=2000, batch=100, warmup=10)
    assert len(samples) == 20 and min(samples) > 0


def test_copy_floor_is_the_sum_of_its_parts(build_dir):
    series = NativeBaselines(build_dir).copy_floor(1 << 20, iterations=4, warmup=1)
    assert len(series.pop("cpu_ns_per_call")) == 1
    assert {len(v) for v in series.values()} == {4}
    for total, copy_in, copy_out in zip(series["samples_ns"], series["copy_in_ns"], series["alloc_copy_out_ns"]):
        assert total == pytest.approx(copy_in + copy_out, abs=1.0)
    for total, copy_in, copy_out in zip(series["warm_samples_ns"], series["copy_in_ns"], series["copy_out_warm_ns"]):
        assert total == pytest.approx(copy_in + copy_out, abs=1.0)


@pytest.mark.parametrize("program,arguments", [
    ("quelt-bench-socket", ["--transport", "udp"]),
    ("quelt-bench-socket", ["--iterations"]),
    ("quelt-bench-shm-spin", ["--batch", "0"]),
    ("quelt-bench-copy", ["--bytes", "lots"]),
])
def test_bad_arguments_fail_with_usage_status(build_dir, program, arguments):
    done = subprocess.run([str(build_dir / "bench" / program), *arguments], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.startswith("error:")


def _answer_frames(listener, reply_code, body, count):
    connection, _ = listener.accept()
    with connection:
        for _ in range(count):
            header = connection.recv(12, socket.MSG_WAITALL)
            if len(header) < 12:
                return
            length = struct.unpack("<III", header)[2]
            connection.recv(length, socket.MSG_WAITALL)
            connection.sendall(struct.pack("<II", reply_code, len(body)) + body)


@pytest.mark.parametrize("reply_code,body,succeeds", [(0, b"x" * 41, True), (3, b"x" * 41, False),
                                                      (0, b"x" * 40, False)])
def test_raw_client_against_a_server_accepts_only_the_expected_success_reply(build_dir, tmp_path, reply_code,
                                                                           body, succeeds):
    path = str(tmp_path / "server.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    server = threading.Thread(target=_answer_frames, args=(listener, reply_code, body, 6), daemon=True)
    server.start()
    frame = struct.pack("<III", 0, 1, 4) + b"abcd"
    try:
        if succeeds:
            samples = NativeBaselines(build_dir).socket_to_server(f"unix:{path}", frame, 41, iterations=4, warmup=2)
            assert len(samples) == 4
        else:
            with pytest.raises(RuntimeError, match="expected 0 and 41"):
                NativeBaselines(build_dir).socket_to_server(f"unix:{path}", frame, 41, iterations=4, warmup=2)
    finally:
        server.join(5)
        listener.close()


@pytest.mark.parametrize("available,server,clients", [({0, 1}, {1}, {0}), ({0, 2, 5}, {5}, {0, 2}), ({3}, None, None)])
def test_placement_gives_the_server_a_processor_of_its_own(available, server, clients):
    placement = Placement.choose(pin=True, available=available)
    assert placement.server_cpus == (frozenset(server) if server else None)
    assert placement.client_cpus == (frozenset(clients) if clients else None)
    assert Placement.choose(pin=False, available=available).peer_cpu is None


@pytest.mark.parametrize("regime", ["apart", "together"])
def test_placement_is_undone_after_the_placed_cases(regime):
    everywhere = os.sched_getaffinity(0)
    if len(everywhere) < 2:
        pytest.skip("needs two processors")
    sleeper = subprocess.Popen(["sleep", "30"])
    try:
        placement = Placement.choose(pin=True)
        placement.server_pid = sleeper.pid
        with getattr(placement, regime)():
            server, client = os.sched_getaffinity(sleeper.pid), os.sched_getaffinity(0)
            assert len(server) == 1
            if regime == "together":
                assert client == server
            else:
                assert not client & server and client | server == everywhere
        assert os.sched_getaffinity(0) == everywhere == os.sched_getaffinity(sleeper.pid)
    finally:
        sleeper.kill()
        sleeper.wait()


def test_a_pinned_spin_peer_still_answers(build_dir):
    cpu = max(os.sched_getaffinity(0))
    assert len(NativeBaselines(build_dir).shm_spin(iterations=1000, batch=100, warmup=10, peer_cpu=cpu)) == 10


@pytest.mark.parametrize("hybrid,wait", [(False, "library"), (True, "library"), (True, "spin")])
def test_protocol_only_shm_client_against_the_reference_server(build_dir, tmp_path, hybrid, wait):
    server_program = build_dir / "server" / "quelt-refserver"
    name = f"quelt_bench_test_{os.getpid()}"
    socket_path = str(tmp_path / "control.sock")
    server = subprocess.Popen([str(server_program), "--no-tcp", "--unix", socket_path, "--shm-name", name,
                               "--pool-size", "1M"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        lines = iter(server.stdout.readline, "")
        assert any("ready" in line for line in lines), "the server did not start"
        samples = NativeBaselines(build_dir).shm_client(name, 4096, iterations=50, warmup=5,
                                                        control=socket_path if hybrid else None, wait=wait)
        assert len(samples) == 50 and min(samples) > 0
    finally:
        server.terminate()
        server.wait(10)
    with pytest.raises(RuntimeError, match="Shared memory error"):
        NativeBaselines(build_dir).shm_client(name, 64, iterations=5, warmup=0)
