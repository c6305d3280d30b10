"""QueltShmClient.infer against a region the test prepares by hand.

The call holds the interpreter lock while it waits, so nothing else in this
process can answer it; instead the answers are placed in the response queue
before the call, and the request the client posted is read back afterwards.
A client numbers its requests from a random start: `first` is the number of
its next call, learnt from one call answered by a signal handler.
Most regions here have a pool of one slot, so a slot that is not released
shows up as an exhausted pool on the next call.
"""

import math
import os
import resource
import signal
import struct
import time

import pytest

from quelt_sdk import QueltShmClient
from hostile_measure import PROCESSOR_TIME_BOUNDS_HOLD
from shm_region_fixture import CAPACITY, ONE_SLOT_POOL, POOL_OFFSET, Region

MiB, GiB = 1 << 20, 1 << 30


@pytest.fixture
def regions():
    made = []

    def make(pool_size=ONE_SLOT_POOL, **kwargs):
        region = Region(pool_size=pool_size, **kwargs)
        made.append(region)
        return region

    yield make
    for region in made:
        region.close()


@pytest.fixture
def region(regions):
    return regions()


@pytest.fixture
def client(region):
    return QueltShmClient(region.name)


@pytest.fixture
def first(region, client):
    return region.next_request_id(client)


def burn_request_numbers(client, count):
    """Failing calls still use up their request number."""
    for _ in range(count):
        with pytest.raises(ValueError):
            client.infer([1], "bogus", b"")


def test_round_trip_writes_request_and_block(region, client, first):
    region.answer(first, b"output bytes")
    before = time.time_ns()
    assert client.infer([2, 3], "float32", bytes(range(24))) == b"output bytes"
    after = time.time_ns()
    (posted,) = region.posted_requests()
    assert posted.request_id == first and posted.reserved == 0
    assert before <= posted.timestamp_ns <= after
    assert (posted.tensor_offset, posted.tensor_size) == (POOL_OFFSET, 24 + 80)
    block = region.read_tensor_block(posted.tensor_offset)
    assert (block.ndim, block.dtype, block.reserved) == (2, 0, b"\0\0\0")
    assert block.shape == (2, 3, 0, 0, 0, 0, 0, 0)
    assert block.data == bytes(range(24))


@pytest.mark.parametrize(
    "dtype, code",
    [("float32", 0), ("FP32", 0), ("fp16", 0), ("Float16", 0), ("u8", 0), ("uint8", 0), ("string", 0),
     ("UTF8", 0), ("float64", 1), ("fp64", 1), ("i32", 2), ("int32", 2), ("INT64", 3), ("i64", 3)],
)
def test_dtype_codes(region, client, first, dtype, code):
    region.answer(first)
    client.infer([1], dtype, b"\0" * 8)
    (posted,) = region.posted_requests()
    assert region.read_tensor_block(posted.tensor_offset).dtype == code


@pytest.mark.parametrize(
    "shape, ndim, words",
    [
        ([], 0, (0,) * 8),
        ([-1, 0, 5], 3, (2**64 - 1, 0, 5, 0, 0, 0, 0, 0)),
        ((1, 2, 3, 4, 5, 6, 7, 8), 8, (1, 2, 3, 4, 5, 6, 7, 8)),
    ],
)
def test_shape_words(region, client, first, shape, ndim, words):
    region.answer(first)
    client.infer(shape, "int64", b"")
    (posted,) = region.posted_requests()
    block = region.read_tensor_block(posted.tensor_offset)
    assert (block.ndim, block.shape, block.data) == (ndim, words, b"")
    assert posted.tensor_size == 80


@pytest.mark.parametrize("data", [b"\x01\x02", bytearray(b"\x01\x02"), [1, 2], memoryview(b"\x01\x02")])
def test_data_forms(region, client, first, data):
    region.answer(first)
    client.infer([2], "u8", data)
    assert region.read_tensor_block(region.posted_requests()[0].tensor_offset).data == b"\x01\x02"


def test_request_numbers_count_failed_calls(regions):
    region = regions()
    client = QueltShmClient(region.name)
    other = QueltShmClient(region.name)  # numbers are per client object
    first, others_first = region.next_request_id(client), region.next_request_id(other)
    region.answer(first, b"a")
    assert client.infer([1], "u8", b"x") == b"a"
    with pytest.raises(RuntimeError, match="SHM tensor pool exhausted"):
        client.infer([1], "u8", b"x" * 300000)  # first + 1
    burn_request_numbers(client, 1)  # first + 2
    region.answer(first + 3, b"b")
    assert client.infer([1], "u8", b"x") == b"b"
    region.answer(others_first, b"c")
    assert other.infer([1], "u8", b"x") == b"c"
    assert [r.request_id for r in region.posted_requests()] == [first, first + 3, others_first]
    assert others_first not in range(first - 1, first + 4)


def test_unsupported_dtype_releases_slot_and_posts_nothing(region, client, first):
    with pytest.raises(ValueError) as raised:
        client.infer([1], "Str", b"x")
    assert str(raised.value) == "Invalid input: Unsupported dtype: str"
    assert region.posted_requests() == []
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"  # the only slot is free again


def test_more_than_eight_dimensions_refused_and_slot_released(region, client, first):
    with pytest.raises(ValueError, match="shape has 9 dimensions, but a shared-memory tensor holds at most 8"):
        client.infer([1] * 9, "u8", b"x")
    assert region.posted_requests() == []
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"


def test_full_request_queue_releases_slot(region, client, first):
    region.requests.set_indices(1020, 1020, 0)
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"x")
    assert str(raised.value) == "Queue is full"
    assert region.requests.indices() == (1020, 1020, 0)
    region.requests.set_indices(0, 0, 0)
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"


LAYOUTS = [
    (64 * MiB, 16 * MiB + 1,
     "class0(base=131072 slot_size=262144 slots=4), class1(base=1179648 slot_size=1048576 slots=3), "
     "class2(base=4325376 slot_size=4194304 slots=3), class3(base=16908288 slot_size=16777216 slots=3)",
     16 * MiB),
    (GiB, 64 * MiB + 1,
     "class0(base=131072 slot_size=262144 slots=16), class1(base=4325376 slot_size=1048576 slots=12), "
     "class2(base=16908288 slot_size=4194304 slots=12), class3(base=67239936 slot_size=16777216 slots=12), "
     "class4(base=268566528 slot_size=67108864 slots=12)",
     64 * MiB),
    (300000, 262145, "class0(base=131072 slot_size=262144 slots=1)", 262144),
    (100000, 100001, "class0(base=131072 slot_size=100000 slots=1)", 100000),
    (0, 80, "class0(base=131072 slot_size=1 slots=1)", 1),
]


@pytest.mark.parametrize("pool_size, required, layout, largest", LAYOUTS)
def test_pool_exhausted_text_shows_layout(regions, pool_size, required, layout, largest):
    region = regions(pool_size=pool_size)
    client = QueltShmClient(region.name)
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", bytes(required - 80))
    assert str(raised.value) == (
        f"SHM tensor pool exhausted (required={required} bytes, largest_slot={largest} bytes, layout={layout})"
    )


def test_largest_tensor_fits_the_largest_slot(regions):
    region = regions(pool_size=GiB, server_area=1 << 16)
    client = QueltShmClient(region.name)
    region.answer(region.next_request_id(client), b"ok")
    data = bytes(64 * MiB - 80)
    assert client.infer([len(data)], "u8", data) == b"ok"
    (posted,) = region.posted_requests()
    assert posted.tensor_size == 64 * MiB
    assert posted.tensor_offset == 268566528  # the first 64 MiB slot


@pytest.mark.parametrize(
    "status, text, expected",
    [
        (1, None, "Unknown error"),
        (255, None, "Unknown error"),
        (1, b"Model not loaded", "Model not loaded"),
        (7, b"Invalid input: shape mismatch", "Invalid input: shape mismatch"),
        (1, b"bad \xff bytes \xe2\x82", "bad \ufffd bytes \ufffd"),
        (1, b"", ""),
    ],
)
def test_server_failure_text(region, client, first, status, text, expected):
    region.answer_error(first, text, status=status)
    with pytest.raises(RuntimeError) as raised:
        client.infer([1], "u8", b"x")
    assert str(raised.value) == expected
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"  # slot released


def test_answers_to_other_requests_are_dropped(region, client, first):
    burn_request_numbers(client, 7)
    region.answer(first + 6, b"late answer to the call before")
    region.answer(first + 7, b"for this call")
    region.answer(first + 8, b"early answer to the next call")
    assert client.infer([1], "u8", b"x") == b"for this call"
    # The entry after the match stays queued (one more answer went to the
    # call that learnt `first`); the next call takes it.
    assert region.responses.indices() == (4, 4, 3)
    assert client.infer([1], "u8", b"x") == b"early answer to the next call"


def test_answers_of_other_calls_go_back_unless_no_one_can_wait_for_them(region, client, first):
    other = QueltShmClient(region.name)
    other_next = region.next_request_id(other)
    burn_request_numbers(client, 7)
    answers = [  # (request number, stays queued for its owner)
        (first + 6, False),                # this object's call that gave up
        (other_next - 1, False),           # another object's of this process, answered already
        (first ^ (1 << 63), True),         # another process's
        ((other_next + 1) % 2**64, True),  # a number the other object has not used yet
    ]
    for number, _ in answers:
        region.answer(number, b"not for this call")
    region.answer(first + 7, b"for this call")
    assert client.infer([1], "u8", b"x") == b"for this call"
    left = [struct.unpack_from("<Q", raw)[0] for raw in iter(region.responses.pop, None)]
    assert left == [number for number, stays in answers if stays]


def test_empty_output_block(region, client, first):
    region.answer(first, b"")
    assert client.infer([1], "u8", b"x") == b""


def test_answer_already_there_after_the_response_queue_wraps(region, client, first):
    region.responses.set_indices(1020, 1020, 1020)
    region.answer(first, b"wrapped")
    assert client.infer([1], "u8", b"x") == b"wrapped"
    assert region.responses.indices() == (0, 0, 0)


def test_signal_handler_exception_ends_the_wait_and_frees_the_slot(region, client, first):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            client.infer([1], "u8", b"x")
        assert time.monotonic() - started < 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"


def test_reentrant_call_from_a_signal_handler_is_refused(region, client, first):
    seen = []

    def reenter(signum, frame):
        try:
            client.infer([1], "u8", b"y")
        except RuntimeError as error:
            seen.append(str(error))
        region.answer(first, b"answered from the handler")

    previous = signal.signal(signal.SIGALRM, reenter)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        assert client.infer([1], "u8", b"x") == b"answered from the handler"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen == ["Already borrowed"]
    assert [r.request_id for r in region.posted_requests()] == [first]  # the refused call posted nothing


def queued(region):
    _, commit, read = region.responses.indices()
    return (commit - read) % CAPACITY


def test_unanswered_request_times_out_after_six_seconds_without_burning_a_core(region, client, first):
    """Slow (~12 s): the deadline is the first pass after 6 whole seconds.
    Meanwhile another process's answer goes round: it is put back while its
    owner may still wait, and dropped once it has gone round for 10 s."""
    region.answer(first ^ (1 << 63), b"for a process that went away")
    usage_before = resource.getrusage(resource.RUSAGE_SELF)
    started = time.monotonic()
    with pytest.raises(TimeoutError) as raised:
        client.infer([1], "u8", b"x")
    elapsed = time.monotonic() - started
    usage_after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (usage_after.ru_utime - usage_before.ru_utime) + (usage_after.ru_stime - usage_before.ru_stime)
    assert str(raised.value) == "Request timed out"
    assert 6.0 <= elapsed < 8  # a late wake-up on a loaded machine is no fault
    if PROCESSOR_TIME_BOUNDS_HOLD:
        assert cpu < 0.02 * elapsed, f"waiting used {cpu:.2f} s of processor time in {elapsed:.2f} s"
    print(f"timed out after {elapsed:.3f} s using {cpu:.3f} s CPU ({100 * cpu / elapsed:.1f}%)")
    assert queued(region) == 1
    region.answer(first + 1, b"ok")
    assert client.infer([1], "u8", b"x") == b"ok"
    with pytest.raises(TimeoutError):
        client.infer([1], "u8", b"x")
    assert queued(region) == 0
