"""What a process holds, read from /proc: open descriptors, threads and
resident memory, and the peak resident memory of a stretch of work.

The hardening tests use it to show that failing calls leave nothing behind
and that a hostile length field does not make a client allocate it.
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
from dataclasses import dataclass

MiB = 1 << 20

# The sanitizer build keeps freed memory in quarantine on purpose, so resident
# memory grows under it however well the code behaves.
UNDER_SANITIZER = os.environ.get("QUELT_UNDER_SANITIZER") == "1"

# Processor-time bounds tell a sleeping wait from a spinning one only in the
# plain native build. The sanitizers make every instrumented step several
# times dearer (a late call's 20-40 us of processor time became 120-130 us
# under AddressSanitizer), and an emulated processor (QUELT_EMULATED, the
# aarch64 run) spends its own time on every wake-up; there the tests still
# check that waits sleep and end on time.
PROCESSOR_TIME_BOUNDS_HOLD = not UNDER_SANITIZER and not os.environ.get("QUELT_EMULATED")


def open_descriptors() -> int:
    """This process's open descriptors. Collects garbage first: clients left
    by earlier tests would otherwise close theirs in the middle of a count."""
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def thread_count() -> int:
    return len(os.listdir("/proc/self/task"))


def run_with_memory_limit(script: str, *arguments: str, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `script` in a new interpreter that may use 1 GiB of address
    space: plenty for a client, far too little for a length of 4 GiB that a
    peer announces, should the client allocate it up front."""
    limit = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
    return subprocess.run([sys.executable, "-c", limit + textwrap.dedent(script), *arguments],
                          capture_output=True, text=True, timeout=timeout)


def _status_kib(field: str, pid: str = "self") -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


@dataclass(frozen=True)
class Footprint:
    descriptors: int
    threads: int
    rss: int  # bytes

    @classmethod
    def now(cls, pid: str = "self") -> "Footprint":
        return cls(
            descriptors=len(os.listdir(f"/proc/{pid}/fd")),
            threads=_status_kib("Threads", pid),
            rss=_status_kib("VmRSS", pid) * 1024,
        )

    def __str__(self) -> str:
        return f"{self.descriptors} fds, {self.threads} threads, {self.rss / MiB:.1f} MiB resident"


def peak_rss_growth(work) -> int:
    """Bytes by which the peak resident memory rose above the current level
    while `work()` ran (the kernel's high-water mark is reset first)."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = _status_kib("VmRSS") * 1024
    work()
    return _status_kib("VmHWM") * 1024 - before
