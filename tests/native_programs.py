"""The test suite's native programs (tests/CMakeLists.txt), found the way the
server is found: in the directory $QUELT_TEST_PROGRAMS if set, else beside
the quelt_sdk module under test (a development build: build/NAME/tests).
Where neither has them (the package was installed with pip, which does not
build them), they are built here with CMake into build/test-programs, once
per session and incrementally after that. A missing compiler or CMake fails
the tests that need the programs; it never skips them.
"""

from __future__ import annotations

import functools
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = ("shm_ring_probe", "runtime_check")


def _beside_the_module() -> Path | None:
    module = importlib.util.find_spec("quelt_sdk")
    if module is None or module.origin is None:
        return None
    return Path(module.origin).parent / "tests"


def _tool(name: str) -> str:
    """A tool on PATH or beside this interpreter (the test extras install CMake there)."""
    found = shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))
    if found is None:
        raise RuntimeError(f"{name} is needed to build the test programs (pip install '.[test]' brings it)")
    return found


@functools.cache
def _built_here() -> Path:
    build = ROOT / "build" / "test-programs"
    configure = [_tool("cmake"), "-S", str(ROOT), "-B", str(build), f"-DPython_EXECUTABLE={sys.executable}",
                 "-DCMAKE_BUILD_TYPE=Release", "-DQUELT_BENCH=OFF", "-DQUELT_TEST_PROGRAMS=ON"]
    if shutil.which("ninja") or shutil.which("ninja", path=str(Path(sys.executable).parent)):
        configure[1:1] = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}"]
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(configure, check=True, capture_output=True, text=True, timeout=300)
    subprocess.run([_tool("cmake"), "--build", str(build), "--target", *PROGRAMS], check=True,
                   capture_output=True, text=True, timeout=900)
    return build / "tests"


def program(name: str) -> Path:
    """The path of test program `name`, built first if no build has it."""
    for directory in (os.environ.get("QUELT_TEST_PROGRAMS"), _beside_the_module()):
        if directory and os.access(Path(directory) / name, os.X_OK):
            return Path(directory) / name
    try:
        return _built_here() / name
    except subprocess.CalledProcessError as error:
        raise RuntimeError(f"building the test programs failed:\n{error.stdout}{error.stderr}") from error
