"""Large results: every client fills a new result of many megabytes in huge
pages where the kernel offers them, and returns the exact bytes whether it
does or not (a process with huge pages turned off stands for a kernel whose
setting is "never")."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

SIZE = (64 << 20) - 80
THP_SETTING = "/sys/kernel/mm/transparent_hugepage/enabled"

# Run in a fresh interpreter, so that no earlier result's memory is reused
# and huge pages can be turned off for the whole process.
PROBE = textwrap.dedent(
    """
    import ctypes, json, sys
    import quelt_sdk

    kind, endpoints, size, thp_off = sys.argv[1], json.loads(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1"
    if thp_off:
        PR_SET_THP_DISABLE = 41
        assert ctypes.CDLL(None, use_errno=True).prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0

    block = bytes((i * 7 + 3) & 0xFF for i in range(251))
    data = (block * (size // len(block) + 1))[:size]
    shape = [size // 4]
    if kind == "shm":
        result = quelt_sdk.QueltShmClient(endpoints["shm"]).infer(shape, "float32", data)
    elif kind == "hybrid":
        result = quelt_sdk.QueltHybridClient(endpoints["shm"], endpoints["socket"]).infer(shape, "float32", data)
    elif kind == "socket":
        result = quelt_sdk.QueltClient(endpoints["unix"]).infer(0, shape, "float32", data)
    else:
        result = next(iter(quelt_sdk.QueltClient(endpoints["unix"]).infer_stream(2, shape, "float32", data)))
        data = data[:len(result)]

    # The huge pages of the mappings that hold the result's bytes.
    first = ctypes.cast(ctypes.c_char_p(result), ctypes.c_void_p).value
    last = first + len(result)
    huge, inside = 0, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            head = line.split()[0]
            if "-" in head and ":" not in head:
                start, end = (int(x, 16) for x in head.split("-"))
                inside = start < last and end > first
            elif inside and head == "AnonHugePages:":
                huge += int(line.split()[1]) * 1024
    print(json.dumps({"exact": result == data, "length": len(result), "huge": huge}))
    """
)


def thp_offered():
    try:
        with open(THP_SETTING) as setting:
            return "[never]" not in setting.read()
    except OSError:
        return False


@pytest.mark.parametrize("kind", ["shm", "hybrid", "socket", "stream chunk"])
def test_large_result_is_exact_and_in_huge_pages_where_offered(refserver, kind):
    endpoints = json.dumps({"shm": refserver.shm_name, "socket": refserver.socket_path,
                            "unix": refserver.unix_endpoint})
    for thp_off in (False, True):
        done = subprocess.run([sys.executable, "-c", PROBE, kind, endpoints, str(SIZE), "1" if thp_off else "0"],
                              capture_output=True, text=True, timeout=120, env=dict(os.environ))
        assert done.returncode == 0, done.stderr
        figures = json.loads(done.stdout)
        assert figures["exact"] and figures["length"] >= 4 << 20, (thp_off, figures)
        if thp_off:
            assert figures["huge"] == 0
        elif thp_offered():
            # Only the pages wholly inside the result are advised; the kernel may
            # fall back to small pages when memory is fragmented, rarely for all.
            assert figures["huge"] >= figures["length"] // 2, figures
