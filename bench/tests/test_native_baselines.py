import subprocess

import pytest

from quelt_bench.native import NativeBaselines
from quelt_bench.wire_sizes import FrameSizes


@pytest.mark.parametrize("transport", ["unix", "tcp"])
@pytest.mark.parametrize("frames", [FrameSizes(51, 0), FrameSizes(115, 105), FrameSizes(300_051, 300_041)])
@pytest.mark.parametrize("buffer", ["fresh", "warm"])
def test_socket_pingpong_completes_every_round_trip(build_dir, transport, frames, buffer):
    samples = NativeBaselines(build_dir).socket_pingpong(transport, frames, iterations=20, warmup=2,
                                                         reply_buffer=buffer)
    assert len(samples) == 20 and min(samples) > 0


def test_shm_spin_reports_batch_means(build_dir):
    samples = NativeBaselines(build_dir).shm_spin(iterations=2000, batch=100, warmup=10)
    assert len(samples) == 20 and min(samples) > 0


def test_copy_floor_is_the_sum_of_its_parts(build_dir):
    series = NativeBaselines(build_dir).copy_floor(1 << 20, iterations=4, warmup=1)
    assert {len(v) for v in series.values()} == {4}
    for total, copy_in, copy_out in zip(series["samples_ns"], series["copy_in_ns"], series["alloc_copy_out_ns"]):
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
