"""How QueltClient's constructor arguments become the one address it talks to."""
import pytest
import quelt_sdk

PIPE = "\\\\.\\pipe\\"  # the 9 characters \\.\pipe\
DEFAULT_PIPE = PIPE + "quelt"


@pytest.mark.parametrize(
    "args, kwargs, protocol, endpoint",
    [
        ((), {}, "pipe", "pipe://" + DEFAULT_PIPE),
        (("tcp://10.0.0.5:7000",), {}, "tcp", "tcp://10.0.0.5:7000"),
        (("pipe://svc",), {}, "pipe", "pipe://" + PIPE + "svc"),
        (("C:\\x",), {}, "pipe", "pipe://C:\\x"),
        ((), dict(port=8000), "tcp", "tcp://127.0.0.1:8000"),
        ((), dict(host="gpu-box"), "tcp", "tcp://gpu-box:9096"),
        ((), dict(protocol="TCP"), "tcp", "tcp://127.0.0.1:9096"),
        ((), dict(protocol="tcp", endpoint="10.0.0.5:7000"), "tcp", "tcp://10.0.0.5:7000"),
        ((), dict(protocol="pipe", pipe_name="svc"), "pipe", "pipe://" + PIPE + "svc"),
        ((), dict(protocol="socket", socket_path="tcp://h:1"), "tcp", "tcp://h:1"),
        ((), dict(protocol="named-pipe"), "pipe", "pipe://" + DEFAULT_PIPE),
        # Blank and surrounding white space, ASCII and Unicode, count as absent.
        ((), dict(protocol=" \t TcP\u2003"), "tcp", "tcp://127.0.0.1:9096"),
        ((), dict(protocol="   "), "pipe", "pipe://" + DEFAULT_PIPE),
        (("  \u00a0 ",), {}, "pipe", "pipe://" + DEFAULT_PIPE),
        ((), dict(protocol="tcp", host="h"), "tcp", "tcp://h:9096"),
        ((), dict(protocol="tcp", host="h", port=0), "tcp", "tcp://h:0"),
        ((), dict(protocol="tcp", host="::1", port=5), "tcp", "tcp://::1:5"),
        ((), dict(protocol="unix"), "pipe", "pipe://" + DEFAULT_PIPE),
        ((), dict(protocol="local", endpoint="pipe://a"), "pipe", "pipe://" + PIPE + "a"),
        ((), dict(protocol="named_pipe", endpoint="x"), "pipe", "pipe://" + PIPE + "x"),
        ((), dict(protocol="pipe", endpoint=PIPE + "q"), "pipe", "pipe://" + PIPE + "q"),
        ((), dict(protocol="pipe", endpoint="\\\\.\\PIPE\\q"), "pipe", "pipe://" + PIPE + "\\\\.\\PIPE\\q"),
        # Without a protocol the endpoint wins and the rest is ignored.
        (("h:1",), dict(host="other"), "pipe", "pipe://h:1"),
        ((), dict(host="h", port=1, socket_path="s", pipe_name="p"), "tcp", "tcp://h:1"),
        ((), dict(socket_path="pipe://s"), "pipe", "pipe://" + PIPE + "s"),
        ((), dict(socket_path="/run/q.sock"), "pipe", "pipe:///run/q.sock"),
        ((), dict(pipe_name="p"), "pipe", "pipe://" + PIPE + "p"),
        ((), dict(pipe_name="  " + PIPE + "p "), "pipe", "pipe://" + PIPE + "p"),
        # Schemes are case-sensitive: this is a pipe path, not a TCP address.
        (("TCP://h:1",), {}, "pipe", "pipe://TCP://h:1"),
        # POSIX: unix:// reaches a Unix-domain socket by its path.
        (("unix:///tmp/q.sock",), {}, "unix", "unix:///tmp/q.sock"),
        ((), dict(protocol="socket", socket_path="unix://rel.sock"), "unix", "unix://rel.sock"),
        ((), dict(protocol="unix", endpoint="unix:///a b"), "unix", "unix:///a b"),
    ],
)
def test_resolution(args, kwargs, protocol, endpoint):
    client = quelt_sdk.QueltClient(*args, **kwargs)
    assert client.protocol() == protocol
    assert client.endpoint() == endpoint


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), dict(protocol=" HTTP "), "Unsupported protocol 'http'. Use one of: socket, tcp, pipe"),
        ((), dict(protocol="tcp", socket_path="s"), "protocol='tcp' cannot be combined with socket_path or pipe_name"),
        ((), dict(protocol="tcp", pipe_name="p"), "protocol='tcp' cannot be combined with socket_path or pipe_name"),
        ((), dict(protocol="tcp", endpoint="h:1", port=2), "When endpoint is provided, do not also pass host/port"),
        ((), dict(protocol="tcp", endpoint="h:1", host="h"), "When endpoint is provided, do not also pass host/port"),
        ((), dict(protocol="tcp", endpoint="tcp://"), "tcp:// endpoint must include host:port"),
        (("tcp://",), {}, "tcp:// endpoint must include host:port"),
        ((), dict(protocol="tcp", endpoint="pipe://x"), "protocol='tcp' expects endpoint as host:port or tcp://host:port"),
        ((), dict(protocol="tcp", endpoint="unix:///x"), "protocol='tcp' expects endpoint as host:port or tcp://host:port"),
        ((), dict(protocol="socket", port=1), "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), dict(protocol="unix", host="h"), "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), dict(protocol="local", pipe_name="p"), "protocol='socket' cannot be combined with host/port/pipe_name"),
        ((), dict(protocol="pipe", port=1), "protocol='pipe' cannot be combined with host/port/socket_path"),
        ((), dict(protocol="pipe", socket_path="s"), "protocol='pipe' cannot be combined with host/port/socket_path"),
        ((), dict(protocol="pipe", endpoint="pipe://"), "pipe:// endpoint must include a pipe name"),
        (("pipe://",), {}, "pipe:// endpoint must include a pipe name"),
        ((), dict(protocol="pipe", endpoint="tcp://h:1"), "protocol='pipe' expects a named pipe path"),
        ((), dict(protocol="pipe", pipe_name="unix:///x"), "protocol='pipe' expects a named pipe path"),
        (("unix://",), {}, "unix:// endpoint must include a socket path"),
        ((), dict(protocol="socket", socket_path="unix://"), "unix:// endpoint must include a socket path"),
    ],
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
