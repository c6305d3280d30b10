"""The performance targets and their verdicts, computed from one run's figures.

A target whose figures are missing is "n/a" with the reason, never PASS.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional

from .cases import CLIENTS, LABELS, LONG_MS
from .stats import Summary, format_size

SMALL = (64, 4096)
LARGE = (4 << 20, (64 << 20) - 80)
MiB = 1 << 20


@dataclass
class Measurements:
    """Everything one run measured: latency samples summarised per (case,
    tensor size), the spin floor under size 0, and memory figures per client."""

    latency: dict[tuple[str, int], Summary] = field(default_factory=dict)
    cpu: dict[tuple[str, int], float] = field(default_factory=dict)  # processor time per call, ns
    growth: dict[str, dict] = field(default_factory=dict)
    peak: dict[str, dict] = field(default_factory=dict)
    first_call: dict[str, dict] = field(default_factory=dict)
    missing: dict[str, str] = field(default_factory=dict)  # case -> why it has no figures

    def median(self, case: str, size: int) -> Optional[float]:
        summary = self.latency.get((case, size))
        return summary.median_ns if summary else None

    def why_missing(self, *cases: str) -> str:
        for case in cases:
            if case in self.missing:
                return f"{LABELS.get(case, case)}: {self.missing[case]}"
        return "not measured in this run"


@dataclass(frozen=True)
class Verdict:
    what: str
    against: str
    limit_text: str
    measured: str
    status: str  # PASS, MISS or n/a
    ratio: Optional[float] = None


def _ratio_row(m: Measurements, what, against, case, baseline, size, limit, baseline_size=None):
    client = m.median(case, size)
    base = m.median(baseline, size if baseline_size is None else baseline_size)
    limit_text = f"<= {limit:g}x"
    if client is None or base is None:
        missing = case if client is None else baseline
        return Verdict(what, against, limit_text, m.why_missing(missing), "n/a")
    ratio = client / base
    return Verdict(what, against, limit_text, f"{ratio:.2f}x", "PASS" if ratio <= limit else "MISS", ratio)


def _hybrid_row(m: Measurements, size: int) -> Verdict:
    """Judged against the ping-pong of the control frames a hybrid call really
    sends; the ping-pong carrying the tensor itself is shown beside it."""
    verdict = _ratio_row(m, f"QueltHybridClient.infer, {format_size(size)}",
                         "raw C++ Unix-socket ping-pong of its control frames (52 B / 48 B)",
                         "hybrid", "raw_ctl", size, 1.3, baseline_size=0)
    client, same_tensor = m.median("hybrid", size), m.median("raw_unix", size)
    if verdict.ratio is None or same_tensor is None:
        return verdict
    measured = f"{verdict.measured} ({client / same_tensor:.2f}x the ping-pong carrying the tensor)"
    return Verdict(verdict.what, verdict.against, verdict.limit_text, measured, verdict.status, verdict.ratio)


def _shm_row(m: Measurements, size: int) -> Verdict:
    """Judged against the spin floor; beside it, how far the protocol-only C++
    client of the same server already is from that floor."""
    verdict = _ratio_row(m, f"QueltShmClient.infer, {format_size(size)}, server answering at once",
                         "shm spin ping-pong", "shm", "spin", size, 4, baseline_size=0)
    client, protocol, floor = m.median("shm", size), m.median("rawsrv_shm", size), m.median("spin", 0)
    if verdict.ratio is None or protocol is None:
        return verdict
    measured = (f"{verdict.measured} (the protocol-only C++ client: {protocol / floor:.2f}x; "
                f"this client {client / protocol:.2f}x that one)")
    return Verdict(verdict.what, verdict.against, verdict.limit_text, measured, verdict.status, verdict.ratio)


def _polling_row(m: Measurements, transport: str, name: str, size: int) -> Verdict:
    """Judged against the raw client that polls for the same server's reply;
    beside it, the ping-pong with both sides polling."""
    verdict = _ratio_row(m, f"QueltClient.infer, {format_size(size)}, {name}, at the client-side limit",
                         f"raw polling C++ client → reference server, same bytes ({name})",
                         f"quelt_{transport}", f"rawsrv_{transport}_spin", size, 1.3)
    client, both = m.median(f"quelt_{transport}", size), m.median(f"raw_{transport}_spin", size)
    if verdict.ratio is None or both is None:
        return verdict
    measured = f"{verdict.measured} ({client / both:.2f}x the ping-pong with both sides polling)"
    return Verdict(verdict.what, verdict.against, verdict.limit_text, measured, verdict.status, verdict.ratio)


def _hybrid_limit_row(m: Measurements, size: int) -> Verdict:
    """Judged against a raw client that polls for the same server's reply to
    the same control frame; beside it, how far the same library code called
    from C++ is from that floor, and the polling ping-pong with an echo peer."""
    verdict = _ratio_row(m, f"QueltHybridClient.infer, {format_size(size)}, at the client-side limit",
                         "raw polling C++ hybrid client → reference server, same tensor",
                         "hybrid", "rawsrv_hybrid_spin", size, 1.3)
    client, library, floor = m.median("hybrid", size), m.median("rawsrv_hybrid", size), m.median(
        "rawsrv_hybrid_spin", size)
    echo = m.median("raw_ctl_spin", 0)
    if verdict.ratio is None or library is None:
        return verdict
    measured = (f"{verdict.measured} (the C++ client over the same library code: {library / floor:.2f}x; "
                f"this client {client / library:.2f}x that one"
                + (f"; {client / echo:.2f}x the polling control-frame ping-pong)" if echo else ")"))
    return Verdict(verdict.what, verdict.against, verdict.limit_text, measured, verdict.status, verdict.ratio)


def _waiting_row(m: Measurements, client: str) -> Verdict:
    """Processor time spent per call while the model works for LONG_MS, as a
    share of the call: what a waiting client takes from a core."""
    case = f"{client}_long"
    what = f"processor time while waiting for a {LONG_MS} ms model, {LABELS[client]}"
    summary, cpu = m.latency.get((case, SMALL[0])), m.cpu.get((case, SMALL[0]))
    if summary is None or cpu is None:
        return Verdict(what, "", "<= 2 % of a core", m.why_missing(case), "n/a")
    share = cpu / summary.median_ns
    return Verdict(what, "the call's duration", "<= 2 % of a core", f"{100 * share:.2f} %",
                   "PASS" if share <= 0.02 else "MISS", share)


def _overhead_row(m: Measurements, what, against, case, raw, pure, size):
    client, floor, python = m.median(case, size), m.median(raw, size), m.median(pure, size)
    if None in (client, floor, python):
        missing = next(c for c, v in ((case, client), (raw, floor), (pure, python)) if v is None)
        return Verdict(what, against, "<= 1/5", m.why_missing(missing), "n/a")
    ours, theirs = client - floor, python - floor
    if theirs <= 0:
        return Verdict(what, against, "<= 1/5", "pure-Python client not slower than the floor", "n/a")
    ratio = ours / theirs
    measured = f"{ratio:.3f} ({ours / 1e3:.2f} µs vs {theirs / 1e3:.2f} µs)"
    return Verdict(what, against, "<= 1/5", measured, "PASS" if ratio <= 0.2 else "MISS", ratio)


def evaluate(m: Measurements) -> list[Verdict]:
    rows: list[Verdict] = []
    for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")):
        for size in SMALL:
            rows.append(_ratio_row(m, f"QueltClient.infer, {format_size(size)}, {name}",
                                   f"raw C++ ping-pong, same bytes ({name})",
                                   f"quelt_{transport}", f"raw_{transport}", size, 1.15))
    for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")):
        for size in SMALL:
            rows.append(_ratio_row(m, f"QueltClient.infer, {format_size(size)}, {name}, below the blocking floor",
                                   f"raw C++ ping-pong, same bytes ({name}), blocking",
                                   f"quelt_{transport}", f"raw_{transport}", size, 0.7))
    for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")):
        for size in SMALL:
            rows.append(_polling_row(m, transport, name, size))
    for size in SMALL:
        rows.append(_hybrid_row(m, size))
    for size in SMALL:
        rows.append(_hybrid_limit_row(m, size))
    for size in SMALL:
        rows.append(_shm_row(m, size))
    rows.append(_ratio_row(m, f"QueltShmClient.infer, {format_size(SMALL[0])}, at the client-side limit",
                           "shm spin ping-pong", "shm", "spin", SMALL[0], 2, baseline_size=0))
    for client in CLIENTS:
        rows.append(_waiting_row(m, client))
    for size in LARGE:
        rows.append(_ratio_row(m, f"QueltShmClient.infer, {format_size(size)}",
                               "least copying baseline", "shm", "copy", size, 1.2))
    for case, name in (("shm", "QueltShmClient"), ("hybrid", "QueltHybridClient")):
        for size in LARGE:
            rows.append(_ratio_row(m, f"{name}.infer, {format_size(size)}, at memory speed",
                                   "copies without page faults (warm shm in, warm reused buffer out)",
                                   case, "copy_warm", size, 1.3))
    for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")):
        for size in LARGE:
            rows.append(_ratio_row(m, f"QueltClient.infer, {format_size(size)}, {name}",
                                   f"raw C++ ping-pong, same bytes ({name})",
                                   f"quelt_{transport}", f"raw_{transport}", size, 1.2))
        rows.append(_ratio_row(m, f"QueltClient.infer, {format_size(LARGE[1])}, {name}, at memory speed",
                               f"raw C++ ping-pong, same bytes, reused reply buffer ({name})",
                               f"quelt_{transport}", f"raw_{transport}_warm", LARGE[1], 1.2))
    for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")):
        for size in SMALL:
            rows.append(_overhead_row(m, f"QueltClient overhead over raw, {format_size(size)}, {name}",
                                      "the pure-Python client's overhead",
                                      f"quelt_{transport}", f"raw_{transport}", f"purepy_{transport}", size))
    for case in ("quelt_unix", "quelt_tcp", "shm", "hybrid"):
        rows.append(_growth_row(m, case))
    for case in ("quelt_unix", "quelt_tcp", "shm", "hybrid"):
        rows.append(_peak_row(m, case))
    for case in ("quelt_unix", "quelt_tcp", "shm", "hybrid"):
        rows.append(_peak_row(m, case, PEAK_TENSORS[case]))
    return rows


# Tensors a call may hold at its peak: the socket client reads the reply
# straight into the result; the shared-memory clients also write the input
# into the region. The result's huge-page rounding is allowed for.
PEAK_TENSORS = {"quelt_unix": 1, "quelt_tcp": 1, "shm": 2, "hybrid": 2}
PEAK_ROUNDING = 2 * MiB


def _growth_row(m: Measurements, case: str) -> Verdict:
    what = f"resident-set growth over 100,000 calls, {LABELS[case]}"
    figures = m.growth.get(case)
    if not figures:
        return Verdict(what, "", "<= 1 MiB", m.why_missing(case), "n/a")
    growth = figures["growth"]
    calls = figures["calls"]
    measured = f"{growth / MiB:+.2f} MiB" + ("" if calls == 100_000 else f" over {calls:,} calls")
    status = "PASS" if growth <= MiB and calls >= 100_000 else ("MISS" if growth > MiB else "n/a")
    return Verdict(what, "", "<= 1 MiB", measured, status, growth / MiB)


def _peak_row(m: Measurements, case: str, tensors: int = 3) -> Verdict:
    what = f"peak resident memory of a {format_size(LARGE[1])} call, {LABELS[case]}"
    limit = f"<= {tensors}x tensor above idle" + (" (+ 2 MiB)" if tensors < 3 else "")
    figures = m.peak.get(case)
    if not figures:
        return Verdict(what, "", limit, m.why_missing(case), "n/a")
    ratio = figures["above_idle"] / figures["bytes"]
    allowed = tensors * figures["bytes"] + (PEAK_ROUNDING if tensors < 3 else 0)
    # Four decimals: a call that needs exactly three tensors plus page rounding sits right at the limit.
    measured = f"{figures['above_idle'] / MiB:.2f} MiB = {ratio:.4f}x"
    return Verdict(what, "idle process (client built, input held)", limit, measured,
                   "PASS" if figures["above_idle"] <= allowed else "MISS", ratio)
