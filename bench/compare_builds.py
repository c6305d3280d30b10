#!/usr/bin/env python3
"""Interleaved A/B of the clients at one tensor size.

    python bench/compare_builds.py A_MODULE_DIR B_MODULE_DIR [--rounds 8] [--bytes 64]
                                   [--kinds shm,hybrid,quelt_unix,quelt_tcp]

Each directory holds a quelt_sdk extension module (a build directory, or a
copy of an older build's module). One reference server (from --build-dir)
serves both. Every round measures the spin floor, then each client kind
(QueltShmClient and QueltHybridClient by default) of A and of B in a fresh
process each, A first in odd rounds and B first in even ones, placed as
bench/run.py places them. Prints
each round's medians and, at the end, the median over the rounds of each
figure divided by its round's spin floor, and of B's figure divided by A's.
On a shared machine only such in-run ratios mean anything.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quelt_bench.environment import ROOT, use_build  # noqa: E402
from quelt_bench.placement import Placement  # noqa: E402
from quelt_bench.runner import SPINNING_SIZES, SPINNING_SOCKET_CLIENTS  # noqa: E402
from quelt_bench.stats import median  # noqa: E402

# Runs in the measuring process: the medians of one client kind, in ns.
MEASURE = """
import json, statistics, sys
from quelt_bench.cases import ServerAddresses, infer_call, make_client
from quelt_bench.timing import Budget, time_calls
kind, server, size, calls = sys.argv[1], ServerAddresses(**json.loads(sys.argv[2])), int(sys.argv[3]), int(sys.argv[4])
client = make_client(kind, server)
samples = time_calls(infer_call(kind, client, size), Budget(calls, calls, 0, 2000))
print(statistics.median(samples))
"""

KINDS = ("shm", "hybrid", "quelt_unix", "quelt_tcp")


def runs_apart(kind: str, size: int) -> bool:
    """The shared-memory client always spins, the socket clients only for
    small replies: a spinning reader needs its peer on another processor."""
    return kind == "shm" or (kind in SPINNING_SOCKET_CLIENTS and size in SPINNING_SIZES)


def measure(module_dir: Path, kind: str, server: dict, size: int, calls: int) -> float:
    paths = [str(module_dir), str(ROOT / "server"), str(ROOT / "bench")]
    environment = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}
    done = subprocess.run([sys.executable, "-c", MEASURE, kind, json.dumps(server), str(size), str(calls)],
                          env=environment, capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-2000:])
    return float(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("a", type=Path)
    parser.add_argument("b", type=Path)
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--bytes", type=int, default=64)
    parser.add_argument("--kinds", default="shm,hybrid", help=f"comma-separated, of {', '.join(KINDS)}")
    parser.add_argument("--calls", type=int, default=20000, help="timed calls per client and round")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench",
                        help="where the reference server and the spin baseline are built")
    options = parser.parse_args()
    kinds = options.kinds.split(",")
    if unknown := set(kinds) - set(KINDS):
        parser.error(f"unknown kinds: {', '.join(sorted(unknown))}")
    build_dir = options.build_dir.resolve()
    use_build(build_dir)
    from quelt_refserver import RefServer

    from quelt_bench.native import NativeBaselines

    native = NativeBaselines(build_dir)
    placement = Placement.choose(pin=True)
    ratios: dict[str, list[float]] = {}
    with RefServer() as reference:
        placement.server_pid = reference.pid
        server = {"tcp_host": reference.host, "tcp_port": reference.port, "socket_path": reference.socket_path,
                  "shm_name": reference.shm_name}
        for number in range(1, options.rounds + 1):
            with placement.apart() as peer_cpu:
                spin = median(native.shm_spin(100_000, max_seconds=5, peer_cpu=peer_cpu))
            order = (("A", options.a), ("B", options.b))
            order = order if number % 2 else order[::-1]
            figures = {}
            for kind in kinds:
                for label, module_dir in order:
                    with placement.apart() if runs_apart(kind, options.bytes) else placement.together():
                        figures[f"{kind} {label}"] = measure(module_dir, kind, server, options.bytes, options.calls)
            line = [f"round {number}: spin {spin:.0f} ns"]
            for name, value in figures.items():
                line.append(f"{name} {value:.0f} ns ({value / spin:.2f}x spin)")
                ratios.setdefault(f"{name} / spin", []).append(value / spin)
            for kind in kinds:
                ratios.setdefault(f"{kind} B / A", []).append(figures[f"{kind} B"] / figures[f"{kind} A"])
            print("; ".join(line), flush=True)
    print(f"medians over {options.rounds} rounds, {options.bytes} B:")
    for name, values in ratios.items():
        print(f"  {name}: {median(values):.3f}  (min {min(values):.3f}, max {max(values):.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
