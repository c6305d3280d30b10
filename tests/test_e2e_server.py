"""The reference server as a program: its command line, start-up failures,
clean exit, and the requests a real client would never send."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

import quelt_sdk
from fake_stream_server import packet, request_payload
from quelt_refserver import RefServer, find_executable


def run_server(*arguments, timeout=10):
    return subprocess.run([find_executable(), *arguments], capture_output=True, text=True, timeout=timeout)


def inference_request(data=b"\x01\x02", dtype="uint8"):
    # input, no named inputs, no session, no options
    return request_payload([len(data)], dtype, data)


def recv_exact(connection, count):
    received = b""
    while len(received) < count:
        chunk = connection.recv(count - len(received))
        if not chunk:
            raise EOFError(f"closed after {len(received)} of {count} bytes")
        received += chunk
    return received


def exchange(connection, model_id, kind, payload):
    connection.sendall(struct.pack("<III", model_id, kind, len(payload)) + payload)
    code, length = struct.unpack("<II", recv_exact(connection, 8))
    return code, recv_exact(connection, length)


@pytest.fixture
def quiet_server(start_refserver):
    return start_refserver()


def test_help_lists_every_model_and_flag():
    result = run_server("--help")
    assert result.returncode == 0
    for text in ("--tcp", "--unix", "--shm-name", "--token", "--shm-model", "--fault", "--slow-ms",
                 "--stream-chunks", "Model not loaded"):
        assert text in result.stdout
    for model_id, name in enumerate(["identity", "sum", "stream", "error", "slow", "truncate", "reset",
                                     "garbage", "drop"]):
        assert f"  {model_id}  {name}" in result.stdout


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--bogus"], "unknown option '--bogus'"),
        (["--tcp", "localhost"], "--tcp: invalid value 'localhost'"),
        (["--tcp", "127.0.0.1:70000"], "--tcp: invalid value"),
        (["--pool-size", "lots"], "--pool-size: invalid value 'lots'"),
        (["--pool-size", "64"], "--pool-size: 64 bytes cannot hold one tensor"),
        (["--shm-model", "resnet"], "--shm-model: unknown model 'resnet'"),
        (["--fault", "identity"], "--fault: unknown fault 'identity'"),
        (["--stream-chunks", "0"], "--stream-chunks: invalid value '0'"),
        (["--token"], "--token needs a value"),
        (["--no-tcp", "--no-unix", "--no-shm"], "nothing to serve"),
    ],
)
def test_bad_flags_exit_2_with_a_clear_message(arguments, message):
    result = run_server(*arguments)
    assert result.returncode == 2
    assert message in result.stderr
    assert result.stdout == ""


def test_a_port_in_use_is_refused(quiet_server):
    result = run_server("--tcp", f"127.0.0.1:{quiet_server.port}", "--no-unix", "--no-shm")
    assert result.returncode == 1
    assert f"cannot listen on tcp 127.0.0.1:{quiet_server.port}: Address already in use (os error 98)" in result.stderr


def test_a_live_socket_and_a_taken_region_are_refused(quiet_server):
    result = run_server("--no-tcp", "--unix", quiet_server.socket_path, "--no-shm")
    assert result.returncode == 1
    assert "another server is listening there" in result.stderr
    result = run_server("--no-tcp", "--no-unix", "--shm-name", quiet_server.shm_name)
    assert result.returncode == 1
    assert f"cannot create the shared-memory region '{quiet_server.shm_name}'" in result.stderr
    # The refused servers left the running one's files alone.
    assert os.path.exists(quiet_server.socket_path)
    assert os.path.exists(f"/dev/shm/{quiet_server.shm_name}")


def test_a_region_larger_than_the_room_in_dev_shm_is_refused():
    # Created anyway, it would kill whoever touched its pages beyond the room.
    result = run_server("--no-tcp", "--no-unix", "--shm-name", "quelt_e2e_too_large", "--pool-size", "4000G")
    assert result.returncode == 1
    assert "bytes free (use a smaller --pool-size)" in result.stderr
    assert not os.path.exists("/dev/shm/quelt_e2e_too_large")


def test_a_stale_socket_file_is_replaced(tmp_path, start_refserver):
    path = str(tmp_path / "stale.sock")
    stale = socket.socket(socket.AF_UNIX)
    stale.bind(path)
    stale.close()  # the file stays, nobody listens
    server = start_refserver(tcp=False, shm=False, socket_path=path)
    with socket.socket(socket.AF_UNIX) as connection:
        connection.connect(path)
        assert exchange(connection, 0, 1, inference_request(b"ok"))[0] == 0
    server.stop()


@pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
def test_stopping_removes_the_socket_and_the_region(start_refserver, stop_signal):
    server = start_refserver()
    socket_path, region = server.socket_path, f"/dev/shm/{server.shm_name}"
    client = quelt_sdk.QueltShmClient(server.shm_name)  # makes the slot lease table beside the region
    assert os.path.exists(socket_path) and os.path.exists(region) and os.path.exists(region + ".leases")
    # A connection in the middle of nothing must not hold the exit up.
    idle = socket.create_connection((server.host, server.port))
    os.kill(server.pid, stop_signal)
    status = server.process.wait(5)
    idle.close()
    assert status == 0
    assert not os.path.exists(socket_path)
    assert not os.path.exists(region) and not os.path.exists(region + ".leases")
    del client
    assert server.output[-1] == "quelt-refserver: stopping on " + signal.Signals(stop_signal).name


def test_stopping_a_killed_server_removes_its_region_and_lease_table(start_refserver):
    server = start_refserver(tcp=False)
    region = f"/dev/shm/{server.shm_name}"
    quelt_sdk.QueltShmClient(server.shm_name)  # makes the slot lease table beside the region
    os.kill(server.pid, signal.SIGKILL)
    assert server.stop() == -signal.SIGKILL
    assert not os.path.exists(region) and not os.path.exists(region + ".leases")


def test_start_up_lines_name_every_address(quiet_server):
    lines = quiet_server.output
    assert lines[-1] == "quelt-refserver: ready"
    assert f"quelt-refserver: listening on tcp 127.0.0.1:{quiet_server.port}" in lines
    assert f"quelt-refserver: listening on unix {quiet_server.socket_path}" in lines
    assert any(line.startswith(f"quelt-refserver: shared-memory region '{quiet_server.shm_name}' of ")
               for line in lines)


def test_a_pipe_path_listens_on_the_temporary_directory_socket(start_refserver, tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    server = start_refserver(tcp=False, shm=False, socket_path=r"\\.\pipe\quelt_e2e")
    assert server.socket_path == str(tmp_path / "quelt_e2e.sock")
    server.stop()
    assert not os.path.exists(tmp_path / "quelt_e2e.sock")


class TestHostileRequests:
    """Frames no client of ours sends: each gets an answer or a closed
    connection, never a crash, and the server keeps serving."""

    def test_unknown_kind_and_undecodable_payload_are_answered(self, quiet_server):
        with socket.create_connection((quiet_server.host, quiet_server.port)) as connection:
            assert exchange(connection, 0, 3, b"xyz") == (1, b"Invalid input: unknown message kind 3")
            code, text = exchange(connection, 0, 1, b"\xff" * 16)
            assert code == 1
            assert text == b"Invalid input: the request does not decode: io error: unexpected end of file"
            # The connection is still in step with the frames.
            assert exchange(connection, 0, 1, inference_request(b"ab"))[0] == 0

    @pytest.mark.parametrize(
        "offset_from_pool, size, reason",
        [
            (-80, 80, "lies outside the tensor pool"),
            (0, 1 << 62, "lies outside the tensor pool"),
            (0, 79, "is shorter than a block head"),
            ((1 << 64) - 1, 80, "lies outside the tensor pool"),
        ],
    )
    def test_hybrid_offsets_outside_the_pool_are_refused(self, quiet_server, offset_from_pool, size, reason):
        pool_offset = _pool_offset(quiet_server)
        offset = (pool_offset + offset_from_pool) % (1 << 64)
        request = struct.pack("<QIBBBBQQQ", 1, 0, 0, 0, 0, 0, 0, offset, size)
        with socket.socket(socket.AF_UNIX) as connection:
            connection.connect(quiet_server.socket_path)
            code, text = exchange(connection, 0, 4, request)
        assert code == 1
        assert text.decode().startswith(f"Invalid input: the tensor block at offset {offset} ({size} bytes) {reason}")

    def test_a_block_longer_than_its_announced_size_is_refused(self, quiet_server):
        pool_offset = _pool_offset(quiet_server)
        with open(f"/dev/shm/{quiet_server.shm_name}", "r+b") as region:
            region.seek(pool_offset)
            region.write(struct.pack("<IB3x8QQ", 1, 0, 100, 0, 0, 0, 0, 0, 0, 0, 100))
        request = struct.pack("<QIBBBBQQQ", 1, 0, 0, 0, 0, 0, 0, pool_offset, 100)
        with socket.socket(socket.AF_UNIX) as connection:
            connection.connect(quiet_server.socket_path)
            code, text = exchange(connection, 0, 4, request)
        assert code == 1
        assert text.decode() == (f"Invalid input: the tensor block at offset {pool_offset} (100 bytes) "
                                 "declares 100 data bytes, more than the block holds")

    @pytest.mark.parametrize(
        "data_field, base64_field, code, body_end",
        [
            (None, "AAECAw==", 0, b"\x01\x04" + b"\x00" * 7 + b"\x00\x01\x02\x03\x00"),
            (b"ab", "YWI=", 1, b"binary tensor payload must include only one of `data` or `data_base64`"),
            (None, None, 1, b"binary tensor payload must include `data` or `data_base64`"),
            (None, "QR==", 1, b"Invalid last symbol 82, offset 1."),
        ],
    )
    def test_inputs_as_base64_text(self, quiet_server, data_field, base64_field, code, body_end):
        # Other clients may send the data as base64 text; ours never do.
        request = packet([4], "uint8", data_field, base64_field) + struct.pack("<Q", 0) + b"\x00\x00"
        with socket.create_connection((quiet_server.host, quiet_server.port)) as connection:
            reply_code, body = exchange(connection, 0, 1, request)
        assert reply_code == code
        assert body.endswith(body_end)
        if code:
            assert body.startswith(b"Invalid input: ")

    def test_a_huge_announced_payload_does_not_take_the_server_down(self, quiet_server):
        with socket.create_connection((quiet_server.host, quiet_server.port)) as connection:
            connection.sendall(struct.pack("<III", 0, 1, 0xFFFFFFFF) + b"\x00" * 1000)
        with socket.create_connection((quiet_server.host, quiet_server.port)) as connection:
            assert exchange(connection, 0, 1, inference_request(b"still here"))[0] == 0


def _pool_offset(server):
    with open(f"/dev/shm/{server.shm_name}", "rb") as region:
        return struct.unpack("<IIQQQQ", region.read(40))[4]


def test_the_server_stops_when_its_launcher_goes_away():
    launcher = subprocess.Popen(
        [sys.executable, "-c", "import sys; sys.path[:0] = sys.argv[1:]\n"
         "from quelt_refserver import RefServer\n"
         "server = RefServer(tcp=False, shm=False).start()\n"
         "print(server.pid, server.socket_path, flush=True)\n"
         "import os; os._exit(0)  # no clean-up at all",
         *sys.path],
        stdout=subprocess.PIPE, text=True)
    pid, socket_path = launcher.communicate(timeout=20)[0].split()
    deadline = time.monotonic() + 5
    while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not os.path.exists(socket_path), "the orphaned server is still running"
    shutil.rmtree(os.path.dirname(socket_path), ignore_errors=True)  # the launcher could not


def test_the_shm_size_flag_sizes_the_whole_region(start_refserver):
    server = start_refserver(tcp=False, unix=False, extra_args=["--shm-size", "96M"])
    assert server.shm_size <= 96 << 20
    pool_offset, pool_size = _pool_offset(server), _pool_size(server)
    assert pool_size % 65536 == 0 and pool_size >= 40 << 20
    assert pool_offset + 2 * pool_size <= server.shm_size


FLOATS_ONE = struct.pack("<256f", *[1.0] * 256)


class TestAnswerPlacement:
    """The identity model answers with the input block itself (nothing copied);
    other models write into the server's own area. Either way an answer stays
    intact while its client still holds the input slot, however much traffic
    follows from other slots."""

    @pytest.mark.parametrize("model, data, expected", [
        ("identity", bytes(range(256)) * 4, bytes(range(256)) * 4),
        ("sum", FLOATS_ONE, struct.pack("<f", 256.0)),
    ])
    def test_an_answer_outlives_later_traffic(self, start_refserver, model, data, expected):
        server = start_refserver(shm_model=model)
        pool_offset = _pool_offset(server)
        _write_block(server, pool_offset, data)
        with socket.socket(socket.AF_UNIX) as connection:
            connection.connect(server.socket_path)
            answer_offset = _hybrid(connection, pool_offset, len(data))
            if model == "identity":
                assert answer_offset == pool_offset
            else:
                assert answer_offset >= pool_offset + _pool_size(server)  # not in the pool
            later = pool_offset + (1 << 20)
            _write_block(server, later, FLOATS_ONE * 1024)
            for _ in range(200):  # 200 MiB of answers from another slot
                _hybrid(connection, later, len(FLOATS_ONE) * 1024)
        assert _read_block_data(server, answer_offset) == expected


def _pool_size(server):
    with open(f"/dev/shm/{server.shm_name}", "rb") as region:
        return struct.unpack("<IIQQQQ", region.read(40))[5]


def _write_block(server, offset, data):
    with open(f"/dev/shm/{server.shm_name}", "r+b") as region:
        region.seek(offset)
        # A float32 block (code 0) of one dimension: 4 bytes per element.
        region.write(struct.pack("<IB3x8QQ", 1, 0, len(data) // 4, 0, 0, 0, 0, 0, 0, 0, len(data)) + data)


def _read_block_data(server, offset):
    with open(f"/dev/shm/{server.shm_name}", "rb") as region:
        region.seek(offset + 72)
        length = struct.unpack("<Q", region.read(8))[0]
        return region.read(length)


def _hybrid(connection, offset, data_length):
    request = struct.pack("<QIBBBBQQQ", 1, 0, 0, 0, 0, 0, 0, offset, data_length + 80)
    code, body = exchange(connection, 0, 4, request)
    assert code == 0, body
    return struct.unpack_from("<Q", body, 24)[0]


class TestLauncher:
    def test_a_server_that_cannot_start_raises_with_its_message(self, quiet_server):
        from quelt_refserver import RefServerError

        with pytest.raises(RefServerError, match="Address already in use"):
            RefServer(port=quiet_server.port, unix=False, shm=False).start()

    def test_restart_keeps_every_address(self, start_refserver):
        server = start_refserver()
        before = (server.port, server.socket_path, server.shm_name, server.pid)
        server.restart()
        after = (server.port, server.socket_path, server.shm_name, server.pid)
        assert after[:3] == before[:3] and after[3] != before[3]
        with socket.socket(socket.AF_UNIX) as connection:
            connection.connect(server.socket_path)
            assert exchange(connection, 0, 1, inference_request(b"again"))[0] == 0

    def test_addresses_a_server_lacks_raise(self, start_refserver):
        from quelt_refserver import RefServerError

        tcp_only = start_refserver(unix=False, shm=False)
        not_started = RefServer()
        for server, address in [(not_started, "host"), (not_started, "port"), (not_started, "tcp_endpoint"),
                                (tcp_only, "socket_path"), (tcp_only, "unix_endpoint"),
                                (tcp_only, "shm_name"), (tcp_only, "shm_size")]:
            with pytest.raises(RefServerError, match="^the server has no "):
                getattr(server, address)

    def test_an_unactivated_environment_finds_the_server_beside_its_interpreter(self, tmp_path):
        # IDEs and cron jobs run venv/bin/python without putting venv/bin on PATH.
        environment = tmp_path / "venv"
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(environment)], check=True)
        installed = environment / "bin" / "quelt-refserver"
        installed.symlink_to(find_executable())
        launcher_folder = os.path.dirname(os.path.dirname(sys.modules["quelt_refserver"].__file__))
        found = subprocess.run(
            [str(environment / "bin" / "python"), "-c",
             "import sys; sys.path.insert(0, sys.argv[1])\n"
             "from quelt_refserver import RefServer, find_executable, _interpreter_script_folders\n"
             "with RefServer(tcp=False, shm=False) as server: print(find_executable())\n"
             "print(*_interpreter_script_folders(), sep='\\n')",
             launcher_folder],
            capture_output=True, text=True, timeout=30,
            env={"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)},
        )
        assert found.returncode == 0, found.stderr
        executable, *folders = found.stdout.split()
        assert executable == str(installed)
        # A venv leaves the user scheme out: its scripts are not this interpreter's.
        assert str(tmp_path / ".local" / "bin") not in folders

    @pytest.mark.parametrize("free, expected", [
        (25 << 30, []),                                    # room for the 256 MiB pool
        (545390592, []),                                   # just room for it
        (64 << 20, ["--shm-size", str(48 << 20)]),          # Docker's default /dev/shm
        ((64 << 20) - 1, ["--shm-size", str(47 << 20)]),   # whole MiB only
        (10 << 20, ["--shm-size", "8650752"]),             # never below the smallest region
        (8650752, ["--shm-size", "8650752"]),
        (8650751, []),                                     # not even that: the server says so
        (None, []),                                        # room unknown: the server decides
    ])
    def test_the_default_region_fits_the_room_in_dev_shm(self, free, expected):
        from quelt_refserver import _region_size_options

        assert _region_size_options(free) == expected

    def test_a_small_dev_shm_gets_a_region_that_fits(self, start_refserver, monkeypatch, caplog):
        import quelt_refserver
        import quelt_sdk

        monkeypatch.setattr(quelt_refserver, "_free_shared_memory", lambda: 64 << 20)
        server = start_refserver(tcp=False)
        assert server.shm_size <= 48 << 20
        assert "too little for the default region" in caplog.text
        monkeypatch.setattr(quelt_refserver, "_free_shared_memory", lambda: 60 << 20)
        assert str(48 << 20) in server.command()  # the size it was started with
        image = bytes(range(256)) * 2352  # a 1x3x224x224 float32 tensor's size
        client = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)
        assert client.infer([len(image)], "uint8", image) == image
