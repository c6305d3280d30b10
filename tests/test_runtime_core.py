"""The hybrid client's runtime, checked in C++ where Python cannot reach it:
the async lock's FIFO hand-over, readiness waits, clean shutdown.

Compiles tests/runtime_check.cpp with $CXX, else the system's g++ (a few seconds)."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ["tests/runtime_check.cpp", "src/common/os_error_posix.cpp", "src/common/process_generation_posix.cpp",
           "src/net/pipe_path_posix.cpp", "src/transport/hybrid_messages.cpp"]


COMPILER = os.environ.get("CXX") or shutil.which("g++")


@pytest.mark.skipif(COMPILER is None, reason="needs a C++23 compiler")
def test_runtime_core(tmp_path):
    if not (ROOT / "src/runtime/runtime.cpp").exists():
        pytest.skip("needs the source tree")
    binary = tmp_path / "runtime_check"
    subprocess.run(
        [COMPILER, "-std=c++23", "-O1", "-pthread", f"-I{ROOT / 'src'}", "-o", str(binary)]
        + [str(ROOT / source) for source in SOURCES]
        + [str(path) for path in sorted((ROOT / "src/runtime").glob("*.cpp")) if not path.stem.endswith("_windows")],
        check=True,
        timeout=180,
    )
    result = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"
