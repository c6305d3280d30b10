"""A client made before its server restarted never pairs the old region with
the new server: offsets into the region it mapped would name bytes the new
server never sees, and the answer's offset bytes this client never wrote."""

import struct

import pytest

from quelt_sdk import QueltHybridClient, QueltShmClient

ONES = struct.pack("<4f", 1, 1, 1, 1)


def replaced(name):
    return f"The shared-memory region '{name}' was replaced (the server restarted): create a new client"


@pytest.mark.parametrize("kind, used_before, dtype", [
    ("hybrid", False, "fp32"),   # checked before its connection first opens
    ("hybrid", False, "bogus"),  # ... and before the input is looked at
    ("hybrid", True, "fp32"),    # the open connection breaks, and the region says why
    ("shm", False, "fp32"),      # slow (~6 s): said when the wait times out
])
def test_a_client_made_before_a_restart_refuses_the_new_server(start_refserver, kind, used_before, dtype):
    server = start_refserver()
    if kind == "hybrid":
        client = QueltHybridClient(server.shm_name, server.socket_path)
    else:
        client = QueltShmClient(server.shm_name)
    if used_before:
        assert client.infer([4], "fp32", ONES) == ONES
    server.restart()
    with pytest.raises(RuntimeError) as refused:
        client.infer([4], dtype, ONES)
    assert str(refused.value) == replaced(server.shm_name)
