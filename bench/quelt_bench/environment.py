"""Where the project's pieces are: the build directory, the extension module,
the reference server and its launcher; building them with CMake when needed."""

from __future__ import annotations

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BENCH = ROOT / "bench"


# What a run needs: the extension, the reference server and the native baselines.
TARGETS = ("quelt_sdk", "quelt-refserver", "quelt-bench-socket", "quelt-bench-shm-spin", "quelt-bench-shm-client",
           "quelt-bench-copy")


def build(build_dir: Path, log) -> None:
    """Configures (first time only) and builds the targets a run needs."""
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    if not (build_dir / "CMakeCache.txt").exists():
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        _run(configure, log)
    _run(["cmake", "--build", str(build_dir), "--target", *TARGETS], log)


def _run(command: list[str], log) -> None:
    log(f"$ {' '.join(command)}")
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")


def use_build(build_dir: Path) -> dict[str, str]:
    """Makes this process (and the subprocesses started with the returned
    environment) import quelt_sdk and the launcher from the build, and run
    the built reference server."""
    paths = [str(build_dir), str(ROOT / "server"), str(BENCH)]
    for path in reversed(paths):
        if path not in sys.path:
            sys.path.insert(0, path)
    server = build_dir / "server" / "quelt-refserver"
    if server.exists() and not os.environ.get("QUELT_REFSERVER"):
        os.environ["QUELT_REFSERVER"] = str(server)
    os.environ["PYTHONPATH"] = os.pathsep.join(paths + [p for p in [os.environ.get("PYTHONPATH")] if p])
    return dict(os.environ)


def describe_machine() -> dict[str, str]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True).stdout.strip()
    except OSError:
        commit = ""
    load = ", ".join(f"{value:.2f}" for value in os.getloadavg())
    return {
        "cpu": f"{cpu}, {os.cpu_count()} logical cores, load average {load} at the end",
        "kernel": platform.release(),
        "python": platform.python_version(),
        "commit": commit or "unknown",
    }
