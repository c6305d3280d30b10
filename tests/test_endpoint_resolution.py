"""How QueltClient's constructor arguments become the one address it talks to."""
import json
import pathlib

import pytest
import quelt_sdk


# Cases that resolve the same on every platform; the Windows test program
# (tests/windows) reads the same table.
CASES = json.loads((pathlib.Path(__file__).parent / "endpoint_cases.json").read_text())


def call_arguments(case):
    kwargs = dict(case["arguments"])
    args = (kwargs.pop("endpoint"),) if case["positional"] else ()
    return args, kwargs


# POSIX: unix:// reaches a Unix-domain socket by its path.
POSIX_RESOLVED = [
    (("unix:///tmp/q.sock",), {}, "unix", "unix:///tmp/q.sock"),
    ((), dict(protocol="socket", socket_path="unix://rel.sock"), "unix", "unix://rel.sock"),
    ((), dict(protocol="unix", endpoint="unix:///a b"), "unix", "unix:///a b"),
]
POSIX_REFUSED = [
    (("unix://",), {}, "unix:// endpoint must include a socket path"),
    ((), dict(protocol="socket", socket_path="unix://"), "unix:// endpoint must include a socket path"),
]


@pytest.mark.parametrize(
    "args, kwargs, protocol, endpoint",
    [(*call_arguments(case), case["protocol"], case["endpoint"]) for case in CASES["resolved"]] + POSIX_RESOLVED,
)
def test_resolution(args, kwargs, protocol, endpoint):
    client = quelt_sdk.QueltClient(*args, **kwargs)
    assert client.protocol() == protocol
    assert client.endpoint() == endpoint


@pytest.mark.parametrize(
    "args, kwargs, message",
    [(*call_arguments(case), case["message"]) for case in CASES["refused"]] + POSIX_REFUSED,
)
def test_inconsistent_arguments_are_refused(args, kwargs, message):
    with pytest.raises(ValueError) as raised:
        quelt_sdk.QueltClient(*args, **kwargs)
    assert str(raised.value) == message


def test_endpoint_may_be_given_by_position_or_keyword_only():
    assert quelt_sdk.QueltClient(endpoint="tcp://h:1").endpoint() == "tcp://h:1"
    with pytest.raises(TypeError):
        quelt_sdk.QueltClient("tcp://h:1", "tcp")


def test_construction_opens_nothing(tmp_path):
    import gc
    import os

    gc.collect()  # clients of earlier tests must not close theirs mid-count
    before = sorted(os.listdir("/proc/self/fd"))
    clients = [quelt_sdk.QueltClient(f"unix://{tmp_path}/absent.sock"), quelt_sdk.QueltClient(host="no.such.host.invalid")]
    assert sorted(os.listdir("/proc/self/fd")) == before
    assert [c.protocol() for c in clients] == ["unix", "tcp"]
