import io
from contextlib import contextmanager

import pytest

from quelt_bench import runner as runner_module
from quelt_bench.cases import CLIENTS, LONG, PURE, SHM_SLOW, SLOW, ServerAddresses
from quelt_bench.placement import Placement
from quelt_bench.plan import Plan
from quelt_bench.progress import Progress
from quelt_bench.runner import Runner
from quelt_bench.timing import Budget

BIG = 4 << 20
PLAN = Plan(name="test", sizes=(64, BIG), rounds=2, large_rounds=1,
            budgets={64: Budget(4, 4, 0.0, 1), BIG: Budget(2, 2, 0.0, 1)}, spin_iterations=200, spin_seconds=1,
            growth_calls=10)


class FakeNative:
    def socket_pingpong(self, transport, frames, iterations, warmup, reply_buffer="fresh", budget=None, wait="block",
                        peer_cpu=None):
        assert wait == "block" or (peer_cpu, RecordingPlacement.active) == (1, "apart")
        return [1000.0] * iterations

    def socket_to_server(self, target, frame, reply_body, iterations, warmup, budget=None, wait="block"):
        assert target.startswith(("unix:/sock", "tcp:127.0.0.1:9"))
        return [1500.0] * iterations

    def shm_spin(self, iterations, batch=100, warmup=1000, max_seconds=60, peer_cpu=None):
        assert (peer_cpu, RecordingPlacement.active) == (1, "apart")
        return [500.0] * max(1, iterations // batch)

    def shm_client(self, shm_name, data_len, iterations, warmup, max_seconds=60, control=None, wait="library"):
        assert RecordingPlacement.active == "apart"
        return [700.0] * iterations

    def copy_floor(self, data_len, iterations, warmup=2):
        return {"samples_ns": [3.0] * iterations, "copy_in_ns": [1.0] * iterations,
                "alloc_copy_out_ns": [2.0] * iterations, "fresh_page_copy_ns": [4.0] * iterations,
                "warm_samples_ns": [1.5] * iterations, "copy_out_warm_ns": [0.5] * iterations}


class EchoClient:
    def __init__(self, shrink=0):
        self.shrink = shrink

    def infer(self, *arguments):
        return bytes(len(arguments[-1]) - self.shrink)


class UnfinishedClient:
    def infer(self, *arguments):
        raise NotImplementedError("work in progress")


class RecordingPlacement(Placement):
    """Notes how each client kind was placed when it was called."""

    active = None
    seen: dict = {}

    @property
    def peer_cpu(self):
        return 1

    @contextmanager
    def apart(self):
        RecordingPlacement.active = "apart"
        try:
            yield 1
        finally:
            RecordingPlacement.active = None

    @contextmanager
    def together(self):
        RecordingPlacement.active = "together"
        try:
            yield None
        finally:
            RecordingPlacement.active = None


class PlacementAwareClient(EchoClient):
    def __init__(self, kind):
        super().__init__()
        self.kind = kind

    def infer(self, *arguments):
        RecordingPlacement.seen.setdefault(self.kind, set()).add(RecordingPlacement.active)
        return super().infer(*arguments)


@pytest.fixture
def run_with(monkeypatch):
    def run(clients):
        built = []

        def make_client(kind, server):
            built.append(kind)
            made = clients.get(kind)
            return made() if made else PlacementAwareClient(kind)

        monkeypatch.setattr(runner_module, "make_client", make_client)
        RecordingPlacement.seen = {}
        slow = {name: ServerAddresses("127.0.0.1", 9, "/sock", name) for name in ("slow", "long")}
        runner = Runner(PLAN, FakeNative(), ServerAddresses("127.0.0.1", 9, "/sock", "region"), (),
                        RecordingPlacement(), slow)
        runner.progress = Progress(runner.steps(with_memory=False), stream=io.StringIO())
        measurements = runner.run(with_memory=False)
        return runner, measurements, built

    return run


def test_rounds_pool_their_samples_and_every_step_is_announced(run_with):
    runner, m, built = run_with({})
    assert m.latency[("quelt_unix", 64)].count == 4
    assert m.latency[("raw_tcp", BIG)].count == PLAN.native_iterations(BIG)  # one round of two
    assert m.latency[("rawsrv_unix", 64)].median_ns == 1500.0
    assert m.latency[("rawsrv_shm", 64)].median_ns == 700.0 and ("rawsrv_shm", BIG) not in m.latency
    assert m.latency[("copy", BIG)].median_ns == 3.0 and ("copy", 64) not in m.latency
    assert m.latency[("copy_warm", BIG)].median_ns == 1.5
    assert ("quelt_unix", 64) in m.cpu and ("raw_unix", 64) not in m.cpu  # the fake baselines report none
    assert m.latency[("quelt_tcp_slow", 64)].count == PLAN.slow_calls
    assert m.latency[("spin", 0)].count == 2
    assert m.latency[("raw_ctl", 0)].count == 2 * PLAN.native_iterations(64)
    assert m.latency[("raw_ctl_spin", 0)].count == 2 * PLAN.native_iterations(64)
    assert m.latency[("rawsrv_tcp_spin", 64)].median_ns == 1500.0 and ("raw_unix_spin", BIG) not in m.latency
    assert m.latency[("shm_long", 64)].count == PLAN.long_calls
    assert runner.progress.done == runner.progress.total
    assert sorted(built) == sorted(CLIENTS + PURE + SLOW + SHM_SLOW + LONG)  # one client of each kind, kept for every round
    assert not m.missing
    # Spinning clients run apart from the server: the shared-memory one always, the socket ones for small
    # tensors; the blocking pure-Python clients beside it.
    assert RecordingPlacement.seen == {**{kind: {"together"} for kind in PURE}, "shm": {"apart"},
                                       **{kind: {"apart", "together"} for kind in ("quelt_unix", "quelt_tcp", "hybrid")},
                                       **{kind: {"together"} for kind in SLOW + SHM_SLOW + LONG}}


def _counting(calls):
    real = runner_module.infer_call

    def infer_call(kind, client, data_len, check=True):
        calls.append(kind)
        return real(kind, client, data_len, check)

    return infer_call


def _raise(error):
    raise error


@pytest.mark.parametrize("clients,case,reason", [
    ({"shm": UnfinishedClient}, "shm", "not implemented yet (work in progress)"),
    ({"hybrid": lambda: _raise(ConnectionError("no region"))}, "hybrid",
     "construction failed: ConnectionError: no region"),
    ({"quelt_tcp": lambda: EchoClient(shrink=1)}, "quelt_tcp", "RuntimeError: QueltClient (TCP) returned 63 bytes for 64"),
])
def test_a_broken_client_is_reported_and_the_rest_is_measured(run_with, clients, case, reason, monkeypatch):
    calls = []
    monkeypatch.setattr(runner_module, "infer_call", _counting(calls))
    runner, m, built = run_with(clients)
    assert calls.count(case) <= 1  # not tried again once known to be missing
    assert m.missing == {case: reason}
    assert not any(key[0] == case for key in m.latency)
    assert m.latency[("quelt_unix", BIG)].count == 2  # its one round has the whole budget
    assert runner.progress.done == runner.progress.total


@pytest.mark.parametrize("method,cases", [
    ("socket_to_server", {"rawsrv_unix", "rawsrv_tcp", "rawsrv_unix_slow", "rawsrv_tcp_slow", "rawsrv_unix_spin",
                          "rawsrv_tcp_spin"}),
    ("copy_floor", {"copy"}),
    ("shm_spin", {"spin"}),
    ("shm_client", {"rawsrv_shm", "rawsrv_hybrid", "rawsrv_hybrid_spin"}),
])
def test_a_failing_baseline_program_is_reported_not_fatal(run_with, monkeypatch, method, cases):
    def broken(self, *arguments, **keywords):
        raise RuntimeError("quelt-bench-x failed (1): error: connect: Connection refused")

    monkeypatch.setattr(FakeNative, method, broken)
    runner, m, _ = run_with({})
    assert m.missing == {case: "quelt-bench-x failed (1): error: connect: Connection refused" for case in cases}
    assert m.latency[("quelt_unix", 64)].count == 4
    assert runner.progress.done == runner.progress.total
