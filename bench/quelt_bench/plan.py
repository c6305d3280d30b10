"""How much to measure: the full run and the quick run (under about two minutes)."""

from __future__ import annotations

from dataclasses import dataclass

from .timing import Budget

SIZES = (64, 4 << 10, 256 << 10, 4 << 20, (64 << 20) - 80)
GROWTH_CALLS = 100_000
PEAK_BYTES = (64 << 20) - 80
LARGE_FROM = 4 << 20


@dataclass(frozen=True)
class Plan:
    name: str
    sizes: tuple[int, ...]
    rounds: int  # the cases take turns this many times, so drifting load hits all alike
    large_rounds: int  # large tensors (4 MiB and more) take part in this many of the rounds, spread out
    budgets: dict[int, Budget]  # per size, for all its rounds together
    spin_iterations: int
    spin_seconds: int  # per round, at most
    growth_calls: int
    slow_calls: int = 300  # calls against the server that takes 2 ms per reply
    long_calls: int = 6  # calls against the server that takes 500 ms per reply
    idle_seconds: float = 10.0  # the pause before the "after an idle pause" call

    def rounds_of(self, size: int) -> list[int]:
        """The rounds (numbered from 1) in which a tensor size is measured."""
        if size < LARGE_FROM or self.large_rounds >= self.rounds:
            return list(range(1, self.rounds + 1))
        return sorted({round(k * self.rounds / self.large_rounds) for k in range(1, self.large_rounds + 1)})

    def round_budget(self, size: int, first: bool = True) -> Budget:
        """One round's share. A client kept from an earlier round is warm
        already: later rounds only re-warm caches with a few calls."""
        share = self.budgets[size].scaled(1 / len(self.rounds_of(size)))
        if first:
            return share
        return Budget(share.min_calls, share.max_calls, share.seconds, min(share.warmup, max(1, share.min_calls)))

    def native_iterations(self, size: int) -> int:
        return max(3, self.round_budget(size).min_calls)


FULL = Plan(
    name="full",
    sizes=SIZES,
    rounds=16,
    large_rounds=4,
    budgets={
        64: Budget(8000, 60000, 6.0, 500),
        4 << 10: Budget(8000, 60000, 6.0, 500),
        256 << 10: Budget(1200, 10000, 4.0, 50),
        4 << 20: Budget(120, 1000, 4.0, 8),
        (64 << 20) - 80: Budget(24, 200, 6.0, 4),
    },
    spin_iterations=400_000,
    spin_seconds=2,
    growth_calls=GROWTH_CALLS,
    slow_calls=500,
    long_calls=10,
    idle_seconds=10.0,
)

QUICK = Plan(
    name="quick",
    sizes=SIZES,
    rounds=10,
    large_rounds=3,
    budgets={
        64: Budget(2000, 8000, 0.6, 200),
        4 << 10: Budget(2000, 8000, 0.6, 200),
        256 << 10: Budget(200, 2000, 0.4, 20),
        4 << 20: Budget(24, 150, 0.45, 2),
        (64 << 20) - 80: Budget(6, 9, 0.3, 1),
    },
    spin_iterations=100_000,
    spin_seconds=1,
    growth_calls=GROWTH_CALLS,
    slow_calls=150,
    long_calls=4,
    idle_seconds=3.0,
)
