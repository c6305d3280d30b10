"""Builds and runs tests/shm_ring_probe.cpp, a small program over the region code.

The queues are coordinated by compare-and-swap, which Python cannot do; the
probe gives the tests real concurrent producers and consumers in separate
processes. It is compiled once per test session from the sources in src/shm.
"""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def build_probe(directory: Path) -> Path:
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the queue probe")
    binary = directory / "shm_ring_probe"
    # src/shm, src/common below it, and the one file of src/transport that it
    # uses (the data-type table).
    sources = [str(ROOT / "tests" / "shm_ring_probe.cpp"), str(ROOT / "src" / "transport" / "dtype.cpp")]
    for folder in ("shm", "common"):
        sources += sorted(str(p) for p in (ROOT / "src" / folder).glob("*.cpp") if not p.stem.endswith("_windows"))
    subprocess.run([compiler, "-std=c++23", "-O2", "-pthread", f"-I{ROOT / 'src'}", *sources, "-o", str(binary)],
                   check=True, capture_output=True, timeout=300)
    return binary


class Probe:
    def __init__(self, binary: Path):
        self.binary = binary

    def run(self, *args, timeout: float = 60) -> str:
        done = subprocess.run([str(self.binary), *map(str, args)], capture_output=True, text=True, timeout=timeout)
        assert done.returncode == 0, done.stderr
        return done.stdout

    def start(self, *args, **kwargs) -> subprocess.Popen:
        return subprocess.Popen([str(self.binary), *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, **kwargs)


def session_probe(tmp_path_factory) -> Probe:
    """The probe of this test session, built on first use."""
    directory = tmp_path_factory.getbasetemp() / "shm_ring_probe"
    binary = directory / "shm_ring_probe"
    if not binary.exists():
        directory.mkdir(exist_ok=True)
        build_probe(directory)
    return Probe(binary)
