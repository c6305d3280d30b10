"""Benchmark suite of quelt_sdk: measures every client against raw baselines.

Run it with ``python bench/run.py [--quick]`` (docs/benchmarks.md).
"""
