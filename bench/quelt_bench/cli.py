"""Command line of the benchmark suite: build, start the reference server,
measure, write bench/out/report.md with its charts."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import time
from pathlib import Path

from . import echo_baselines
from .environment import BENCH, ROOT, BuildError, build, describe_machine, use_build
from .placement import Placement
from .plan import FULL, QUICK
from .cases import LONG_MS, SLOW_MS
from .stats import format_size
from .wire_sizes import identity_infer_frames


SLOW_SERVER_POOL = 16 << 20


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions; finishes in about two minutes")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="CMake build directory (default: build/bench)")
    parser.add_argument("--no-build", action="store_true", help="use the build directory as it is")
    parser.add_argument("--out", type=Path, default=BENCH / "out", help="report directory (default: bench/out)")
    parser.add_argument("--no-echo", action="store_true", help="skip the pyzmq and gRPC baselines")
    parser.add_argument("--no-pin", action="store_true",
                        help="leave all placement to the scheduler (default: the shared-memory cases run with "
                             "the server on a CPU of its own)")
    return parser.parse_args(argv)


def check_frame_sizes(server, sizes) -> list[str]:
    """Compares the frame sizes the raw baselines use with what really crosses
    the socket for the same tensor; a mismatch would make the comparison unfair."""
    from .cases import IDENTITY_MODEL, tensor
    from .pure_client import PureInferClient, encode_infer_request

    notes = []
    client = PureInferClient.unix(server.socket_path)
    try:
        for size in sizes:
            if size > 1 << 20:
                continue
            shape, data = tensor(size)
            payload = encode_infer_request(shape, "float32", data)
            code, body = client.exchange(IDENTITY_MODEL, payload)
            expected = identity_infer_frames(1, "float32", size)
            if code != 0 or (len(payload), len(body)) != (expected.request_payload, expected.reply_body):
                notes.append(f"frame sizes for {format_size(size)} differ from the layout: request payload "
                             f"{len(payload)} (computed {expected.request_payload}), reply code {code} body "
                             f"{len(body)} (computed {expected.reply_body})")
    finally:
        client.close()
    return notes


def _exit_on_terminate(signal_number, frame):
    # Turns SIGTERM into an orderly exit, so the reference server and the
    # temporary sockets are cleaned up as after Ctrl+C.
    raise SystemExit(128 + signal_number)


def main(argv=None) -> int:
    options = parse_arguments(argv)
    signal.signal(signal.SIGTERM, _exit_on_terminate)
    plan = QUICK if options.quick else FULL
    command = "python bench/run.py" + (" --quick" if options.quick else "")
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    clock = time.monotonic()
    build_dir = options.build_dir.resolve()
    if not options.no_build:
        print(f"building in {build_dir} ...", file=sys.stderr)
        try:
            build(build_dir, lambda line: print(line, file=sys.stderr))
        except BuildError as error:
            print(f"bench/run.py: {error}", file=sys.stderr)
            return 2
    use_build(build_dir)
    load_at_start = ", ".join(f"{value:.2f}" for value in os.getloadavg())

    from quelt_refserver import RefServer

    from .cases import ServerAddresses
    from .native import NativeBaselines
    from .report import render
    from .runner import Runner
    from .targets import evaluate

    echo_kinds = () if options.no_echo else tuple(k for k in ("zmq", "grpc") if echo_baselines.available(k))
    skipped_echo = [] if options.no_echo else [k for k in ("zmq", "grpc") if k not in echo_kinds]
    options.out.mkdir(parents=True, exist_ok=True)
    placement = Placement.choose(pin=not options.no_pin)
    # Servers whose queue model is slow too, for what waiting costs the
    # shared-memory clients; they only ever see 64 B calls.
    slow_server = RefServer(slow_ms=SLOW_MS, shm_model="slow", pool_size=SLOW_SERVER_POOL)
    long_server = RefServer(slow_ms=LONG_MS, shm_model="slow", pool_size=SLOW_SERVER_POOL)
    with RefServer(slow_ms=SLOW_MS) as reference, slow_server, long_server:
        placement.server_pid = reference.pid
        server = ServerAddresses(reference.host, reference.port, reference.socket_path, reference.shm_name)
        slow_servers = {name: ServerAddresses(s.host, s.port, s.socket_path, s.shm_name)
                        for name, s in (("slow", slow_server), ("long", long_server))}
        notes = check_frame_sizes(server, plan.sizes)
        runner = Runner(plan, NativeBaselines(build_dir), server, echo_kinds, placement, slow_servers)
        for kind in skipped_echo:
            runner.mark_missing(kind, f"package {echo_baselines.KINDS[kind]} is not installed (pip install '.[bench]')")
        measurements = runner.run()
        runner.progress.close()
    verdicts = evaluate(measurements)

    from .charts import draw

    charts, why_not = draw(measurements, plan.sizes, options.out)
    import quelt_sdk

    notes += runner.notes + ([why_not] if why_not else [])
    notes.append(f"quelt_sdk from {quelt_sdk.__file__}; load average at the start {load_at_start}")
    notes.append(f"placement: {placement.describe()}")
    text = render(measurements, verdicts, plan.sizes, describe_machine(), command, plan.name, charts, notes,
                  started, time.monotonic() - clock)
    report = options.out / "report.md"
    report.write_text(text, encoding="utf-8")
    (options.out / "results.json").write_text(json.dumps({
        "plan": plan.name,
        "latency": {f"{case}@{size}": vars(summary) for (case, size), summary in measurements.latency.items()},
        "growth": measurements.growth,
        "peak": measurements.peak,
        "cpu": {f"{case}@{size}": value for (case, size), value in measurements.cpu.items()},
        "first_call": measurements.first_call,
        "missing": measurements.missing,
        "targets": [vars(v) for v in verdicts],
    }, indent=1), encoding="utf-8")
    print(f"report: {report}")
    for verdict in verdicts:
        print(f"  {verdict.status:4}  {verdict.what}: {verdict.measured} ({verdict.limit_text})")
    return 0
