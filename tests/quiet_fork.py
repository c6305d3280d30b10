"""Forking a fake server from the test process."""
import gc
import os


def fork_after_collecting() -> int:
    """os.fork(), once the clients of earlier tests that linger in reference
    cycles are collected. Each holds its runtime's threads, and a thread
    caught inside the allocator at the fork leaves the child's allocator
    locked for good (the sanitizer's allocator does not guard against that):
    the fewer threads at the fork, the safer the child."""
    gc.collect()
    return os.fork()
