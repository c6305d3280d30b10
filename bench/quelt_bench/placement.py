"""Where the processes of a run execute.

Left to the scheduler, placement decides more than the code does, and it
differs between a long-lived client and a freshly started baseline:

- A spin-waiting client whose server shares its processor waits for the
  scheduler instead of the server (on two processors that costs a
  shared-memory call some 150 µs instead of 1 µs). The shared-memory cases
  and their spin floor therefore run *apart*: the reference server on a
  processor of its own, the measuring side on the others.
- A blocking socket round trip between two processors wakes an idle virtual
  processor each way, which on these machines costs more than the whole
  exchange on one processor. The blocking socket cases (the ping-pong
  baselines, the pure-Python and echo baselines) and every large socket
  call therefore run *together* on one processor, client and server alike.
- The socket clients and the reference server spin for small messages
  instead of sleeping: like the shared-memory cases they need their peer on
  another processor, so their 64 B and 4 KiB calls run *apart* (the runner
  decides per case and size).
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
    def apart(self) -> Iterator[Optional[int]]:
        """Server and measuring side on different processors for the duration;
        yields the server's processor (None when not pinning). Processes
        started inside inherit the measuring side's mask."""
        if not self.server_cpus:
            yield None
            return
        with self._placed(self.server_cpus, self.client_cpus):
            yield self.peer_cpu

    @contextmanager
    def together(self) -> Iterator[None]:
        """Server, measuring side and every process started inside on one processor."""
        if not self.client_cpus:
            yield None
            return
        one = frozenset({min(self.client_cpus)})
        with self._placed(one, one):
            yield None

    @contextmanager
    def _placed(self, server: frozenset[int], client: frozenset[int]) -> Iterator[None]:
        self._set_server(server)
        os.sched_setaffinity(0, client)
        try:
            yield
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
        return (f"shared-memory cases, the spin floor and the socket clients' 64 B and 4 KiB calls apart (reference "
                f"server on CPU {self.peer_cpu}, measuring side on CPU {', '.join(map(str, sorted(self.client_cpus)))}); "
                f"the other socket cases, their baselines and the echo baselines together on CPU "
                f"{min(self.client_cpus)}")
