"""Regions whose server writes offsets and lengths that point outside the
mapping. Each case runs in a child process (python -c "...run('case')") so that
a fault would show as a crashed child, not a crashed test run; it prints the
exception the client raised as "Type|message"."""

from __future__ import annotations

import struct
import sys

from quelt_sdk import QueltShmClient
from shm_region_fixture import CAPACITY, Region, response_entry

POOL = 300000
SERVER_AREA = 1 << 20


# The request number of the client's call under test.
request_id = None


def _answer_raw(region, **fields):
    region.responses.push(response_entry(request_id, **fields))


def result_head_outside(region):
    _answer_raw(region, result_offset=region.size - 79)


def result_offset_max(region):
    _answer_raw(region, result_offset=2**64 - 1)


def data_len_max(region):
    offset = region.put_tensor(b"abc")
    struct.pack_into("<Q", region.buf, offset + 72, 2**64 - 1)
    _answer_raw(region, result_offset=offset)


def data_len_one_past_the_end(region):
    offset = region.put_tensor(b"abc")
    struct.pack_into("<Q", region.buf, offset + 72, region.size - offset - 80 + 1)
    _answer_raw(region, result_offset=offset)


def data_len_to_the_end(region):
    offset = region.put_tensor(b"abc")
    struct.pack_into("<Q", region.buf, offset + 72, region.size - offset - 80)
    _answer_raw(region, result_offset=offset)


def error_offset_outside(region):
    _answer_raw(region, status=1, error_offset=region.size - 7)


def message_len_max(region):
    offset = region.put_message(b"text")
    struct.pack_into("<Q", region.buf, offset, 2**64 - 8)
    _answer_raw(region, status=1, error_offset=offset)


def response_queue_misaligned(region):
    region.write_header(response_queue=region.responses.offset + 4)


def response_queue_past_the_end(region):
    region.write_header(response_queue=region.size - 49152 + 8)


def request_queue_past_the_end(region):
    region.write_header(request_queue=2**64 - 8)


def response_read_index_outside(region):
    region.responses.set_indices(0, 0, CAPACITY)


def pool_past_the_end(region):
    region.write_header(pool_offset=region.size - 1000, pool_size=1001)


def pool_offset_wraps(region):
    region.write_header(pool_offset=2**64 - 1, pool_size=2)


# Cases that corrupt the header before the client is built.
BEFORE_CONSTRUCTION = {pool_past_the_end, pool_offset_wraps}


def run(case_name: str) -> None:
    global request_id
    case = globals()[case_name]
    region = Region(pool_size=POOL, server_area=SERVER_AREA)
    try:
        if case in BEFORE_CONSTRUCTION:
            case(region)
        client = QueltShmClient(region.name)
        if case not in BEFORE_CONSTRUCTION:
            request_id = region.next_request_id(client)
            case(region)
        outcome = client.infer([3], "u8", b"abc")
        print(f"bytes|{len(outcome)}")
    except Exception as error:  # the outcome under test
        print(f"{type(error).__name__}|{error}")
    finally:
        region.close()
    sys.stdout.flush()
