"""Two reference servers behind a real load balancer: HAProxy in TCP mode,
configured as the README's "Several servers" recipe shows."""
import json
import os
import pathlib
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

import pytest

quelt_sdk = pytest.importorskip("quelt_sdk")

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
CLIENTS, CALLS = 4, 2000

# Each call sends a payload no other call sends (worker and call number) to the
# identity model, so any answer that is not its own request is caught.
WORKER = textwrap.dedent(
    """
    import json, struct, sys, time, quelt_sdk
    endpoint, worker, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    client = quelt_sdk.QueltClient(endpoint)
    ok, wrong, failures, slowest = 0, 0, [], 0.0
    print("ready", flush=True)
    sys.stdin.readline()  # all start together
    begun = time.perf_counter()
    for call in range(calls):
        # At most 1,000 calls a second: no client runs far ahead of the
        # others, so the kill finds every one of them at work.
        time.sleep(max(0.0, begun + call / 1000 - time.perf_counter()))
        payload = struct.pack("<II", worker, call) * 8
        started = time.perf_counter()
        try:
            answer = client.infer(0, [len(payload)], "uint8", payload)
        except Exception as error:
            failures.append([call, type(error).__name__, str(error)])
        else:
            ok += answer == payload
            wrong += answer != payload
        slowest = max(slowest, time.perf_counter() - started)
        if call % 100 == 99:
            print(call + 1, flush=True)
    print(json.dumps({"ok": ok, "wrong": wrong, "failures": failures, "slowest": slowest}), flush=True)
    """
)


def haproxy_or_skip():
    found = shutil.which("haproxy") or shutil.which("haproxy", path="/usr/sbin:/usr/local/sbin:/sbin")
    if found:
        return found
    if os.environ.get("CI", "").lower() not in ("", "0", "false"):
        pytest.fail("haproxy is not installed; CI must run the load-balancer tests (apt-get install haproxy)")
    pytest.skip("haproxy is not installed (Debian: apt-get install haproxy)")


def readme_config():
    """The HAProxy configuration shown in the README, as written there."""
    text = README.read_text(encoding="utf-8")
    block = re.search(r"<!-- haproxy-config -->\n```\n(.*?)```", text, re.S)
    assert block, "README.md has no <!-- haproxy-config --> block"
    return block.group(1)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class LoadBalancer:
    """HAProxy in the foreground on a free loopback port, with the README's
    configuration pointed at the given servers."""

    def __init__(self, servers, directory, timeout="10m"):
        self.port = free_port()
        self.stats_path = os.path.join(directory, "stats.sock")
        self.log_path = os.path.join(directory, "haproxy.log")
        config = readme_config()
        for old, new in (
            ("/run/haproxy-quelt.sock", self.stats_path),
            ("bind 0.0.0.0:9096", f"bind 127.0.0.1:{self.port}"),
            ("10.0.0.11:9096", f"127.0.0.1:{servers[0].port}"),
            ("10.0.0.12:9096", f"127.0.0.1:{servers[1].port}"),
            ("timeout client 10m", f"timeout client {timeout}"),
            ("timeout server 10m", f"timeout server {timeout}"),
        ):
            assert old in config, f"the README's HAProxy configuration no longer has {old!r}"
            config = config.replace(old, new)
        config_path = os.path.join(directory, "haproxy.cfg")
        pathlib.Path(config_path).write_text(config)
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen([haproxy_or_skip(), "-db", "-f", config_path], stdout=log, stderr=log)
        self.endpoint = f"tcp://127.0.0.1:{self.port}"
        deadline = time.monotonic() + 10
        while not self._ready():
            assert self.process.poll() is None, "haproxy exited:\n" + pathlib.Path(self.log_path).read_text()
            assert time.monotonic() < deadline, "haproxy did not start listening"
            time.sleep(0.02)

    def _ready(self):
        try:
            self.stats()
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stats(self):
        """HAProxy's counters by proxy and server name ("quelt_servers", "s1")."""
        with socket.socket(socket.AF_UNIX) as stats:
            stats.connect(self.stats_path)
            stats.sendall(b"show stat\n")
            text = b"".join(iter(lambda: stats.recv(65536), b"")).decode()
        header, *rows = [line for line in text.splitlines() if line]
        names = header.lstrip("# ").split(",")
        return {(row[0], row[1]): dict(zip(names, row)) for row in (line.split(",") for line in rows)}

    def settled_stats(self):
        """The counters once HAProxy has seen every client connection close:
        a connection's bytes are added up as it goes."""
        deadline = time.monotonic() + 5
        while (stats := self.stats())[("quelt", "FRONTEND")]["scur"] != "0":
            assert time.monotonic() < deadline, "HAProxy still holds client connections"
            time.sleep(0.02)
        return stats

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def two_servers_behind_haproxy(start_refserver):
    haproxy_or_skip()
    servers = [start_refserver(unix=False, shm=False, slow_ms=3000) for _ in range(2)]
    directory = tempfile.mkdtemp(prefix="quelt-lb-")
    balancers = []

    def start(**options):
        balancers.append(LoadBalancer(servers, directory, **options))
        return balancers[-1]

    yield servers, start
    for balancer in balancers:
        balancer.stop()
    shutil.rmtree(directory, ignore_errors=True)


def run_clients_and_kill_one_server(endpoint, kill):
    """Runs the workers, started together; `kill()` once each has done a
    quarter of its calls. Returns each worker's result and the calls each had
    done at the kill."""
    lines = queue.Queue()
    workers = [
        subprocess.Popen([sys.executable, "-c", WORKER, endpoint, str(worker), str(CALLS)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for worker in range(CLIENTS)
    ]

    def forward(worker, process):
        for line in process.stdout:
            lines.put((worker, line))
        lines.put((worker, None))

    for worker, process in enumerate(workers):
        threading.Thread(target=forward, args=(worker, process), daemon=True).start()
    done, results, done_at_kill, ended, ready = [0] * CLIENTS, {}, None, 0, 0
    while ended < CLIENTS:
        worker, line = lines.get(timeout=120)
        if line is None:
            ended += 1
        elif line.startswith("{"):
            results[worker] = json.loads(line)
        elif line.strip() == "ready":
            ready += 1
            if ready == CLIENTS:
                for process in workers:
                    process.stdin.write("go\n")
                    process.stdin.close()
        else:
            done[worker] = int(line)
        if done_at_kill is None and min(done) >= CALLS // 4:
            kill()
            done_at_kill = list(done)
    for worker, process in enumerate(workers):
        assert process.wait(10) == 0 and worker in results, process.stderr.read()
    return results, done_at_kill


@pytest.mark.slow
def test_clients_spread_over_two_servers_and_survive_one_being_killed(two_servers_behind_haproxy):
    servers, start = two_servers_behind_haproxy
    balancer = start()
    # One call measures what a reply costs on the wire; every reply of the run
    # has that size, so a server's outgoing bytes count the calls it answered.
    payload = bytes(64)
    assert quelt_sdk.QueltClient(balancer.endpoint).infer(0, [64], "uint8", payload) == payload
    before = balancer.settled_stats()
    reply_bytes = sum(int(before[("quelt_servers", s)]["bout"]) for s in ("s1", "s2"))

    started = time.monotonic()
    results, done_at_kill = run_clients_and_kill_one_server(balancer.endpoint, servers[0].process.kill)
    duration = time.monotonic() - started
    stats = balancer.settled_stats()
    served = {s: int(stats[("quelt_servers", s)]["bout"]) // reply_bytes for s in ("s1", "s2")}
    answered = sum(result["ok"] + result["wrong"] for result in results.values())
    failed = sum(len(result["failures"]) for result in results.values())
    connections = int(stats[("quelt", "FRONTEND")]["stot"]) - int(before[("quelt", "FRONTEND")]["stot"])
    print(f"\n{CLIENTS} clients x {CALLS} calls in {duration:.1f} s on {connections} connections; "
          f"s1 killed when the clients had done {done_at_kill}; answered by s1/s2: {served['s1']}/{served['s2']} "
          f"(+1 measuring call); wrong {sum(result['wrong'] for result in results.values())}, failed {failed}; "
          f"redispatched by HAProxy: {stats[('quelt_servers', 's1')]['wredis']}; per client: {json.dumps(results)}")

    assert sum(result["wrong"] for result in results.values()) == 0
    for result in results.values():
        # The call in flight when its server died is repeated on a fresh
        # connection, which HAProxy gives to a server still running, unless
        # that one also reached the dying server: then the call fails, once.
        assert len(result["failures"]) <= 1, result["failures"]
        assert all(kind == "ConnectionError" and text for _, kind, text in result["failures"])
    assert all(0 < done < CALLS for done in done_at_kill), "the kill came before or after the run"
    # Each client stays on its one pooled connection, so the four clients
    # took two connections on each server, and the killed one's two clients
    # one more each on the other (one more after a failed call).
    assert connections <= CLIENTS + CLIENTS // 2 + failed
    assert served["s1"] + served["s2"] == answered + 1
    assert served["s1"] >= CALLS // 2


@pytest.mark.slow
def test_the_load_balancer_closing_connections(two_servers_behind_haproxy):
    servers, start = two_servers_behind_haproxy
    balancer = start(timeout="1s")
    client = quelt_sdk.QueltClient(balancer.endpoint)
    # Idle for longer than HAProxy's client and server time-outs: it closes the
    # pooled connection, and the next call goes through on a fresh one.
    assert client.infer(0, [3], "uint8", b"abc") == b"abc"
    time.sleep(1.5)
    balancer.settled_stats()  # no client connection left: HAProxy closed it
    assert client.infer(0, [3], "uint8", b"def") == b"def"
    # A call longer than the server time-out (the slow model takes 3 s) is
    # cut there, repeated once, and cut again.
    started = time.monotonic()
    with pytest.raises(ConnectionError, match="failed to fill whole buffer"):
        client.infer(4, [3], "uint8", b"ghi")
    assert time.monotonic() - started >= 2.0
    # Both servers gone: HAProxy still accepts, then closes at once.
    for server in servers:
        server.process.kill()
        server.process.wait()
    with pytest.raises(ConnectionError, match="failed to fill whole buffer"):
        client.infer(0, [3], "uint8", b"jkl")
