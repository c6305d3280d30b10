"""The hybrid client's runtime, checked in C++ where Python cannot reach it:
the async lock's FIFO hand-over, readiness waits, clean shutdown.

Runs tests/runtime_check.cpp, a program of the build (native_programs.py)."""
import subprocess

import native_programs


def test_runtime_core():
    result = subprocess.run([str(native_programs.program("runtime_check"))], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"
