#!/usr/bin/env python3
"""Runs the whole benchmark suite: `python bench/run.py [--quick]`.

Builds the project with CMake (build/bench unless --build-dir says otherwise),
starts the reference server, measures every client and baseline, and writes
bench/out/report.md with PNG charts beside it.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quelt_bench.cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main())
