import os
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(BENCH))


@pytest.fixture(scope="session")
def build_dir() -> Path:
    """The build holding the native baselines: $QUELT_BENCH_BUILD_DIR, else build/bench."""
    candidate = Path(os.environ.get("QUELT_BENCH_BUILD_DIR", BENCH.parent / "build" / "bench"))
    if not (candidate / "bench" / "quelt-bench-socket").exists():
        pytest.skip(f"native baselines are not built in {candidate} (set QUELT_BENCH_BUILD_DIR)")
    return candidate
