"""Where the processes of a run execute.

A spin-waiting client whose server shares its processor waits for the
scheduler instead of the server (on two processors that costs a shared-memory
call some 150 µs instead of 1 µs). Socket round trips are the other way round:
a peer on another processor is woken across processors, which on these
virtual machines costs several times a wake-up on the same one. So the
shared-memory cases (and their spin floor) run with the reference server on a
processor of its own and the measuring side on the others; every socket case
is left to the scheduler, exactly like its baselines.
"""

from __future__ import annotations

import os
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Iterator, Optional


@dataclass
class Placement:
    server_cpus: Optional[frozenset[int]] = None  # None: everything left to the scheduler
    client_cpus: Optional[frozenset[int]] = None
    server_pid: Optional[int] = None
    everywhere: frozenset[int] = field(default_factory=lambda: frozenset(os.sched_getaffinity(0)))

    @classmethod
    def choose(cls, pin: bool, available: Optional[set[int]] = None) -> "Placement":
        cpus = frozenset(available if available is not None else os.sched_getaffinity(0))
        if not pin or len(cpus) < 2:
            return cls(everywhere=cpus)
        server = max(cpus)
        return cls(frozenset({server}), cpus - {server}, everywhere=cpus)

    @property
    def peer_cpu(self) -> Optional[int]:
        return min(self.server_cpus) if self.server_cpus else None

    @contextmanager
    def pinned(self) -> Iterator[Optional[int]]:
        """Server and measuring side apart for the duration; yields the peer's
        processor (None when not pinning). Processes started inside inherit
        the measuring side's mask."""
        if not self.server_cpus:
            yield None
            return
        self._set_server(self.server_cpus)
        os.sched_setaffinity(0, self.client_cpus)
        try:
            yield self.peer_cpu
        finally:
            os.sched_setaffinity(0, self.everywhere)
            self._set_server(self.everywhere)

    def _set_server(self, cpus: frozenset[int]) -> None:
        if self.server_pid is None:
            return
        try:
            tasks = os.listdir(f"/proc/{self.server_pid}/task")
        except FileNotFoundError:
            return
        for task in tasks:
            try:
                os.sched_setaffinity(int(task), cpus)
            except ProcessLookupError:
                pass  # a thread that ended meanwhile

    def describe(self) -> str:
        if not self.server_cpus:
            return "every process placed by the scheduler"
        return (f"shared-memory cases and the spin floor with the reference server on CPU {self.peer_cpu} and the "
                f"measuring side on CPU {', '.join(map(str, sorted(self.client_cpus)))}; socket cases placed by "
                "the scheduler, like their baselines")
