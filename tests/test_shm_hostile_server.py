"""A server that writes offsets and lengths outside the region gets a clear
error, never a read or write outside the mapping (each case in a child
process, so a crash would fail the test rather than the run)."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quelt_sdk
from shm_hostile_cases import POOL, SERVER_AREA

HERE = Path(__file__).resolve().parent
SIZE = (131072 + POOL + 4095) // 4096 * 4096 + SERVER_AREA  # as shm_region_fixture lays it out
SERVER_AREA_OFFSET = SIZE - SERVER_AREA
BAD = "RuntimeError|Invalid shared memory region: "

CASES = [
    ("result_head_outside", BAD + f"tensor block at offset {SIZE - 79} with 80 bytes lies outside the {SIZE}-byte region"),
    ("result_offset_max", BAD + f"tensor block at offset {2**64 - 1} with 80 bytes lies outside the {SIZE}-byte region"),
    ("data_len_max", BAD + f"tensor block at offset {SERVER_AREA_OFFSET} declares {2**64 - 1} data bytes, "
                           f"more than the {SIZE}-byte region holds"),
    ("data_len_one_past_the_end", BAD + f"tensor block at offset {SERVER_AREA_OFFSET} declares "
                                        f"{SERVER_AREA - 80 + 1} data bytes, more than the {SIZE}-byte region holds"),
    ("data_len_to_the_end", f"bytes|{SERVER_AREA - 80}"),
    ("error_offset_outside", BAD + f"message block at offset {SIZE - 7} lies outside the {SIZE}-byte region"),
    ("message_len_max", BAD + f"message block at offset {SERVER_AREA_OFFSET} declares {2**64 - 8} text bytes, "
                              f"more than the {SIZE}-byte region holds"),
    ("response_queue_misaligned", BAD + f"response queue at offset {41024 + 4} (49152 bytes, 8-byte "
                                        f"aligned) does not fit the {SIZE}-byte region"),
    ("response_queue_past_the_end", BAD + f"response queue at offset {SIZE - 49152 + 8} (49152 bytes, 8-byte "
                                          f"aligned) does not fit the {SIZE}-byte region"),
    ("request_queue_past_the_end", BAD + f"request queue at offset {2**64 - 8} (40960 bytes, 8-byte aligned) "
                                         f"does not fit the {SIZE}-byte region"),
    ("response_read_index_outside", BAD + "queue read index 1021 is not below the capacity 1021"),
    ("pool_past_the_end", "ConnectionError|Invalid shared memory region: tensor pool at offset "
                          f"{SIZE - 1000} with 1001 bytes does not fit the {SIZE}-byte region"),
    ("pool_offset_wraps", "ConnectionError|Invalid shared memory region: tensor pool at offset "
                          f"{2**64 - 1} with 2 bytes does not fit the {SIZE}-byte region"),
]


def child_environment():
    """The child imports the very module under test, wherever it was found."""
    module_dir = str(Path(quelt_sdk.__file__).resolve().parent)
    return {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))}


@pytest.mark.parametrize("case, expected", CASES)
def test_hostile_offsets_fail_cleanly(case, expected):
    child = subprocess.run([sys.executable, "-c", f"import shm_hostile_cases as c; c.run({case!r})"],
                           cwd=HERE, env=child_environment(), capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, f"child died with {child.returncode}: {child.stderr}"
    assert child.stdout.strip() == expected
