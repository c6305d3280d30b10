"""Arguments written by a hostile caller: Python code that runs while the
arguments are read and changes or frees them, lengths that lie, allocations
that fail, and names with a NUL inside. Every case ends in a Python exception
with nothing sent, never in a crash."""
import os
import subprocess
import sys
import textwrap

import pytest
import quelt_sdk

GROW_PAST_THE_MEMORY_LIMIT = textwrap.dedent(
    """
    import resource
    import quelt_sdk
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    name = "n" * (512 << 20)  # copying it needs more than the limit leaves
    try:
        {call}
    except MemoryError:
        print("MemoryError")
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves terabytes of shadow memory, so no address-space limit can hold",
)
@pytest.mark.parametrize("call", ["quelt_sdk.QueltClient(host=name)", "quelt_sdk.QueltShmClient(name)",
                                  "quelt_sdk.QueltHybridClient(name, 'x')"])
def test_a_failed_native_allocation_raises_memory_error(call):
    result = subprocess.run([sys.executable, "-c", GROW_PAST_THE_MEMORY_LIMIT.format(call=call)],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "MemoryError\n", "")


