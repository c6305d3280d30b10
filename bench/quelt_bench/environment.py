"""Where the project's pieces are: the build directory, the extension module,
the reference server and its launcher; building them with CMake when needed."""

from __future__ import annotations

import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BENCH = ROOT / "bench"


# What a run needs: the extension, the reference server and the native baselines.
TARGETS = ("quelt_sdk", "quelt-refserver", "quelt-bench-socket", "quelt-bench-shm-spin", "quelt-bench-shm-client",
           "quelt-bench-copy")


CMAKE_NEEDED = (3, 26)
SETUP_HINT = "pip install '.[bench]' brings it"


class BuildError(RuntimeError):
    """The build could not be made; the message says why (and, for a missing
    or too old tool, what to do) in one line, or ends with the tool's output."""


def tool_folders() -> list[str]:
    """Where the bench extra's tools are installed for this interpreter, first;
    PATH follows. An unactivated virtual environment finds its own CMake."""
    return [sysconfig.get_path("scripts")]


def find_tool(name: str) -> str | None:
    return shutil.which(name, path=os.pathsep.join(tool_folders())) or shutil.which(name)


def _cmake() -> str:
    cmake = find_tool("cmake")
    if cmake is None:
        raise BuildError(f"CMake {'.'.join(map(str, CMAKE_NEEDED))} or newer is needed and none was found: "
                         f"{SETUP_HINT}")
    version_line = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"(\d+)\.(\d+)", version_line)
    if found is None or tuple(map(int, found.groups())) < CMAKE_NEEDED:
        raise BuildError(f"CMake {'.'.join(map(str, CMAKE_NEEDED))} or newer is needed, {cmake} is "
                         f"{found.group(0) if found else 'of unknown version'}: {SETUP_HINT}")
    return cmake


def _configured(build_dir: Path) -> bool:
    return (build_dir / "CMakeCache.txt").exists() and any(
        (build_dir / name).exists() for name in ("build.ninja", "Makefile"))


def _forget_configuration(build_dir: Path) -> None:
    """Removes what a failed or half-done configure left, so the next run
    configures afresh (perhaps with another CMake or generator)."""
    (build_dir / "CMakeCache.txt").unlink(missing_ok=True)
    shutil.rmtree(build_dir / "CMakeFiles", ignore_errors=True)


def build(build_dir: Path, log) -> None:
    """Configures (unless a configure already succeeded) and builds the targets a run needs."""
    cmake = _cmake()
    if not _configured(build_dir):
        _forget_configuration(build_dir)
        ninja = find_tool("ninja")
        generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"] if ninja else []
        configure = [cmake, "-S", str(ROOT), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython_EXECUTABLE={sys.executable}"]
        try:
            _run(configure, log)
        except BuildError:
            _forget_configuration(build_dir)
            raise
    _run([cmake, "--build", str(build_dir), "--target", *TARGETS], log)


def _run(command: list[str], log) -> None:
    log(f"$ {' '.join(command)}")
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise BuildError(f"{Path(command[0]).name} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")


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
