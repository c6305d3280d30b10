"""Summaries of timing samples: every figure of the report is a median with its p99."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Sequence


def percentile(samples: Sequence[float], fraction: float) -> float:
    """Nearest-rank percentile: always one of the measured values."""
    if not samples:
        raise ValueError("no samples")
    ordered = sorted(samples)
    rank = max(1, math.ceil(fraction * len(ordered)))
    return float(ordered[rank - 1])


def median(samples: Sequence[float]) -> float:
    if not samples:
        raise ValueError("no samples")
    ordered = sorted(samples)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return float(ordered[middle])
    return (ordered[middle - 1] + ordered[middle]) / 2.0


@dataclass(frozen=True)
class Summary:
    median_ns: float
    p99_ns: float
    count: int
    mean_ns: float = 0.0  # not in the report's tables; results.json keeps it for heavy tails

    @classmethod
    def of(cls, samples: Sequence[float]) -> "Summary":
        return cls(median(samples), percentile(samples, 0.99), len(samples), sum(samples) / len(samples))

    def throughput_gib_s(self, payload_bytes: int) -> float:
        """Tensor bytes per second at the median, in GiB/s."""
        return payload_bytes / (self.median_ns * 1e-9) / (1 << 30)


def format_duration(ns: float) -> str:
    if ns < 0:
        return "-" + format_duration(-ns)
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.2f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e9:.2f} s"


def format_size(size: int) -> str:
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            whole, rest = divmod(size, scale)
            if rest == 0:
                return f"{whole} {unit}"
            if scale - (size % scale) < 1024 and unit == "MiB":
                return f"{whole + 1} MiB - {scale - rest} B"
            return f"{size / scale:.2f} {unit}"
    return f"{size} B"
