"""PNG charts of a run (matplotlib is optional: without it the report simply has no charts)."""

from __future__ import annotations

from pathlib import Path

from .cases import LABELS
from .stats import format_size
from .targets import LARGE, Measurements

LINES = ("quelt_unix", "quelt_tcp", "hybrid", "shm", "raw_unix", "raw_tcp", "rawsrv_shm", "copy_warm",
         "raw_unix_warm", "purepy_unix", "purepy_tcp", "zmq", "grpc")
BARS = ("quelt_unix", "quelt_tcp", "shm", "hybrid", "raw_unix", "raw_tcp", "copy", "copy_warm", "purepy_unix", "zmq",
        "grpc")
CPU_LINES = ("quelt_unix", "quelt_tcp", "hybrid", "shm", "raw_unix", "raw_tcp", "rawsrv_shm", "copy_warm",
             "purepy_unix")
FIRST_CALL = ("quelt_unix", "quelt_tcp", "shm", "hybrid")


def draw(m: Measurements, sizes, out_dir: Path) -> tuple[list[str], str | None]:
    """Writes the charts; returns their file names, and why there are none."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return [], "matplotlib is not installed (pip install '.[bench]' or pip install matplotlib): no charts"
    names = [_latency(plt, m, sizes, out_dir)]
    large = [s for s in sizes if s in LARGE]
    if large:
        names.append(_throughput(plt, m, large, out_dir))
    if m.cpu:
        names.append(_processor_time(plt, m, sizes, out_dir))
    if m.first_call:
        names.append(_first_calls(plt, m, out_dir))
    return names, None


def _plot_by_size(plt, curves: dict[str, list[tuple[int, float]]], figsize):
    """A chart with one line per case through its (tensor size, µs) points;
    the clients' lines solid, the baselines' dashed."""
    figure, axes = plt.subplots(figsize=figsize)
    # More lines than the default ten colours: no two may share one.
    axes.set_prop_cycle(color=[plt.cm.tab20(i) for i in (*range(0, 20, 2), *range(1, 20, 2))])
    for case, points in curves.items():
        if points:
            style = "-" if case in ("quelt_unix", "quelt_tcp", "hybrid", "shm") else "--"
            axes.plot([s for s, _ in points], [v for _, v in points], style, marker="o", label=LABELS[case])
    return figure, axes


def _save_by_size(plt, figure, axes, sizes, ylabel: str, title: str, out_dir: Path, name: str) -> str:
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    axes.set_xticks(list(sizes))
    axes.set_xticklabels([format_size(s) for s in sizes], fontsize=8)
    axes.set_xlabel("tensor size")
    axes.set_ylabel(ylabel)
    axes.set_title(title)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    return _save(plt, figure, out_dir, name)


def _save(plt, figure, out_dir: Path, name: str) -> str:
    figure.tight_layout()
    figure.savefig(out_dir / name, dpi=110)
    plt.close(figure)
    return name


def _processor_time(plt, m: Measurements, sizes, out_dir: Path) -> str:
    curves = {case: [(s, m.cpu[(case, s)] / 1e3) for s in sizes if (case, s) in m.cpu] for case in CPU_LINES}
    figure, axes = _plot_by_size(plt, curves, (10, 6))
    return _save_by_size(plt, figure, axes, sizes, "processor time per call, measuring side (µs, log scale)",
                         "processor time per call (user + system), per client and baseline", out_dir, "cpu.png")


def _first_calls(plt, m: Measurements, out_dir: Path) -> str:
    figure, axes = plt.subplots(figsize=(9, 5))
    cases = [c for c in FIRST_CALL if c in m.first_call]
    kinds = (("first", "first call of the process"), ("median", "median of the next calls"),
             ("after_idle", "after an idle pause"))
    width = 0.8 / len(kinds)
    for index, (key, label) in enumerate(kinds):
        axes.bar([i + index * width for i in range(len(cases))], [m.first_call[c][key] / 1e6 for c in cases], width,
                 label=label)
    axes.set_xticks([i + width for i in range(len(cases))])
    axes.set_xticklabels([LABELS[c].replace(" (", "\n(") for c in cases], fontsize=8)
    axes.set_ylabel("ms per call")
    size = format_size(next(iter(m.first_call.values()))["bytes"])
    axes.set_title(f"{size}: the first call, the following ones, and one after an idle pause")
    axes.grid(True, axis="y", alpha=0.3)
    axes.legend()
    return _save(plt, figure, out_dir, "first_call.png")


def _latency(plt, m: Measurements, sizes, out_dir: Path) -> str:
    curves = {case: [(s, m.latency[(case, s)].median_ns / 1e3) for s in sizes if (case, s) in m.latency]
              for case in LINES}
    figure, axes = _plot_by_size(plt, curves, (10, 6.5))
    spin = m.latency.get(("spin", 0))
    if spin:
        axes.axhline(spin.median_ns / 1e3, color="grey", linestyle=":", label=LABELS["spin"])
    control = m.latency.get(("raw_ctl", 0))
    if control:
        axes.axhline(control.median_ns / 1e3, color="black", linestyle=":", label=LABELS["raw_ctl"])
    return _save_by_size(plt, figure, axes, sizes, "median latency per call (µs, log scale)",
                         "infer latency by tensor size, per client and transport", out_dir, "latency.png")


def _throughput(plt, m: Measurements, large, out_dir: Path) -> str:
    figure, axes = plt.subplots(figsize=(10, 5.5))
    cases = [c for c in BARS if any((c, s) in m.latency for s in large)]
    width = 0.8 / max(len(large), 1)
    for index, size in enumerate(large):
        values = [m.latency[(c, size)].throughput_gib_s(size) if (c, size) in m.latency else 0 for c in cases]
        axes.bar([i + index * width for i in range(len(cases))], values, width,
                 label="4 MiB" if size == 4 << 20 else "64 MiB - 80 B")
    axes.set_xticks([i + width * (len(large) - 1) / 2 for i in range(len(cases))])
    axes.set_xticklabels([LABELS[c].replace(" (", "\n(") for c in cases], rotation=30, ha="right", fontsize=7)
    axes.set_ylabel("GiB/s (tensor bytes, median)")
    axes.set_title("throughput for large tensors")
    axes.grid(True, axis="y", alpha=0.3)
    axes.legend()
    return _save(plt, figure, out_dir, "throughput.png")
