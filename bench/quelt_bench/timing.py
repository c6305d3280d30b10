"""Timing of Python callables: one clock reading before and after each call."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Callable, Optional


@dataclass(frozen=True)
class Budget:
    """How many calls to time: at least `min_calls`, then more until `seconds`
    have passed, never more than `max_calls`."""

    min_calls: int
    max_calls: int
    seconds: float
    warmup: int

    def scaled(self, share: float) -> "Budget":
        """The part of this budget that one of several rounds gets."""
        return Budget(
            max(1, round(self.min_calls * share)),
            max(1, round(self.max_calls * share)),
            self.seconds * share,
            self.warmup,
        )


class Samples(list):
    """Per-call durations in nanoseconds, with the processor time (user +
    system) that the measuring process spent per call, when it was measured."""

    def __init__(self, values=(), cpu_ns_per_call: Optional[float] = None):
        super().__init__(values)
        self.cpu_ns_per_call = cpu_ns_per_call


def time_calls(call: Callable[..., object], budget: Budget) -> Samples:
    """Per-call durations in nanoseconds. A result is dropped after its clock
    reading, so freeing it is not part of the figure. A call that carries
    `function` and `arguments` is timed without its own wrapper frame. The
    process's processor time over the timed calls (every thread of it, so a
    client's own helper threads count) is kept with the samples."""
    function = getattr(call, "function", call)
    arguments = getattr(call, "arguments", ())
    clock = time.perf_counter_ns
    for _ in range(budget.warmup):
        function(*arguments)
    samples = Samples()
    cpu_began = time.process_time_ns()
    deadline = clock() + int(budget.seconds * 1e9)
    while len(samples) < budget.max_calls:
        start = clock()
        result = function(*arguments)
        end = clock()
        del result
        samples.append(end - start)
        if len(samples) >= budget.min_calls and end >= deadline:
            break
    samples.cpu_ns_per_call = (time.process_time_ns() - cpu_began) / len(samples)
    return samples
