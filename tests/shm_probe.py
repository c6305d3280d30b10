"""Runs tests/shm_ring_probe.cpp, a small program over the region code.

The queues are coordinated by compare-and-swap, which Python cannot do; the
probe gives the tests real concurrent producers and consumers in separate
processes.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

import native_programs


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


def session_probe() -> Probe:
    """The probe of the build under test (native_programs.py)."""
    return Probe(native_programs.program("shm_ring_probe"))
