"""The Markdown report of one run."""

from __future__ import annotations

from .cases import LABELS, LONG, LONG_MS, RAW_SLOW, SHM_SLOW, SLOW, SLOW_MS
from .stats import format_duration, format_size
from .targets import LARGE, Measurements, Verdict

LATENCY_ROWS = ("quelt_unix", "raw_unix", "raw_unix_spin", "rawsrv_unix", "rawsrv_unix_spin", "purepy_unix",
                "quelt_tcp", "raw_tcp", "raw_tcp_spin", "rawsrv_tcp", "rawsrv_tcp_spin", "purepy_tcp",
                "hybrid", "rawsrv_hybrid", "rawsrv_hybrid_spin", "shm", "rawsrv_shm", "copy", "copy_in", "copy_out",
                "fresh_touch", "copy_warm", "copy_out_warm", "raw_unix_warm", "raw_tcp_warm", "zmq", "grpc")
CPU_ROWS = ("quelt_unix", "raw_unix", "raw_unix_spin", "rawsrv_unix", "rawsrv_unix_spin", "purepy_unix", "quelt_tcp",
            "raw_tcp", "raw_tcp_spin", "rawsrv_tcp", "rawsrv_tcp_spin", "purepy_tcp", "hybrid", "rawsrv_hybrid",
            "rawsrv_hybrid_spin", "shm", "rawsrv_shm", "copy", "copy_warm", "raw_unix_warm", "raw_tcp_warm", "zmq",
            "grpc")
THROUGHPUT_ROWS = ("quelt_unix", "quelt_tcp", "shm", "hybrid", "raw_unix", "raw_tcp", "copy", "copy_warm", "purepy_unix",
                   "purepy_tcp", "zmq", "grpc")
MiB = 1 << 20


def _cell(m: Measurements, case: str, size: int) -> str:
    summary = m.latency.get((case, size))
    if summary is None:
        return "–"
    return f"{format_duration(summary.median_ns)} ({format_duration(summary.p99_ns)})"


def _time_split(client: str, columns: tuple[str, str, str], entries) -> list[str]:
    """A section splitting each call's median into a floor, what a reference
    program adds to it, and what the client adds to that program. `entries`
    are (call, floor, reference, client) medians; a call with any of them
    missing is left out."""
    rows = [f"| {call} | {format_duration(floor)} | {format_duration(reference - floor)} | "
            f"{format_duration(measured - reference)} |"
            for call, floor, reference, measured in entries if None not in (floor, reference, measured)]
    if not rows:
        return []
    return ["", f"## Where a {client} call's time goes (medians)", "", f"| Call | {' | '.join(columns)} |",
            "|---|---|---|---|", *rows]


def breakdown(m: Measurements, sizes) -> list[str]:
    """Splits each QueltClient figure into the floor, what the reference server
    adds over the echo peer, and what the client adds over a raw C++ client
    talking to the same server."""
    entries = [(f"QueltClient, {name}, {format_size(size)}", m.median(f"raw_{transport}", size),
                m.median(f"rawsrv_{transport}", size), m.median(f"quelt_{transport}", size))
               for transport, name in (("unix", "Unix socket"), ("tcp", "TCP")) for size in sizes]
    return _time_split("QueltClient", ("raw ping-pong floor", "reference server over the echo peer",
                                       "client over a raw C++ client"), entries)


def shm_breakdown(m: Measurements, sizes) -> list[str]:
    """Splits each small QueltShmClient figure into the spin floor, what the
    protocol with the reference server adds to it (the protocol-only C++
    client's figure over the floor), and what the Python client adds."""
    entries = [(f"QueltShmClient, {format_size(size)}", m.median("spin", 0), m.median("rawsrv_shm", size),
                m.median("shm", size)) for size in sizes]
    return _time_split("QueltShmClient", ("spin floor", "protocol and server over the floor",
                                          "Python client over the C++ client"), entries)


def hybrid_breakdown(m: Measurements, sizes) -> list[str]:
    """Splits each small QueltHybridClient figure into a raw client polling
    for the same server's reply, what the library code adds to that (the C++
    client over the same code), and what the Python client adds."""
    entries = [(f"QueltHybridClient, {format_size(size)}", m.median("rawsrv_hybrid_spin", size),
                m.median("rawsrv_hybrid", size), m.median("hybrid", size)) for size in sizes]
    return _time_split("QueltHybridClient", ("raw polling client with the server", "library code over that",
                                             "Python client over the C++ client"), entries)


def cpu_table(m: Measurements, sizes) -> list[str]:
    """Processor time per call beside the latency: what a call costs the
    measuring process (user + system, every thread of it), not the server."""
    rows = [f"| {LABELS[case]} | " + " | ".join(
                format_duration(m.cpu[(case, s)]) if (case, s) in m.cpu else "–" for s in sizes) + " |"
            for case in CPU_ROWS if any((case, s) in m.cpu for s in sizes)]
    if not rows:
        return []
    return ["", "## Processor time per call (measuring side, user + system; median over the rounds)", "",
            "| Case | " + " | ".join(format_size(s) for s in sizes) + " |", "|---|" + "---|" * len(sizes), *rows,
            "", "A spinning reader spends processor time while it waits; a blocking one sleeps. The shm spin "
            f"ping-pong spends {format_duration(m.cpu[('spin', 0)])} per round trip." if ("spin", 0) in m.cpu
            else ""]


def _cpu_cells(m: Measurements, case: str, size: int) -> str:
    if (case, size) not in m.cpu:
        return "– | –"
    cpu = m.cpu[(case, size)]
    return f"{format_duration(cpu)} | {100 * cpu / m.latency[(case, size)].median_ns:.2f} %"


def slow_server_table(m: Measurements, size: int) -> list[str]:
    out = []
    for cases, ms in ((SLOW + SHM_SLOW + RAW_SLOW, SLOW_MS), (LONG, LONG_MS)):
        rows = [f"| {LABELS[case]} | {format_duration(m.latency[(case, size)].median_ns)} | "
                f"{_cpu_cells(m, case, size)} |" for case in cases if (case, size) in m.latency]
        if rows:
            out += ["", f"## Against a server that takes {ms} ms per reply ({format_size(size)})", "",
                    "| Case | Latency (median) | Processor time per call | Share of a core |", "|---|---|---|---|",
                    *rows]
    if out:
        out += ["", "The reply comes too late for a spin to pay: a socket client's window learns that and sleeps, "
                "as the blocking client does; a shared-memory client spins briefly, then sleeps between polls, "
                "longer the longer it waits."]
    return out


def first_call_table(m: Measurements) -> list[str]:
    rows = []
    for case in ("quelt_unix", "quelt_tcp", "shm", "hybrid"):
        f = m.first_call.get(case)
        if f:
            rows.append(f"| {LABELS[case]} | {format_duration(f['first'])} | {format_duration(f['median'])} | "
                        f"{format_duration(f['after_idle'])} ({f['idle']:g} s idle) |")
    if not rows:
        return []
    size = format_size(next(iter(m.first_call.values()))["bytes"])
    return ["", f"## First {size} call of a fresh process, and after an idle pause", "",
            "| Client | First call | Median of the next calls | After the pause |", "|---|---|---|---|", *rows,
            "", "Each client in a fresh interpreter, connected by a small call first. A new result lives in memory "
            "the process has not touched before, whose pages the kernel must find and clear."]


def targets_table(verdicts: list[Verdict]) -> list[str]:
    lines = ["| Target | Compared with | Limit | Measured | Verdict |", "|---|---|---|---|---|"]
    for v in verdicts:
        status = f"**{v.status}**" if v.status == "MISS" else v.status
        lines.append(f"| {v.what} | {v.against} | {v.limit_text} | {v.measured} | {status} |")
    passed = sum(v.status == "PASS" for v in verdicts)
    missed = sum(v.status == "MISS" for v in verdicts)
    lines += ["", f"{passed} PASS, {missed} MISS, {len(verdicts) - passed - missed} n/a."]
    return lines


def render(m: Measurements, verdicts: list[Verdict], sizes, machine: dict, command: str, plan_name: str,
           charts: list[str], notes: list[str], started: str, duration_s: float) -> str:
    out = [
        "# quelt_sdk benchmark report",
        "",
        f"- Command: `{command}` ({plan_name} run, {duration_s:.0f} s, started {started})",
        f"- Machine: {machine['cpu']}; Linux {machine['kernel']}; Python {machine['python']}; "
        f"commit {machine['commit']}",
        "- Every figure is the median over all repetitions of this run, with the 99th percentile "
        "(nearest rank) in parentheses; every ratio divides medians measured in this same run.",
        "- Tensors are one-dimensional float32 sent to the reference server's identity model (id 0); "
        "the raw ping-pongs move the same frame sizes as one `infer` of that tensor.",
        "",
        "## Targets",
        "",
        *targets_table(verdicts),
        "",
        "## Latency per call: median (p99)",
        "",
        "| Case | " + " | ".join(format_size(s) for s in sizes) + " |",
        "|---|" + "---|" * len(sizes),
    ]
    for case in LATENCY_ROWS:
        if any((case, s) in m.latency for s in sizes):
            out.append(f"| {LABELS[case]} | " + " | ".join(_cell(m, case, s) for s in sizes) + " |")
    spin = m.latency.get(("spin", 0))
    if spin:
        out += ["", f"{LABELS['spin']}: {format_duration(spin.median_ns)} "
                    f"({format_duration(spin.p99_ns)}) per round trip (samples are means of batches of 100)."]
    for case in ("raw_ctl", "raw_ctl_spin"):
        control = m.latency.get((case, 0))
        if control:
            out += ["", f"{LABELS[case]}: {format_duration(control.median_ns)} "
                        f"({format_duration(control.p99_ns)})."]
    out += cpu_table(m, sizes)
    out += slow_server_table(m, sizes[0])
    out += first_call_table(m)
    out += breakdown(m, sizes)
    out += shm_breakdown(m, sizes)
    out += hybrid_breakdown(m, sizes)
    large = [s for s in sizes if s in LARGE]
    if large:
        out += ["", "## Throughput for large tensors (tensor bytes per second at the median)", "",
                "| Case | " + " | ".join(format_size(s) for s in large) + " |", "|---|" + "---|" * len(large)]
        for case in THROUGHPUT_ROWS:
            cells = [m.latency.get((case, s)) for s in large]
            if any(cells):
                out.append(f"| {LABELS[case]} | " + " | ".join(
                    f"{c.throughput_gib_s(s):.2f} GiB/s" if c else "–" for c, s in zip(cells, large)) + " |")
    out += ["", "## Memory", "", "| Client | Resident-set growth | Peak above idle, one 64 MiB - 80 B call |",
            "|---|---|---|"]
    for case in ("quelt_unix", "quelt_tcp", "shm", "hybrid"):
        growth, peak = m.growth.get(case), m.peak.get(case)
        g = (f"{growth['growth'] / MiB:+.2f} MiB over {growth['calls']:,} calls "
             f"({growth['before'] / MiB:.1f} → {growth['after'] / MiB:.1f} MiB)") if growth else "–"
        p = (f"{peak['above_idle'] / MiB:.1f} MiB ({peak['above_idle'] / peak['bytes']:.2f}x the tensor; "
             f"idle {peak['idle'] / MiB:.1f} MiB)") if peak else "–"
        out.append(f"| {LABELS[case]} | {g} | {p} |")
    out += ["", "Growth: VmRSS after 1,000 warm-up calls and after the counted calls of 64 B, in a fresh "
                "interpreter. Peak: VmHWM of a fresh interpreter over its first large call, the mark reset to "
                "the resident size just before it (the client is built and connected and the input is held)."]
    if m.missing:
        out += ["", "## Not measured", ""]
        out += [f"- {LABELS.get(case, case)}: {reason}" for case, reason in sorted(m.missing.items())]
    if notes:
        out += ["", "## Notes", ""] + [f"- {note}" for note in notes]
    if charts:
        out += ["", "## Charts", ""] + [f"![{name}]({name})" for name in charts]
    out += ["", "## Method", "",
            "- Python-side figures: one `time.perf_counter_ns()` reading before and after each call; the "
            "result is dropped after the second reading. Cases take turns in rounds so that a change of "
            "machine load affects a client and its floor alike.",
            "- Raw C++ ping-pong: one writev per request, greedy reads, the reply body received into a buffer "
            "allocated per call (as a client returning a new object must); the 'reused reply buffer' rows "
            "show the same exchange without that allocation. The echo peer is a forked process answering "
            "with one writev.",
            "- Least copying (shared memory): one memcpy of the tensor into warm shared memory plus one "
            "malloc of the output's size and a copy into it, the allocator's first-touch costs included; "
            "the parts and a copy into freshly mapped pages are listed for reference. Copies without page "
            "faults: the same copy in, then a memcpy into a warm buffer reused on every call.",
            "- Polling floors: the same ping-pongs with both sides reading non-blocking in a loop with the "
            "processor's spin hint, the echo peer on a processor of its own, and the raw client polling for "
            "the reference server's reply: the least a round trip takes when neither side ever sleeps.",
            "- Placement: the socket clients spin for small replies, so at 64 B and 4 KiB they run with the "
            "server on a processor of its own, like the shared-memory cases; every blocking baseline runs "
            "with its peer on one processor, where blocking is fastest.",
            "- Processor time: CLOCK_PROCESS_CPUTIME_ID (Python: time.process_time_ns) over the timed calls "
            "of the measuring process; the server's or echo peer's time is not included.",
            "- Shared-memory spin ping-pong: a 40-byte entry and a 48-byte answer between two processes "
            "through one 64-bit flag, both spinning with the pause hint.",
            "- pyzmq and gRPC echo the tensor's bytes (no protocol framing) from a server in another process.",
            ""]
    return "\n".join(out)
