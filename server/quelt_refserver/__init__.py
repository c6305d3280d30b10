"""Start and stop the quelt_sdk reference inference server from Python.

    import quelt_sdk
    from quelt_refserver import RefServer, MODELS

    with RefServer() as server:
        client = quelt_sdk.QueltClient(server.tcp_endpoint)
        assert client.infer(MODELS["identity"], [2], "uint8", b"hi") == b"hi"
        shm = quelt_sdk.QueltShmClient(server.shm_name)
        hybrid = quelt_sdk.QueltHybridClient(server.shm_name, server.socket_path)

``RefServer`` picks free addresses (a TCP port chosen by the system, a Unix
socket in a private temporary directory, a region name of its own), waits
until the server says it is ready, and stops it on exit (SIGTERM, then SIGKILL
if it does not go within the timeout). The executable is taken from the
``QUELT_REFSERVER`` environment variable when it is set, else from the scripts
folder of the running interpreter's installation (where ``pip install`` put
it, whether or not the virtual environment is activated), else from PATH.

Without ``pool_size`` the region's tensor pool is 256 MiB when /dev/shm has
room for the region that makes (2 x pool + 8 MiB and a little), else the
region takes three quarters of the room there, and a warning says so. The
server reserves the whole region's memory when it starts.

A ``RefServer`` belongs to the process that started it: in a child made by
``os.fork()`` it stops nothing and removes nothing. The temporary folders
that launchers killed before they could clean up left behind are removed by
the next ``RefServer`` that starts (only its own user's).
"""

from __future__ import annotations

import errno
import fcntl
import logging
import os
import re
import secrets
import shutil
import site
import signal
import subprocess
import sys
import stat
import sysconfig
import tempfile
import threading
import time
from typing import Iterable, Optional, Sequence, TypeVar

__all__ = ["RefServer", "RefServerError", "find_executable", "MODELS"]

# Model ids of the built-in models (see `quelt-refserver --help`).
MODELS = {
    "identity": 0,
    "sum": 1,
    "stream": 2,
    "error": 3,
    "slow": 4,
    "truncate": 5,
    "reset": 6,
    "garbage": 7,
    "drop": 8,
}

_EXECUTABLE = "quelt-refserver"
_SHARED_MEMORY = "/dev/shm"
_MiB = 1 << 20
# The region holds the tensor pool, the server's mirror of it, an 8 MiB ring
# and 128 KiB of header and queues.
_DEFAULT_POOL = 256 * _MiB
_REGION_OVERHEAD = 8 * _MiB + 128 * 1024
_DEFAULT_REGION = 2 * _DEFAULT_POOL + _REGION_OVERHEAD
# The server's smallest region: a 64 KiB pool and its mirror.
_SMALLEST_REGION = _REGION_OVERHEAD + 2 * 64 * 1024

# A launcher's private folder in the temporary directory: its pid, and a lock
# that it holds for as long as it lives.
_FOLDER_PREFIX = "quelt-refserver-"
_FOLDER = re.compile(r"^quelt-refserver-(\d+)-[A-Za-z0-9_]+$")
_FOLDER_LOCK = "launcher.lock"
_REGION_PREFIX = "quelt-ref-"

_log = logging.getLogger("quelt_refserver")
_T = TypeVar("_T")
_LISTENING = re.compile(r"^quelt-refserver: listening on (tcp|unix) (.+)$")
_REGION = re.compile(r"^quelt-refserver: shared-memory region '([^']*)' of (\d+) bytes")
_READY = "quelt-refserver: ready"


class RefServerError(RuntimeError):
    """The server could not be found, did not start, or exited early."""


def _interpreter_script_folders() -> list[str]:
    """Where pip puts the scripts of packages installed for this interpreter:
    the scripts folder of its installation (a virtual environment's bin/,
    activated or not), the user scheme's (pip install --user), and the
    interpreter's own folder."""
    folders = [sysconfig.get_path("scripts")]
    user_scheme = f"{os.name}_user"
    # A virtual environment turns the user scheme off: a server installed
    # there belongs to a package this interpreter cannot import.
    if site.ENABLE_USER_SITE and user_scheme in sysconfig.get_scheme_names():
        folders.append(sysconfig.get_path("scripts", user_scheme))
    folders.append(os.path.dirname(sys.executable))
    return list(dict.fromkeys(folder for folder in folders if folder))


def find_executable() -> str:
    """Path of quelt-refserver: $QUELT_REFSERVER, else the one installed
    beside the running interpreter, else the one on PATH."""
    configured = os.environ.get("QUELT_REFSERVER")
    if configured:
        if not os.access(configured, os.X_OK):
            raise RefServerError(f"QUELT_REFSERVER={configured!r} is not an executable file")
        return configured
    folders = _interpreter_script_folders()
    found = shutil.which(_EXECUTABLE, path=os.pathsep.join(folders)) or shutil.which(_EXECUTABLE)
    if found is None:
        raise RefServerError(
            f"{_EXECUTABLE} is neither in {folders[0]} nor on PATH "
            "(install quelt_sdk, or set QUELT_REFSERVER to the built executable)"
        )
    return found


def _free_shared_memory() -> Optional[int]:
    """Bytes free in /dev/shm, None where that cannot be told."""
    try:
        room = os.statvfs(_SHARED_MEMORY)
    except OSError:
        return None
    return room.f_bavail * room.f_frsize


def _region_size_options(free: Optional[int]) -> list[str]:
    """The server's region-size flags when the caller chose none: nothing
    (a 256 MiB pool) where /dev/shm has room for that region, else a whole
    region of three quarters of the room (containers often give /dev/shm
    64 MiB only), and never less than the server's smallest region. Nothing
    either where not even that fits: the server then says how much it needs."""
    if free is None or free >= _DEFAULT_REGION:
        return []
    fitted = max(free * 3 // 4 // _MiB * _MiB, _SMALLEST_REGION)
    return ["--shm-size", str(fitted)] if fitted <= free else []


def _process_exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _lock_held(lock_path: str) -> bool:
    """Whether a live process holds the lock file (a missing or unreadable
    one counts as held: the folder may be in the middle of its creation)."""
    try:
        descriptor = os.open(lock_path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return True
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        return error.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
    finally:
        os.close(descriptor)
    return False


def _remove_abandoned_folders(temporary: str) -> None:
    """Removes the private folders of launchers that were killed: folders of
    this user with a launcher's name whose process has ended and whose lock
    nobody holds (a launcher in another pid namespace still holds its lock)."""
    try:
        names = os.listdir(temporary)
    except OSError:
        return
    for name in names:
        match = _FOLDER.match(name)
        if not match or _process_exists(int(match.group(1))):
            continue
        folder = os.path.join(temporary, name)
        try:
            status = os.lstat(folder)
        except OSError:
            continue
        if not stat.S_ISDIR(status.st_mode) or status.st_uid != os.getuid():
            continue
        if not _lock_held(os.path.join(folder, _FOLDER_LOCK)):
            shutil.rmtree(folder, ignore_errors=True)


def _required(value: Optional[_T], missing: str) -> _T:
    if value is None:
        raise RefServerError(missing)
    return value


class RefServer:
    """A running reference server on private addresses; a context manager.

    ``start()`` (or ``with``) starts the server and waits until it is ready;
    ``stop()`` (or leaving the ``with`` block) stops it and removes its
    socket folder. The addresses are read from what the server printed:
    ``host``, ``port``, ``tcp_endpoint``, ``socket_path``, ``unix_endpoint``,
    ``shm_name`` and ``shm_size``. Reading an address the server does not
    have (not started, or started without that listener or region) raises
    RefServerError.

    Keyword arguments (each maps to a ``quelt-refserver`` flag):

    tcp, unix, shm
        Serve TCP (QueltClient), the Unix socket (QueltClient and
        QueltHybridClient) and the shared-memory region (QueltShmClient and
        QueltHybridClient). All on by default.
    token
        API token that every QueltClient call must carry (``--token``).
    pool_size
        Bytes of the region's tensor pool (``--pool-size``); the region is
        about twice as large. Default: 256 MiB, or what fits in /dev/shm.
    shm_model
        Name of the model that serves the shared-memory clients, whose calls
        carry no model id (``--shm-model``; a key of ``MODELS``).
    fault
        Breaks every socket reply this way: "truncate", "reset", "garbage"
        or "drop" (``--fault``).
    stream_chunks, slow_ms
        Chunks of the stream model and delay of the slow model.
    extra_args
        More command-line flags, passed as they are.
    port, socket_path, shm_name
        Fixed addresses instead of free ones chosen for you.
    executable
        Path of quelt-refserver (default: ``find_executable()``).
    start_timeout, stop_timeout
        Seconds to wait for "ready", and for the server to stop on SIGTERM
        before it is killed.
    """

    def __init__(
        self,
        *,
        tcp: bool = True,
        unix: bool = True,
        shm: bool = True,
        token: Optional[str] = None,
        pool_size: Optional[int] = None,
        shm_model: Optional[str] = None,
        fault: Optional[str] = None,
        stream_chunks: Optional[int] = None,
        slow_ms: Optional[int] = None,
        extra_args: Iterable[str] = (),
        port: int = 0,
        socket_path: Optional[str] = None,
        shm_name: Optional[str] = None,
        executable: Optional[str] = None,
        start_timeout: float = 10.0,
        stop_timeout: float = 5.0,
    ) -> None:
        self._executable = executable
        self._want_tcp, self._want_unix, self._want_shm = tcp, unix, shm
        self._port = port
        self._socket_path = socket_path
        self._shm_name = shm_name
        self._options: list[str] = []
        for flag, value in (
            ("--token", token),
            ("--pool-size", pool_size),
            ("--shm-model", shm_model),
            ("--fault", fault),
            ("--stream-chunks", stream_chunks),
            ("--slow-ms", slow_ms),
        ):
            if value is not None:
                self._options += [flag, str(value)]
        self._options += list(extra_args)
        self._sized_by_caller = pool_size is not None or any(
            argument.split("=")[0] in ("--pool-size", "--shm-size") for argument in self._options
        )
        self._start_timeout = start_timeout
        self._stop_timeout = stop_timeout
        self._process: Optional[subprocess.Popen[str]] = None
        # The process that started the server: the only one that stops it and
        # removes its files (a forked child holds a copy of this object).
        self._owner_pid: Optional[int] = None
        self._collector: Optional[threading.Thread] = None
        self._directory: Optional[str] = None
        self._directory_lock: Optional[int] = None
        self._lines: list[str] = []
        self._lines_changed = threading.Condition()
        # What the running server said it listens on and serves.
        self._host: Optional[str] = None
        self._listening_port: Optional[int] = None
        self._listening_socket: Optional[str] = None
        self._region_name: Optional[str] = None
        self._region_size: Optional[int] = None
        self._region_flags: list[str] = []

    # -- addresses ---------------------------------------------------------

    @property
    def host(self) -> str:
        """The TCP listener's address, "127.0.0.1"."""
        return _required(self._host, "the server has no TCP listener")

    @property
    def port(self) -> int:
        """The TCP listener's port (chosen by the system unless ``port=`` was given)."""
        return _required(self._listening_port, "the server has no TCP listener")

    @property
    def socket_path(self) -> str:
        """The Unix socket's path: a QueltHybridClient's ``socket_path``."""
        return _required(self._listening_socket, "the server has no Unix-socket listener")

    @property
    def shm_name(self) -> str:
        """The region's name: a QueltShmClient's or QueltHybridClient's ``shm_name``."""
        return _required(self._region_name, "the server has no shared-memory region")

    @property
    def shm_size(self) -> int:
        """The region's size in bytes."""
        return _required(self._region_size, "the server has no shared-memory region")

    @property
    def tcp_endpoint(self) -> str:
        """A QueltClient endpoint for TCP: "tcp://127.0.0.1:PORT"."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"tcp://{host}:{self.port}"

    @property
    def unix_endpoint(self) -> str:
        """A QueltClient endpoint for the Unix socket: "unix://PATH"."""
        return f"unix://{self.socket_path}"

    @property
    def output(self) -> list[str]:
        """The lines the server printed so far (standard output and error)."""
        with self._lines_changed:
            return list(self._lines)

    @property
    def pid(self) -> Optional[int]:
        """The server process's id (None when it is not running)."""
        return self._process.pid if self._process else None

    @property
    def process(self) -> Optional["subprocess.Popen[str]"]:
        """The running server process (None once stopped)."""
        return self._process

    # -- life cycle ----------------------------------------------------------

    def command(self) -> list[str]:
        """The command line the server is (or would be) started with."""
        if self._process is not None:
            return self._command_line(self._region_flags)
        return self._command_line(self._fitted_region_flags(_free_shared_memory()))

    def _fitted_region_flags(self, free: Optional[int]) -> list[str]:
        return _region_size_options(free) if self._want_shm and not self._sized_by_caller else []

    def _command_line(self, region_flags: list[str]) -> list[str]:
        arguments = [self._executable or find_executable()]
        arguments += ["--tcp", f"127.0.0.1:{self._port}"] if self._want_tcp else ["--no-tcp"]
        arguments += ["--unix", self._planned_socket_path()] if self._want_unix else ["--no-unix"]
        arguments += ["--shm-name", self._planned_shm_name()] if self._want_shm else ["--no-shm"]
        arguments += region_flags
        # The server also stops when this process goes away without stopping it.
        return arguments + ["--exit-on-stdin-close"] + self._options

    def start(self) -> "RefServer":
        """Starts the server and waits until it is ready; returns self.
        Raises RefServerError if it cannot start or does not get ready in time."""
        if not self._owned_here():
            raise RefServerError(
                f"this RefServer belongs to process {self._owner_pid}: make a new one in process {os.getpid()}"
            )
        if self._process is not None:
            raise RefServerError("the server is already running")
        free = _free_shared_memory()
        self._region_flags = self._fitted_region_flags(free)
        if self._region_flags:
            _log.warning(
                "%s has %.1f MiB free, too little for the default region of %.1f MiB: "
                "the region takes %.1f MiB (pass pool_size= to choose its tensor pool)",
                _SHARED_MEMORY, (free or 0) / _MiB, _DEFAULT_REGION / _MiB, int(self._region_flags[1]) / _MiB,
            )
        command = self._command_line(self._region_flags)
        self._lines = []
        self._owner_pid = os.getpid()
        self._process = subprocess.Popen(
            command,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            bufsize=1,
        )
        self._collector = threading.Thread(target=self._collect_output, args=(self._process,), daemon=True)
        self._collector.start()
        try:
            self._wait_until_ready()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> Optional[int]:
        """Stops the server (SIGTERM, then SIGKILL) and removes its socket
        folder; returns its exit status. In a process forked from the one
        that started it, does nothing and returns None."""
        if not self._owned_here():
            self._forget_inherited()
            return None
        process, self._process = self._process, None
        status = None
        if process is not None:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(self._stop_timeout)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            status = process.returncode
            if process.stdin:
                process.stdin.close()
            # The collector stops at the end of the output; only then is its pipe closed.
            if self._collector is not None:
                self._collector.join(self._stop_timeout)
                self._collector = None
            if process.stdout and not process.stdout.closed:
                process.stdout.close()
        self._remove_directory()
        if status is not None and status < 0 and self._region_name:
            # Killed: it could not remove its region itself.
            _unlink_region(self._region_name)
        return status

    def restart(self) -> "RefServer":
        """Stops the server and starts it again on the same addresses and region name."""
        self._port = self._listening_port or self._port
        self._socket_path = self._listening_socket or self._socket_path
        self._shm_name = self._region_name or self._shm_name
        keep = self._directory, self._directory_lock
        self._directory, self._directory_lock = None, None  # keep the socket's directory across the restart
        try:
            self.stop()
        finally:
            self._directory, self._directory_lock = keep
        return self.start()

    def __enter__(self) -> "RefServer":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __del__(self) -> None:
        if getattr(self, "_process", None) is not None or getattr(self, "_directory", None) is not None:
            self.stop()

    # -- internals -----------------------------------------------------------

    def _owned_here(self) -> bool:
        return self._owner_pid is None or self._owner_pid == os.getpid()

    def _forget_inherited(self) -> None:
        """In a forked child: drops this process's references to the parent's
        server, pipes and folder without touching any of them (the
        descriptors are closed when the child ends)."""
        self._process = self._collector = None
        self._directory = self._directory_lock = None

    def _planned_socket_path(self) -> str:
        if self._socket_path is None:
            if self._directory is None:
                self._make_directory()
            assert self._directory is not None
            self._socket_path = os.path.join(self._directory, "refserver.sock")
        return self._socket_path

    def _make_directory(self) -> None:
        """A private folder for the socket, named with this process's id and
        locked for as long as it lives, so that a later launcher can tell it
        was abandoned. Folders that killed launchers left are removed first."""
        temporary = tempfile.gettempdir()
        _remove_abandoned_folders(temporary)
        # Short on purpose: a Unix socket path holds at most 107 bytes.
        directory = tempfile.mkdtemp(prefix=f"{_FOLDER_PREFIX}{os.getpid()}-", dir=temporary)
        lock = os.open(os.path.join(directory, _FOLDER_LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        fcntl.flock(lock, fcntl.LOCK_EX)
        self._directory, self._directory_lock = directory, lock
        self._owner_pid = os.getpid()

    def _remove_directory(self) -> None:
        if self._directory is not None:
            shutil.rmtree(self._directory, ignore_errors=True)
            self._directory = None
        if self._directory_lock is not None:
            os.close(self._directory_lock)
            self._directory_lock = None

    def _planned_shm_name(self) -> str:
        if self._shm_name is None:
            self._shm_name = _REGION_PREFIX + secrets.token_hex(8)
        return self._shm_name

    def _collect_output(self, process: subprocess.Popen[str]) -> None:
        assert process.stdout is not None
        for line in process.stdout:
            with self._lines_changed:
                self._lines.append(line.rstrip("\n"))
                self._lines_changed.notify_all()
        with self._lines_changed:
            self._lines_changed.notify_all()

    def _wait_until_ready(self) -> None:
        deadline = time.monotonic() + self._start_timeout
        process = self._process
        assert process is not None
        with self._lines_changed:
            while _READY not in self._lines:
                if process.poll() is not None and not self._lines_changed.wait(0.2):
                    raise RefServerError(
                        f"quelt-refserver exited with status {process.returncode}:\n" + "\n".join(self._lines)
                    )
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise RefServerError("quelt-refserver did not get ready in time:\n" + "\n".join(self._lines))
                self._lines_changed.wait(min(remaining, 0.2))
            self._parse_addresses(self._lines)

    def _parse_addresses(self, lines: Sequence[str]) -> None:
        self._host = self._listening_port = self._listening_socket = None
        self._region_name = self._region_size = None
        for line in lines:
            listening = _LISTENING.match(line)
            if listening and listening.group(1) == "tcp":
                host, _, port = listening.group(2).rpartition(":")
                self._host, self._listening_port = host.strip("[]"), int(port)
            elif listening:
                self._listening_socket = listening.group(2)
            region = _REGION.match(line)
            if region:
                self._region_name, self._region_size = region.group(1), int(region.group(2))


def _unlink_region(name: str) -> None:
    # The clients' slot lease table lies beside the region and goes with it.
    region = os.path.join(_SHARED_MEMORY, name.lstrip("/"))
    for path in (region, region + ".leases"):
        try:
            os.unlink(path)
        except OSError:
            pass
