"""Four socket client processes (TCP and Unix) and one process on the
region, all against one reference server at once: every answer is its own
request's (identity model), none lost, none crossed.

A bounded run of fuzz/multiprocess_load.py; QUELT_LOAD_REQUESTS sets the
requests per process (default 3000; the script's own default, 100,000, is
the full run documented in CONTRIBUTING.md).
"""

import json
import os
import pathlib
import subprocess
import sys


SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "fuzz" / "multiprocess_load.py"
REQUESTS = int(os.environ.get("QUELT_LOAD_REQUESTS", "3000"))


def test_socket_and_region_processes_at_once_each_get_their_own_answers(refserver):
    del refserver  # only makes sure the executable is there; the script starts its own server
    result = subprocess.run([sys.executable, str(SCRIPT), "--requests", str(REQUESTS)],
                            capture_output=True, text=True, timeout=600)
    summary = json.loads(result.stdout)
    print(json.dumps(summary))
    assert result.returncode == 0, result.stdout + result.stderr[-2000:]
    assert summary["processes"] == 5
    assert summary["requests"] == 5 * REQUESTS
    assert (summary["wrong"], summary["failures"]) == (0, 0), summary["first_failures"]
    assert {kind: entry["processes"] for kind, entry in summary["per_kind"].items()} == {"tcp": 2, "unix": 2, "region": 1}
