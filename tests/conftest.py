"""Shared test helpers."""

import gc
import os
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, settings


def _resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096
    except OSError:
        return 0


def _run(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: BLE001 - error paths are exercised on purpose
            pass


def assert_no_leak(call, times=1000):
    """Calling `call` many times leaves references, traced and resident memory flat."""
    _run(call, times)  # warm caches and allocator pools
    gc.collect()
    total_refs = getattr(sys, "gettotalrefcount", None)
    refs_before = total_refs() if total_refs else 0
    rss_before = _resident_bytes()
    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        _run(call, times)
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    rss_growth = _resident_bytes() - rss_before
    if total_refs:
        assert total_refs() - refs_before < times // 10, "reference count grows"
    assert traced_growth < 8 * times, f"traced memory grew by {traced_growth} bytes"
    assert rss_growth < 32 * 1024 * 1024, f"resident memory grew by {rss_growth} bytes"


@pytest.fixture
def no_leak():
    return assert_no_leak


# Fuzzing budgets: a short run by default, a long one on request
# (HYPOTHESIS_PROFILE=fuzz, or pytest --hypothesis-profile=fuzz).  No
# deadline: the sanitizer build is slow.
settings.register_profile("default", max_examples=60, deadline=None, print_blob=True)
settings.register_profile("fuzz", max_examples=20_000, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
