"""The slot lease table among what surrounds it in production: a table that
another user made, a process stopped inside its call, a clock in another time
namespace, a region seen from a container or by another name, very long
region names, and tables that regions left behind.

Most cases become another user or enter namespaces, and so need root; they
skip cleanly without it.
"""

from __future__ import annotations

import gc
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

from quelt_sdk import QueltShmClient
from shm_probe import session_probe
from shm_region_fixture import HOLDER, ONE_SLOT_POOL, POOL_OFFSET, Region, lease_table_name, unique_name

NOBODY = 65534
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root (another user, namespaces)")


@pytest.fixture
def region():
    made = Region(pool_size=ONE_SLOT_POOL)
    yield made
    made.close()


def table_of(name: str) -> str:
    return f"/dev/shm/{lease_table_name(name)}"


def in_child_as(uid: int, action) -> str:
    """Runs `action()` in a forked child that is user `uid` (and its group);
    returns "ok" or the text of what it raised."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            action()
            outcome = "ok"
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            outcome = f"{type(error).__name__}: {error}"
        os.write(writer, outcome.encode())
        os._exit(0)
    os.close(writer)
    with os.fdopen(reader, "rb") as pipe:
        outcome = pipe.read().decode()
    os.waitpid(pid, 0)
    return outcome


# --- Who may control the table ------------------------------------------------

@as_root
@pytest.mark.parametrize("owner, why", [
    (NOBODY, "its owner may not write the region"),
    (0, "its mode lets users write it who may not write the region"),
])
def test_a_table_that_someone_who_may_not_write_the_region_controls_is_refused(region, owner, why):
    path = table_of(region.name)
    fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)  # made first, as another user could
    os.fchown(fd, owner, owner)
    os.fchmod(fd, 0o666)
    os.close(fd)
    with pytest.raises(ConnectionError) as refused:
        QueltShmClient(region.name)
    assert str(refused.value) == (
        f"Shared memory error: refusing the slot lease table {path} of region '{region.name}' "
        f"(owner uid {owner}, mode 0666): {why}, so another user could make two calls lease the same slot; "
        "remove the file and connect again")


@as_root
def test_a_table_that_root_makes_belongs_to_the_regions_owner(region):
    os.chown(f"/dev/shm/{region.name}", NOBODY, NOBODY)
    QueltShmClient(region.name)
    made = os.stat(table_of(region.name))
    assert (made.st_uid, made.st_gid, made.st_mode & 0o777) == (NOBODY, NOBODY, 0o600)
    assert in_child_as(NOBODY, lambda: QueltShmClient(region.name)) == "ok"


# --- A live owner keeps its slot -------------------------------------------------


# A call from a process whose monotonic clock runs a day ahead.
AHEAD = """
import sys, quelt_sdk
try:
    quelt_sdk.QueltShmClient(sys.argv[1]).infer([1], "u8", b"y")
    print("leased")
except Exception as error:
    print(error)
"""


@as_root
def test_a_stopped_owners_slot_is_not_taken_by_a_process_whose_clock_is_far_ahead(region):
    if shutil.which("unshare") is None:
        pytest.skip("no unshare")
    probe = session_probe()
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, region.name], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "calling\n"
        for _ in range(100):  # stop the holder inside a call, holding the slot
            os.kill(holder.pid, signal.SIGSTOP)
            if probe.run("leases", region.name, "1+", "1a80").split() == ["none"]:
                break
            os.kill(holder.pid, signal.SIGCONT)
            time.sleep(0.05)
        else:
            pytest.fail("the holder never held the slot")
        ahead = subprocess.run(["unshare", "--time", "--monotonic", "86400", "--boottime", "86400", "--fork",
                                sys.executable, "-c", AHEAD, region.name],
                               capture_output=True, text=True, timeout=30, env=os.environ)
        if ahead.returncode != 0 and "unshare" in ahead.stderr:
            pytest.skip(f"no time namespace here: {ahead.stderr.strip()}")
        assert ahead.stdout.startswith("SHM tensor pool exhausted"), (ahead.stdout, ahead.stderr)
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()


# --- One table per region object -------------------------------------------------

# Enters a mount namespace whose /dev/shm is a tmpfs of its own, as a
# container's, into which the host's region (and maybe its table) is
# bind-mounted, and opens the region there.
CONTAINER = """
set -e
mount --make-rprivate /
mount --bind /dev/shm "$HOST"
mount -t tmpfs tmpfs /dev/shm
for name in "$@"; do
    touch "/dev/shm/$name"
    mount --bind "$HOST/$name" "/dev/shm/$name"
done
exec "$PYTHON" -c '
import os, quelt_sdk
try:
    quelt_sdk.QueltShmClient(os.environ["REGION"])
    print("opened")
except ConnectionError as error:
    print(error)
'
"""


@as_root
@pytest.mark.parametrize("with_table", [False, True])
def test_a_container_shares_the_hosts_table_or_refuses_the_region(region, tmp_path, with_table):
    if shutil.which("unshare") is None:
        pytest.skip("no unshare")
    host = QueltShmClient(region.name)  # the host's table, in use
    names = [region.name] + ([lease_table_name(region.name)] if with_table else [])
    env = dict(os.environ, HOST=str(tmp_path), PYTHON=sys.executable, REGION=region.name)
    inside = subprocess.run(["unshare", "--mount", "sh", "-c", CONTAINER, "container", *names],
                            capture_output=True, text=True, timeout=60, env=env)
    assert inside.returncode == 0, inside.stderr
    shown = table_of(region.name)
    expected = "opened" if with_table else (
        f"Shared memory error: the slot lease table {shown} is not the one that the other users of region "
        f"'{region.name}' share (it lies on another file system than the region); processes that use one region "
        f"must see one /dev/shm: share the whole /dev/shm, or bind-mount the region together with its table {shown}")
    assert inside.stdout.strip() == expected
    del host


OPEN = """
import sys, quelt_sdk
try:
    quelt_sdk.QueltShmClient(sys.argv[1])
    print("opened")
except ConnectionError as error:
    print(error)
"""


def test_a_region_opened_by_another_name_in_another_process_is_refused(region):
    alias = unique_name("quelt-alias")
    os.link(f"/dev/shm/{region.name}", f"/dev/shm/{alias}")
    try:
        first = QueltShmClient(region.name)
        other = subprocess.run([sys.executable, "-c", OPEN, alias], capture_output=True, text=True, timeout=30)
        assert "the region is in use with another table" in other.stdout, (other.stdout, other.stderr)
        assert not os.path.exists(table_of(alias))
        del first
    finally:
        os.unlink(f"/dev/shm/{alias}")


# --- Names and leftovers -----------------------------------------------------------

@pytest.mark.parametrize("length", [248, 249, 255])
def test_a_region_of_any_name_length_gets_a_table(length):
    name = unique_name().ljust(length, "n")
    made = Region(pool_size=ONE_SLOT_POOL, name=name)
    try:
        QueltShmClient(name)
        assert os.path.exists(table_of(name)) and len(lease_table_name(name)) <= 255
    finally:
        made.close()


def test_tables_of_vanished_regions_are_removed_unless_a_process_holds_them():
    gone, held, live = (Region(pool_size=ONE_SLOT_POOL) for _ in range(3))
    try:
        QueltShmClient(gone.name)  # made its table, and let it go at once
        holding = QueltShmClient(held.name)
        gc.collect()
        for vanished in (gone, held):
            vanished.shm.unlink()  # the region alone, as a server that ended without removing its table
        QueltShmClient(live.name)
        assert [os.path.exists(table_of(r.name)) for r in (gone, held, live)] == [False, True, True]
        del holding
    finally:
        for made in (gone, held, live):
            made.close()
