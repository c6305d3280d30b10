import pytest

from quelt_bench import memory_probe
from quelt_bench.cases import ServerAddresses, tensor

SERVER = ServerAddresses("127.0.0.1", 9, "/sock", "region")
MiB = 1 << 20


class CopyingClient:
    """Keeps `extra` private copies of the input alive during a call, then returns one."""

    def __init__(self, extra):
        self.extra = extra
        self.kept = []

    def infer(self, *arguments):
        data = arguments[-1]
        copies = [bytearray(data) for _ in range(self.extra)]
        result = bytes(memoryview(data))  # a copy: bytes(data) would return data itself
        del copies
        return result


class LeakingClient:
    def __init__(self):
        self.kept = []

    def infer(self, *arguments):
        self.kept.append(bytearray(512))
        return bytes(arguments[-1])


@pytest.mark.parametrize("extra,low,high", [(0, 0.9, 1.3), (2, 2.9, 3.4)])
def test_peak_counts_what_one_call_adds_above_the_idle_process(monkeypatch, extra, low, high):
    monkeypatch.setattr(memory_probe, "make_client", lambda kind, server: CopyingClient(extra))
    figures = memory_probe.measure_peak("shm", SERVER, 32 * MiB)
    if not figures["exact_reset"]:
        pytest.skip("this kernel cannot reset the high-water mark")
    assert low <= figures["above_idle"] / (32 * MiB) <= high


def test_growth_sees_memory_kept_across_calls(monkeypatch):
    monkeypatch.setattr(memory_probe, "make_client", lambda kind, server: LeakingClient())
    figures = memory_probe.measure_growth("quelt_unix", SERVER, calls=20_000)
    assert figures["calls"] == 20_000
    assert figures["growth"] >= 8 * MiB  # 20,000 kept 512-byte buffers


def test_input_tensors_are_resident():
    _, data = tensor(8 * MiB)
    before = memory_probe.resident()["VmRSS"]
    _, more = tensor(8 * MiB)
    assert memory_probe.resident()["VmRSS"] - before >= 7 * MiB
    assert len(data) == len(more) == 8 * MiB
