import importlib.util

import pytest

from quelt_bench import echo_baselines
from quelt_bench.charts import draw
from quelt_bench.plan import SIZES
from quelt_bench.report import render
from quelt_bench.stats import Summary
from quelt_bench.targets import Measurements, evaluate

MACHINE = {"cpu": "test cpu", "kernel": "6.0", "python": "3.11", "commit": "abc1234"}


def _partial_run():
    latency = {(case, size): Summary(1000.0 * (i + 1), 2000.0 * (i + 1), 50)
               for i, size in enumerate(SIZES) for case in ("quelt_unix", "raw_unix", "purepy_unix")}
    latency[("spin", 0)] = Summary(600.0, 900.0, 20)
    latency[("quelt_unix_slow", 64)] = Summary(2.1e6, 2.2e6, 50)
    cpu = {("quelt_unix", 64): 7000.0, ("quelt_unix_slow", 64): 12000.0}
    first = {"hybrid": {"bytes": SIZES[-1], "first": 9e7, "median": 1.2e7, "after_idle": 2e7, "idle": 10.0}}
    return Measurements(latency=latency, cpu=cpu, first_call=first, missing={"shm": "not implemented yet"},
                        growth={"quelt_unix": {"growth": 0, "calls": 100_000, "before": 1 << 24, "after": 1 << 24}})


def test_report_lists_targets_figures_and_gaps():
    m = _partial_run()
    text = render(m, evaluate(m), SIZES, MACHINE, "python bench/run.py --quick", "quick", [], ["a note"],
                  "2026-01-01 00:00 UTC", 90.0)
    assert "| QueltClient.infer, 64 B, Unix socket | raw C++ ping-pong, same bytes (Unix socket) | <= 1.15x | 1.00x | PASS |" in text
    assert "- QueltShmClient: not implemented yet" in text
    assert "1.00 µs (2.00 µs)" in text  # median with p99
    assert "- a note" in text
    assert "| QueltClient (Unix socket) | 7.00 µs | – | – | – | – |" in text  # processor time per call
    assert "| QueltClient (Unix socket), server taking 2 ms | 2.10 ms | 12.00 µs |" in text
    assert "| QueltHybridClient | 90.00 ms | 12.00 ms | 20.00 ms (10 s idle) |" in text
    assert "![" not in text


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="matplotlib is not installed")
def test_charts_are_written_as_png(tmp_path):
    names, why_not = draw(_partial_run(), SIZES, tmp_path)
    assert why_not is None and names == ["latency.png", "throughput.png", "cpu.png", "first_call.png"]
    for name in names:
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("kind", ["zmq", "grpc"])
def test_echo_baselines_echo_every_size(kind):
    if not echo_baselines.available(kind):
        pytest.skip(f"{kind} is not installed")
    from quelt_bench.timing import Budget

    results = echo_baselines.run_subprocess(kind, [64, 5 << 20], [Budget(3, 3, 0.0, 1)] * 2, timeout=60)
    assert {size: len(values) for size, values in results.items()} == {64: 3, 5 << 20: 3}


def test_time_splits_leave_out_calls_with_a_missing_figure():
    m = Measurements(latency={("raw_unix", 64): Summary(10_000.0, 1, 1), ("rawsrv_unix", 64): Summary(10_500.0, 1, 1),
                              ("quelt_unix", 64): Summary(11_700.0, 1, 1), ("quelt_tcp", 64): Summary(9_000.0, 1, 1),
                              ("spin", 0): Summary(140.0, 1, 1), ("rawsrv_shm", 64): Summary(560.0, 1, 1),
                              ("shm", 64): Summary(900.0, 1, 1), ("shm", 4096): Summary(1000.0, 1, 1)})
    text = render(m, evaluate(m), (64, 4096), MACHINE, "python bench/run.py", "full", [], [],
                  "2026-01-01 00:00 UTC", 1.0)
    assert "| QueltClient, Unix socket, 64 B | 10.00 µs | 500 ns | 1.20 µs |" in text
    assert "QueltClient, TCP" not in text  # no raw TCP figures
    assert "| QueltShmClient, 64 B | 140 ns | 420 ns | 340 ns |" in text
    assert "QueltShmClient, 4 KiB" not in text  # no protocol-only figure at 4 KiB
