"""A process that forks while it holds clients (multiprocessing's fork start
method, pre-forking web servers): the child never uses a connection, stream
or slot of its parent, and nothing the child does disturbs the parent.

Each scenario runs in fork_driver.py in a process of its own, bounded by a
time-out. QUELT_FORK_CALLS sets the calls per process of the socket scenario
(default 1000).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from quelt_refserver import MODELS

HERE = Path(__file__).resolve().parent
CALLS = int(os.environ.get("QUELT_FORK_CALLS", "1000"))
INHERITED = "created in another process"


def run(*arguments, timeout=90):
    done = subprocess.run([sys.executable, str(HERE / "fork_driver.py"), *map(str, arguments)],
                          capture_output=True, text=True, timeout=timeout, cwd=HERE)
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


@pytest.mark.parametrize("transport", ["tcp_endpoint", "unix_endpoint"])
def test_parent_and_child_each_get_their_own_answers(refserver, transport):
    seen = run("socket-calls", getattr(refserver, transport), CALLS)
    clean = {"calls": CALLS, "wrong": 0, "failed": 0}
    assert seen == {"parent": clean, "child": clean}


def test_inherited_stream_refuses_in_the_child_and_stays_the_parents(refserver):
    seen = run("stream", refserver.unix_endpoint, MODELS["stream"])
    assert seen["child"].startswith("RuntimeError: StreamIterator was " + INHERITED)
    assert seen["parent"] == ["0001", "0203", "0405", "0607"]


def test_inherited_shm_client_refuses_in_the_child(refserver):
    seen = run("shm-inherited", refserver.shm_name)
    assert seen == {"parent": True,
                    "child": "RuntimeError: QueltShmClient was created in another process; "
                             "create a new client after fork()"}


def test_fork_during_a_wait_leaves_the_parents_call_alone(start_refserver):
    server = start_refserver(pool_size=256 << 10, shm_model="slow", slow_ms=400)
    seen = run("shm-fork-during-wait", server.shm_name)
    assert seen["parent"] == "right"
    assert seen["child"]["inherited_call"].startswith("RuntimeError: QueltShmClient was " + INHERITED)
    assert seen["child"]["new_client"].startswith("RuntimeError: SHM tensor pool exhausted")


def test_prefork_workers_each_get_their_own_answers(refserver):
    """One QueltShmClient per forked worker, all waiting on one response queue."""
    seen = run("shm-prefork-workers", refserver.shm_name, 4, CALLS)
    clean = {"calls": CALLS, "wrong": 0, "timeouts": 0, "failed": 0}
    assert seen == {"workers": [clean] * 4}
