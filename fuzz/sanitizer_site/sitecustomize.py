"""Loaded by every Python process of the sanitized test run (this directory
is put on PYTHONPATH by fuzz/run_sanitized_tests.sh, and nowhere else).

AddressSanitizer reserves terabytes of address space for its shadow memory,
so a test that caps the address space (RLIMIT_AS) would only make the
sanitizer itself fail to map memory. Under the sanitizer such a cap is not
applied; the property those tests guard, that a length announced by a peer
is not allocated before the bytes arrive, is checked by peak resident memory
in tests/test_hardening_faults.py.
"""

import resource

_setrlimit = resource.setrlimit


def _setrlimit_except_address_space(which, limits):
    if which == resource.RLIMIT_AS:
        return None
    return _setrlimit(which, limits)


resource.setrlimit = _setrlimit_except_address_space
