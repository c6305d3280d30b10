"""Runs every measurement of one benchmark run and collects the figures."""

from __future__ import annotations

import gc
import json
import struct
import subprocess
import sys
from dataclasses import asdict
from typing import Callable

from . import echo_baselines
from .cases import (CLIENTS, DTYPE, IDENTITY_MODEL, LABELS, LONG, PURE, RAW_SLOW, SHM_SLOW, SLOW, SLOW_MODEL, Call,
                    NotLanded, ServerAddresses, infer_call, make_client, tensor)
from .pure_client import encode_infer_request
from .native import NativeBaselines
from .placement import Placement
from .plan import PEAK_BYTES, Plan
from .progress import Progress
from .stats import Summary, format_duration, format_size, median
from .targets import LARGE, Measurements
from .timing import Budget, Samples, time_calls
from .wire_sizes import HYBRID_CONTROL_FRAMES, identity_infer_frames

# The order in which the socket cases take turns within one size: each client
# runs right after the floor it is compared with.
SOCKET_ORDER = ("raw_unix", "raw_unix_spin", "rawsrv_unix", "rawsrv_unix_spin", "quelt_unix", "purepy_unix",
                "raw_tcp", "raw_tcp_spin", "rawsrv_tcp", "rawsrv_tcp_spin", "quelt_tcp", "purepy_tcp", "rawsrv_hybrid_spin",
                "rawsrv_hybrid", "hybrid", "rawsrv_shm", "shm")


# Spin-waiting cases run with the server on a processor of its own; all the
# others (socket round trips) with client and server on one processor. The
# socket clients spin for small replies too: for those sizes they run apart
# (a spinning reader needs its peer to run elsewhere), and the blocking
# ping-pongs they are compared with stay together, where blocking is fastest.
APART = ("rawsrv_shm", "rawsrv_hybrid", "rawsrv_hybrid_spin", "shm")
SPINNING_SOCKET_CLIENTS = ("quelt_unix", "quelt_tcp", "hybrid")
SPINNING_SIZES = (64, 4096)
# The polling floors (both sides polling, or the raw client polling for the
# server's reply) exist for the small calls only, and run apart too.
POLLING_FLOORS = ("raw_unix_spin", "raw_tcp_spin", "rawsrv_unix_spin", "rawsrv_tcp_spin")
# The protocol-only shared-memory client runs where it explains a target.
RAW_SHM_SIZES = (64, 4096)


def frames_for(size: int):
    return identity_infer_frames(1, DTYPE, size)


class Runner:
    def __init__(self, plan: Plan, native: NativeBaselines, server: ServerAddresses, echo_kinds: tuple[str, ...],
                 placement: Placement | None = None, slow_servers: dict[str, ServerAddresses] | None = None):
        self.plan = plan
        # Servers whose queue model is slow: "slow" takes SLOW_MS, "long" LONG_MS.
        self.slow_servers = slow_servers or {}
        self.placement = placement or Placement()
        self.native = native
        self.server = server
        self.echo_kinds = echo_kinds
        self.progress = Progress(self.steps())
        self.samples: dict[tuple[str, int], list[float]] = {}
        self.cpu: dict[tuple[str, int], list[float]] = {}  # processor time per call, one figure per run
        self.measurements = Measurements()
        self.notes: list[str] = []

    # -- bookkeeping -----------------------------------------------------------

    def steps(self, with_memory: bool = True) -> int:
        per_size = {size: len(SOCKET_ORDER) + (3 if size in LARGE else 0) for size in self.plan.sizes}
        sized = sum(count * len(self.plan.rounds_of(size)) for size, count in per_size.items())
        every_round = 3 * self.plan.rounds  # spin floor, control-frame ping-pongs blocking and polling
        once = (len(self.echo_kinds) + len(SLOW) + len(RAW_SLOW) + len(SHM_SLOW) + len(LONG)
                + (3 * len(CLIENTS) if with_memory else 0))
        return sized + every_round + once

    def _add(self, case: str, size: int, values: list[float]) -> None:
        self.samples.setdefault((case, size), []).extend(values)
        cpu = getattr(values, "cpu_ns_per_call", None)
        if cpu is not None:
            self.cpu.setdefault((case, size), []).append(cpu)

    def mark_missing(self, case: str, reason: str) -> None:
        if case not in self.measurements.missing:
            self.measurements.missing[case] = reason
            self.progress.log(f"  {LABELS.get(case, case)}: {reason}")

    def _step(self, text: str, work: Callable[[], list[float] | None]) -> None:
        self.progress.step(text)
        values = work()
        self.progress.finish_step(f"median {format_duration(Summary.of(values).median_ns)}" if values else "")

    # -- latency ---------------------------------------------------------------

    def run(self, with_memory: bool = True) -> Measurements:
        idle = Summary.of(time_calls(Call(len, (b"",)), self.plan.round_budget(self.plan.sizes[0])))
        self.notes.append(f"the timing loop itself costs {format_duration(idle.median_ns)} per call "
                          "(median for a no-op call); it is included in every Python-side figure")
        clients = self._open_clients()
        try:
            for round_number in range(1, self.plan.rounds + 1):
                self._round(round_number, clients)
        finally:
            for client in clients.values():
                close = getattr(client, "close", None)
                if close:
                    close()
            clients.clear()
            gc.collect()
        # The user alternatives are not in any ratio: one pass each, with the whole budget.
        for kind in self.echo_kinds:
            with self.placement.together():
                self._step(LABELS[kind], lambda: self._echo(kind))
        self._slow_server()
        for (case, size), values in self.samples.items():
            self.measurements.latency[(case, size)] = Summary.of(values)
        for key, values in self.cpu.items():
            self.measurements.cpu[key] = median(values)
        if with_memory:
            self._first_calls()
            self._memory()
        return self.measurements

    def _open_clients(self) -> dict[str, object]:
        clients = {}
        for case in CLIENTS + PURE:
            if case in self.measurements.missing:
                continue
            try:
                clients[case] = make_client(case, self.server)
            except Exception as error:  # a client that cannot even be built is reported, not fatal
                self.mark_missing(case, f"construction failed: {type(error).__name__}: {error}")
        return clients

    def _round(self, number: int, clients: dict) -> None:
        label = f"round {number}/{self.plan.rounds}"
        for size in self.plan.sizes:
            rounds = self.plan.rounds_of(size)
            if number not in rounds:
                continue
            for case in SOCKET_ORDER:
                with self._placed(case, size):
                    self._step(f"{label} {format_size(size)}: {LABELS[case]}",
                               lambda: self._measure_case(case, size, clients, first=number == rounds[0]))
            if size in LARGE:
                with self.placement.together():
                    self._large_floors(label, size)
        self._step(f"{label}: {LABELS['spin']}", self._spin)
        with self.placement.together():
            self._step(f"{label}: {LABELS['raw_ctl']}", self._control_frames)
        with self.placement.apart():
            self._step(f"{label}: {LABELS['raw_ctl_spin']}", lambda: self._control_frames("spin"))

    def _measure_case(self, case: str, size: int, clients: dict, first: bool = True) -> list[float] | None:
        if case in self.measurements.missing:
            return None
        if case in POLLING_FLOORS:
            return self._polling_floor(case, size)
        if case in ("rawsrv_shm", "rawsrv_hybrid", "rawsrv_hybrid_spin"):
            if size not in RAW_SHM_SIZES:
                return None
            budget = self.plan.round_budget(size)
            control = self.server.socket_path if case.startswith("rawsrv_hybrid") else None
            wait = "spin" if case.endswith("_spin") else "library"
            return self._native(case, size, lambda: self.native.shm_client(
                self.server.shm_name, size, self.plan.native_iterations(size), budget.warmup,
                max_seconds=max(1, round(budget.seconds)), control=control, wait=wait))
        if case.startswith("rawsrv_"):
            return self._native(case, size, lambda: self._raw_to_server(case[7:], size))
        if case.startswith("raw_"):
            fresh_process = self.plan.round_budget(size)  # a new process every round: warmed every round
            return self._native(case, size, lambda: self.native.socket_pingpong(
                case[4:], frames_for(size), self.plan.native_iterations(size), fresh_process.warmup,
                budget=fresh_process))
        client = clients.get(case)
        if client is None:
            return None
        try:
            call = infer_call(case, client, size)
        except NotLanded as error:
            self.mark_missing(case, f"not implemented yet ({error})")
            return None
        except Exception as error:
            self.mark_missing(case, f"{type(error).__name__}: {error}")
            return None
        values = time_calls(call, self.plan.round_budget(size, first))
        self._add(case, size, values)
        return values

    def _polling_floor(self, case: str, size: int) -> list[float] | None:
        if size not in SPINNING_SIZES:
            return None
        floor = case.removesuffix("_spin")
        if floor.startswith("rawsrv_"):
            return self._native(case, size, lambda: self._raw_to_server(floor[7:], size, wait="spin"))
        budget = self.plan.round_budget(size)
        return self._native(case, size, lambda: self.native.socket_pingpong(
            floor[4:], frames_for(size), self.plan.native_iterations(size), budget.warmup, budget=budget,
            wait="spin", peer_cpu=self.placement.peer_cpu))

    def _raw_to_server(self, transport: str, size: int, model: int = IDENTITY_MODEL,
                       budget: Budget | None = None, wait: str = "block") -> list[float]:
        shape, data = tensor(size)
        payload = encode_infer_request(shape, DTYPE, data)
        frame = struct.pack("<III", model, 1, len(payload)) + payload
        target = (f"unix:{self.server.socket_path}" if transport == "unix"
                  else f"tcp:{self.server.tcp_host}:{self.server.tcp_port}")
        budget = budget or self.plan.round_budget(size)
        return self.native.socket_to_server(target, frame, frames_for(size).reply_body,
                                            budget.min_calls if model != IDENTITY_MODEL
                                            else self.plan.native_iterations(size), budget.warmup, budget=budget,
                                            wait=wait)

    def _placed(self, case: str, size: int | None = None):
        apart = (case in APART or case in POLLING_FLOORS
                 or (case in SPINNING_SOCKET_CLIENTS and size in SPINNING_SIZES))
        return self.placement.apart() if apart else self.placement.together()

    def _native(self, case: str, size: int, measure: Callable[[], list[float]]) -> list[float] | None:
        """Runs one baseline program; a failure is reported and the run goes on."""
        if case in self.measurements.missing:
            return None
        try:
            values = measure()
        except (OSError, RuntimeError, subprocess.TimeoutExpired) as error:
            self.mark_missing(case, str(error))
            return None
        self._add(case, size, values)
        return values

    def _large_floors(self, label: str, size: int) -> None:
        iterations = self.plan.native_iterations(size)
        warmup = self.plan.round_budget(size).warmup

        def copy_floor():
            series = self.native.copy_floor(size, iterations, warmup)
            self._add("copy_in", size, series["copy_in_ns"])
            self._add("copy_out", size, series["alloc_copy_out_ns"])
            self._add("fresh_touch", size, series["fresh_page_copy_ns"])
            if "warm_samples_ns" in series:
                self._add("copy_warm", size, series["warm_samples_ns"])
                self._add("copy_out_warm", size, series["copy_out_warm_ns"])
            cpu = series.get("cpu_ns_per_call")
            return Samples(series["samples_ns"], cpu[0] if cpu else None)

        self._step(f"{label} {format_size(size)}: {LABELS['copy']}", lambda: self._native("copy", size, copy_floor))
        for transport in ("unix", "tcp"):
            case = f"raw_{transport}_warm"
            self._step(f"{label} {format_size(size)}: {LABELS[case]}", lambda: self._native(
                case, size, lambda: self.native.socket_pingpong(transport, frames_for(size), iterations, warmup,
                                                                "warm")))

    def _control_frames(self, wait: str = "block") -> list[float] | None:
        """The socket floor of a hybrid call: its fixed control frames, whatever the tensor."""
        small = self.plan.sizes[0]
        budget = self.plan.round_budget(small)
        case = "raw_ctl" if wait == "block" else "raw_ctl_spin"
        peer_cpu = self.placement.peer_cpu if wait == "spin" else None
        return self._native(case, 0, lambda: self.native.socket_pingpong(
            "unix", HYBRID_CONTROL_FRAMES, self.plan.native_iterations(small), budget.warmup, budget=budget,
            wait=wait, peer_cpu=peer_cpu))

    def _spin(self) -> list[float] | None:
        with self.placement.apart() as peer_cpu:
            return self._native("spin", 0, lambda: self.native.shm_spin(
                self.plan.spin_iterations // self.plan.rounds, max_seconds=self.plan.spin_seconds, peer_cpu=peer_cpu))

    def _echo(self, kind: str) -> list[float] | None:
        sizes = list(self.plan.sizes)
        try:
            results = echo_baselines.run_subprocess(kind, sizes, [self.plan.budgets[s] for s in sizes])
        except Exception as error:
            self.mark_missing(kind, str(error))
            return None
        for size, values in results.items():
            self._add(kind, size, values)
        return results[sizes[0]]

    def _slow_server(self) -> None:
        """QueltClient and the raw blocking client against the model that
        takes 2 ms per reply: a spin that did not learn to stop would show as
        processor time. On one processor, where a client that sleeps 2 ms
        does not pay for waking an idle processor on top."""
        size = self.plan.sizes[0]
        budget = Budget(self.plan.slow_calls, self.plan.slow_calls, 0.0, 20)
        clients: dict[str, object] = {}
        for case in SLOW:
            with self._placed(case, size):
                self._step(LABELS[case], lambda: self._slow_client(case, size, budget, clients))
        for case in RAW_SLOW:
            transport = case.split("_")[1]
            with self._placed(case, size):
                self._step(LABELS[case], lambda: self._native(
                    case, size, lambda: self._raw_to_server(transport, size, SLOW_MODEL, budget)))
        long_budget = Budget(self.plan.long_calls, self.plan.long_calls, 0.0, 1)
        for cases, server, case_budget in ((SHM_SLOW, "slow", budget), (LONG, "long", long_budget)):
            for case in cases:
                if server not in self.slow_servers:
                    self.progress.step(LABELS[case])
                    self.mark_missing(case, "no server with a slow queue model in this run")
                    self.progress.finish_step()
                    continue
                with self._placed(case, size):
                    self._step(LABELS[case], lambda: self._slow_client(case, size, case_budget, clients,
                                                                       self.slow_servers[server]))
        clients.clear()
        gc.collect()

    def _slow_client(self, case: str, size: int, budget: Budget, clients: dict,
                     server: ServerAddresses | None = None) -> list[float] | None:
        if case in self.measurements.missing:
            return None
        try:
            clients[case] = make_client(case, server or self.server)
            call = infer_call(case, clients[case], size)
        except Exception as error:
            self.mark_missing(case, f"{type(error).__name__}: {error}")
            return None
        values = time_calls(call, budget)
        self._add(case, size, values)
        return values

    def _first_calls(self) -> None:
        """The first large call of a fresh process and the call after an idle
        pause, each client in an interpreter of its own."""
        server = json.dumps(asdict(self.server))
        for case in CLIENTS:
            self._probe(case, "first", ["--bytes", str(PEAK_BYTES), "--idle", str(self.plan.idle_seconds)], server,
                        self.measurements.first_call, f"first {format_size(PEAK_BYTES)} call and one after "
                        f"{self.plan.idle_seconds:g} s idle", PEAK_BYTES)

    # -- memory ----------------------------------------------------------------

    def _memory(self) -> None:
        server = json.dumps(asdict(self.server))
        for case in CLIENTS:
            self._probe(case, "growth", ["--calls", str(self.plan.growth_calls), "--bytes", "64"], server,
                        self.measurements.growth, f"resident-set growth over {self.plan.growth_calls:,} calls")
        for case in CLIENTS:
            self._probe(case, "peak", ["--bytes", str(PEAK_BYTES)], server, self.measurements.peak,
                        f"peak memory of a {format_size(PEAK_BYTES)} call", PEAK_BYTES)

    def _probe(self, case: str, mode: str, arguments: list[str], server: str, into: dict, what: str,
               size: int = 64) -> None:
        self.progress.step(f"memory: {LABELS[case]}, {what}")
        command = [sys.executable, "-m", "quelt_bench.memory_probe", mode, "--client", case, "--server", server,
                   *arguments]
        with self._placed(case, size):
            done = subprocess.run(command, capture_output=True, text=True, timeout=900)
        self.progress.finish_step()
        if done.returncode != 0:
            reason = (done.stderr.strip().splitlines() or ["probe failed"])[-1]
            self.notes.append(f"{LABELS[case]} {mode} probe failed: {reason}")
            self.mark_missing(case, reason)
            return
        figures = json.loads(done.stdout)
        if "not_landed" in figures:
            self.mark_missing(case, f"not implemented yet ({figures['not_landed']})")
            return
        into[case] = figures
