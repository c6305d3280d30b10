"""The README's recipes for deadlines and for asyncio are the programs in
examples/; they run here against the reference server, each in a process
of its own, bounded in time.

README blocks fenced as ```py under an "excerpt" marker are quoted from
those programs (test_typing.py runs the ```python blocks instead)."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BOUND = 120  # seconds; each run takes a few on a loaded 2-core machine


def run_example(name, *arguments):
    """(exit status, output) of an example; fails if it is still running after
    BOUND seconds, or if a process of it outlives it (a stuck worker)."""
    process = subprocess.Popen([sys.executable, str(ROOT / "examples" / name), *map(str, arguments)],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=BOUND)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        pytest.fail(f"{name} was still running after {BOUND} s:\n{output}")
    deadline = time.monotonic() + 10  # multiprocessing's helper ends once its parent has
    while time.monotonic() < deadline:
        try:
            os.killpg(process.pid, 0)
        except ProcessLookupError:
            return process.returncode, output
        time.sleep(0.1)
    os.killpg(process.pid, signal.SIGKILL)
    pytest.fail(f"a process of {name} outlived it:\n{output}")


def test_readme_excerpts_are_quoted_from_the_examples():
    readme = (ROOT / "README.md").read_text()
    excerpts = re.findall(r"^<!-- excerpt: (\S+) -->\n```py\n(.*?)^```", readme, re.S | re.M)
    assert {path for path, _ in excerpts} == {"examples/deadline.py", "examples/process_pool.py"}
    for path, text in excerpts:
        assert text in (ROOT / path).read_text(), f"the README's excerpt of {path} is not in it"


@pytest.mark.slow
def test_a_call_past_its_deadline_ends_and_the_program_exits(start_refserver):
    # The slow model answers after ten minutes: the first call must be given up.
    server = start_refserver(slow_ms=600_000)
    status, output = run_example("deadline.py", server.unix_endpoint, 1, 4, 0)
    assert (status, output.splitlines()) == (0, ["model 4: no answer within 1.0 s", "model 0: 16 bytes"])


@pytest.mark.slow
def test_a_process_pool_keeps_the_event_loop_running(start_refserver):
    server = start_refserver(slow_ms=2000)
    status, output = run_example("process_pool.py", server.unix_endpoint, 4, 4, 4)
    assert status == 0, output
    found = re.search(r"in ([\d.]+) s, 0 wrong; longest pause of the event loop: (\d+) ms", output)
    assert found, output
    took, pause = float(found[1]), int(found[2])
    # Calls waiting in this process would stop the loop for 2 s each, and
    # 4 calls one after another would take 8 s.
    assert pause < 1000 and took < 6, output
