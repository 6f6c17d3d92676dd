"""Shared test helpers."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest
from hypothesis import HealthCheck, settings


def _sanitized():
    """Whether AddressSanitizer runs in this process (the sanitizer build in CI)."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


# The sanitizers reserve terabytes of address space and hold freed memory in
# quarantine, which rules out address-space limits and resident-memory checks.
SANITIZED = _sanitized()


def _resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return 0


def _run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001 - error paths are exercised on purpose
            pass


def assert_no_leak(call, times=1000):
    """Calling `call` many times leaves references, Python memory blocks, traced
    memory and resident memory flat.  Resident memory is what shows a leaked
    result buffer (NumPy does not trace memory it did not allocate), so calls
    with big results are worth checking even a few dozen times."""
    _run(call, times)  # warm caches and allocator pools
    gc.collect()
    total_refs = getattr(sys, "gettotalrefcount", lambda: 0)
    refs_before, blocks_before, rss_before = total_refs(), sys.getallocatedblocks(), _resident_bytes()
    _run(call, times)
    gc.collect()
    refs_growth = total_refs() - refs_before
    blocks_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = _resident_bytes() - rss_before
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        _run(call, times)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    # A leak grows with the number of calls; caches and free lists do not.
    assert refs_growth < times // 10 + 50, f"the reference count grew by {refs_growth}"
    assert blocks_growth < times // 10 + 50, f"{blocks_growth} more memory blocks are allocated"
    assert traced_growth < 8 * times + 16384, f"traced memory grew by {traced_growth} bytes"
    if not SANITIZED:
        assert rss_growth < 32 * 1024 * 1024, f"resident memory grew by {rss_growth} bytes"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "address_space_limit: limits the address space, which the sanitizers cannot run under")


def pytest_collection_modifyitems(items):
    for item in items:
        if SANITIZED and item.get_closest_marker("address_space_limit"):
            item.add_marker(pytest.mark.skip(reason="the sanitizers need an unlimited address space"))


@pytest.fixture
def no_leak():
    return assert_no_leak


@pytest.fixture
def run_python():
    """Runs `code` in a fresh interpreter (same environment); returns its output."""
    def run(code, timeout=120):
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, check=False)
        assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}\n{done.stderr}"
        return done.stdout
    return run


# Fuzzing budgets: a short run by default, a long one on request
# (HYPOTHESIS_PROFILE=fuzz, or pytest --hypothesis-profile=fuzz).  No
# deadline: the sanitizer build is slow.
settings.register_profile("default", max_examples=60, deadline=None, print_blob=True)
settings.register_profile("fuzz", max_examples=20_000, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
