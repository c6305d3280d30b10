"""Where the processes of a run execute. A spin-waiting client whose server
shares its processor waits for the scheduler instead of the server (on two
processors that costs a shared-memory call some 150 µs instead of 1 µs), so
by default the reference server and every peer get a processor of their own
and the measuring processes the rest."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class Placement:
    server_cpus: Optional[frozenset[int]] = None  # None: left to the scheduler
    client_cpus: Optional[frozenset[int]] = None

    @classmethod
    def choose(cls, pin: bool, available: Optional[set[int]] = None) -> "Placement":
        cpus = set(available if available is not None else os.sched_getaffinity(0))
        if not pin or len(cpus) < 2:
            return cls()
        server = max(cpus)
        return cls(frozenset({server}), frozenset(cpus - {server}))

    @property
    def peer_cpu(self) -> Optional[int]:
        return min(self.server_cpus) if self.server_cpus else None

    def pin_measuring_process(self) -> None:
        """This process and every process it starts from now on."""
        if self.client_cpus:
            os.sched_setaffinity(0, self.client_cpus)

    def pin_server(self, pid: int) -> None:
        """Every thread of a running server; threads it starts later inherit the mask."""
        if not self.server_cpus:
            return
        for task in os.listdir(f"/proc/{pid}/task"):
            try:
                os.sched_setaffinity(int(task), self.server_cpus)
            except ProcessLookupError:
                pass  # a thread that ended meanwhile

    def describe(self) -> str:
        if not self.server_cpus:
            return "processes placed by the scheduler (not pinned)"
        return (f"reference server and echo peers pinned to CPU {self.peer_cpu}, measuring processes to CPU "
                f"{', '.join(map(str, sorted(self.client_cpus)))}")
