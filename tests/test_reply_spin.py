"""Small calls over a socket: a reply that comes within microseconds is read
without the calling thread going to sleep, and a server that answers late is
waited for asleep, without spending processor time on a spin."""
import os
import resource

import pytest
import quelt_sdk

from hostile_measure import PROCESSOR_TIME_BOUNDS_HOLD

SLOW_MODEL = 4
CALLS = {"prompt": 2000, "late": 150}


def make_call(kind, server, model):
    data = b"\x01" * 64
    if kind == "hybrid":
        client = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
        return lambda: client.infer([16], "float32", data)
    endpoint = server.unix_endpoint if kind == "unix" else server.tcp_endpoint
    client = quelt_sdk.QueltClient(endpoint)
    return lambda: client.infer(model, [16], "float32", data)


def on_one_processor(pid):
    """Client and server share one processor: a spin that kept the server
    from running would show as sleeps, and as slow calls."""
    cpu = min(os.sched_getaffinity(0))
    for task in os.listdir(f"/proc/{pid}/task"):
        os.sched_setaffinity(int(task), {cpu})
    os.sched_setaffinity(0, {cpu})


@pytest.mark.parametrize("kind", ["unix", "tcp", "hybrid"])
@pytest.mark.parametrize("server_speed", ["prompt", "late"])
def test_prompt_replies_are_met_awake_and_late_ones_asleep(start_refserver, kind, server_speed):
    late = server_speed == "late"
    server = start_refserver(slow_ms=2, shm_model="slow" if late else "identity")
    call = make_call(kind, server, SLOW_MODEL if late else 0)
    everywhere = os.sched_getaffinity(0)
    on_one_processor(server.pid)
    try:
        for _ in range(20):  # connects, and lets the window learn this server
            call()
        before = resource.getrusage(resource.RUSAGE_THREAD)
        for _ in range(CALLS[server_speed]):
            call()
        after = resource.getrusage(resource.RUSAGE_THREAD)
    finally:
        os.sched_setaffinity(0, everywhere)
    calls = CALLS[server_speed]
    sleeps = (after.ru_nvcsw - before.ru_nvcsw) / calls
    cpu_us = ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)) / calls * 1e6
    if late:
        # Every call sleeps for its reply instead of spinning through the wait
        # (how seldom the window still tries a spin is checked in runtime_check.cpp).
        assert sleeps > 0.9, sleeps
        assert cpu_us < 100 or not PROCESSOR_TIME_BOUNDS_HOLD, cpu_us
    else:
        assert sleeps < 0.2, sleeps
