import pytest

from quelt_bench.memory_probe import parse_status
from quelt_bench.plan import Plan
from quelt_bench.stats import Summary, format_duration, format_size, median, percentile
from quelt_bench.targets import LARGE, Measurements, evaluate
from quelt_bench.timing import Budget, time_calls


@pytest.mark.parametrize("samples,p50,p99", [
    ([5], 5, 5),
    ([4, 1, 3, 2], 2.5, 4),
    (list(range(1, 101)), 50.5, 99),
    (list(range(1, 1001)), 500.5, 990),
])
def test_median_and_nearest_rank_p99(samples, p50, p99):
    assert median(samples) == p50
    assert percentile(samples, 0.99) == p99


def test_empty_samples_are_refused():
    with pytest.raises(ValueError):
        Summary.of([])


@pytest.mark.parametrize("size,text", [(64, "64 B"), (4096, "4 KiB"), (262144, "256 KiB"),
                                       (4 << 20, "4 MiB"), ((64 << 20) - 80, "64 MiB - 80 B"), (1536, "1.50 KiB")])
def test_size_names(size, text):
    assert format_size(size) == text


@pytest.mark.parametrize("ns,text", [(532.4, "532 ns"), (14_100, "14.10 µs"), (-16_405, "-16.41 µs"),
                                     (4_850_000, "4.85 ms"), (2.5e9, "2.50 s")])
def test_duration_names(ns, text):
    assert format_duration(ns) == text


def test_time_calls_respects_minimum_and_maximum():
    calls = []
    samples = time_calls(lambda: calls.append(1), Budget(min_calls=5, max_calls=7, seconds=0.0, warmup=2))
    assert len(samples) == 5 and len(calls) == 7
    samples = time_calls(lambda: None, Budget(min_calls=1, max_calls=3, seconds=60.0, warmup=0))
    assert len(samples) == 3


def _summary(median_ns):
    return Summary(median_ns, median_ns * 2, 100)


def _by_name(verdicts):
    return {v.what: v for v in verdicts}


def test_missing_figures_are_never_a_pass():
    m = Measurements(missing={"shm": "not implemented yet"})
    verdicts = evaluate(m)
    assert {v.status for v in verdicts} == {"n/a"}
    shm_rows = [v for v in verdicts if v.what.startswith("QueltShmClient.infer")]
    assert shm_rows and all("not implemented yet" in v.measured for v in shm_rows)


@pytest.mark.parametrize("client,raw,status", [(11.5, 10.0, "PASS"), (11.6, 10.0, "MISS"), (9.0, 10.0, "PASS")])
def test_ratio_against_the_same_transport_and_size(client, raw, status):
    m = Measurements(latency={("quelt_tcp", 64): _summary(client), ("raw_tcp", 64): _summary(raw),
                              ("raw_unix", 64): _summary(1.0)})
    verdict = _by_name(evaluate(m))["QueltClient.infer, 64 B, TCP"]
    assert verdict.status == status
    assert verdict.ratio == pytest.approx(client / raw)


def test_hybrid_is_judged_against_its_control_frames():
    m = Measurements(latency={("hybrid", 4096): _summary(26.0), ("raw_ctl", 0): _summary(20.0),
                              ("raw_unix", 4096): _summary(13.0)})
    verdict = _by_name(evaluate(m))["QueltHybridClient.infer, 4 KiB"]
    assert (verdict.status, verdict.ratio) == ("PASS", pytest.approx(1.3))
    assert "2.00x the ping-pong carrying the tensor" in verdict.measured


def test_shm_small_uses_the_spin_floor_and_large_the_copy_floor():
    big = LARGE[1]
    m = Measurements(latency={("shm", 64): _summary(3000), ("spin", 0): _summary(1000),
                              ("shm", big): _summary(110), ("copy", big): _summary(100),
                              ("copy_warm", big): _summary(80)})
    rows = _by_name(evaluate(m))
    assert rows["QueltShmClient.infer, 64 B, server answering at once"].ratio == pytest.approx(3.0)
    assert rows["QueltShmClient.infer, 64 MiB - 80 B"].status == "PASS"
    # At memory speed: judged against the copies alone, without the page faults of a new result.
    assert rows["QueltShmClient.infer, 64 MiB - 80 B, at memory speed"].ratio == pytest.approx(110 / 80)
    assert rows["QueltShmClient.infer, 64 MiB - 80 B, at memory speed"].status == "MISS"
    # With the protocol-only client measured, the row says how much of the ratio the protocol already takes.
    m.latency[("rawsrv_shm", 64)] = _summary(2500)
    small = _by_name(evaluate(m))["QueltShmClient.infer, 64 B, server answering at once"]
    assert (small.ratio, small.status) == (pytest.approx(3.0), "PASS")
    assert "the protocol-only C++ client: 2.50x; this client 1.20x that one" in small.measured


@pytest.mark.parametrize("client,pure,status", [(12.0, 20.0, "PASS"), (13.0, 20.0, "MISS"), (12.0, 9.0, "n/a")])
def test_overhead_is_measured_above_the_raw_floor(client, pure, status):
    m = Measurements(latency={("quelt_unix", 4096): _summary(client), ("raw_unix", 4096): _summary(10.0),
                              ("purepy_unix", 4096): _summary(pure)})
    assert _by_name(evaluate(m))["QueltClient overhead over raw, 4 KiB, Unix socket"].status == status


@pytest.mark.parametrize("growth,calls,status", [(1 << 20, 100_000, "PASS"), ((1 << 20) + 1, 100_000, "MISS"),
                                                 (0, 10_000, "n/a")])
def test_growth_needs_the_full_call_count(growth, calls, status):
    m = Measurements(growth={"shm": {"growth": growth, "calls": calls, "before": 0, "after": growth}})
    assert _by_name(evaluate(m))["resident-set growth over 100,000 calls, QueltShmClient"].status == status


@pytest.mark.parametrize("case,above,statuses", [
    ("hybrid", 2 * LARGE[1], ["PASS", "PASS"]), ("hybrid", 2 * LARGE[1] + (3 << 20), ["PASS", "MISS"]),
    ("hybrid", 3 * LARGE[1] + 4096, ["MISS", "MISS"]), ("quelt_tcp", LARGE[1] + (1 << 20), ["PASS", "PASS"]),
    ("quelt_tcp", LARGE[1] + (3 << 20), ["PASS", "MISS"])])
def test_peak_is_judged_against_three_tensors_and_against_what_the_client_needs(case, above, statuses):
    m = Measurements(peak={case: {"bytes": LARGE[1], "above_idle": above, "idle": 1, "peak": above + 1}})
    rows = [v for v in evaluate(m) if v.what.startswith("peak") and v.status != "n/a"]
    assert [v.status for v in rows] == statuses


def test_status_fields_are_read_in_bytes():
    text = "Name:\tpython\nVmHWM:\t  20480 kB\nVmRSS:\t  10240 kB\nVmSwap:\t0 kB\n"
    assert parse_status(text) == {"VmHWM": 20480 * 1024, "VmRSS": 10240 * 1024}


@pytest.mark.parametrize("rounds,large_rounds,expected", [(10, 3, [3, 7, 10]), (16, 4, [4, 8, 12, 16]),
                                                          (2, 5, [1, 2])])
def test_large_tensors_take_part_in_evenly_spread_rounds(rounds, large_rounds, expected):
    plan = Plan("t", (64, 4 << 20), rounds, large_rounds, {64: Budget(10, 10, 1.0, 1), 4 << 20: Budget(6, 6, 1.0, 1)},
                100, 1, 10)
    assert plan.rounds_of(64) == list(range(1, rounds + 1))
    assert plan.rounds_of(4 << 20) == expected
    assert plan.round_budget(4 << 20).min_calls == max(1, round(6 / len(expected)))  # the budget is shared out
