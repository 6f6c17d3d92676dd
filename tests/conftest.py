"""Shared test helpers, fixtures and the Hypothesis profiles."""

import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# name: (columns, highest derivative, highest integral order, degree of polynomials reproduced)
KERNELS = {"a0": (2, 0, 2, 0), "a1": (2, 0, 2, 1), "a3": (4, 1, 4, 2), "a4": (6, 1, 4, 3), "a5": (6, 1, 4, 2),
           "a7": (8, 1, 4, 2), "b5": (10, 3, 6, 5), "b7": (12, 5, 8, 6), "b9": (14, 6, 8, 6),
           "b11": (16, 7, 8, 6), "b13": (18, 7, 8, 6)}
HALF_WIDTH = {name: columns // 2 for name, (columns, *_) in KERNELS.items()}
ORDERS = [(k, d) for k, (_, top, deepest, _) in KERNELS.items() for d in range(-deepest, top + 1)]
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


# The core's messages.
def quoted(name):
    return '"' + "".join(ESCAPES.get(c) or (c if c.isprintable() else f"\\u{{{ord(c):x}}}") for c in name) + '"'


def cast(name, expected):
    return f"'{name}' {'is' if name == 'None' else 'object is'} not an instance of '{expected}'"


def unknown_condition(name):
    return f"unknown boundary condition {quoted(name)} (expected poly, linear, quadratic or detect)"


def too_few(cols, got):
    return f"boundary condition needs {cols} values along the line, got {got}"


def beyond_limits(kernel, d, prefix=""):
    """The refusal of derivative order `d`, or None within the kernel's limits."""
    _, top, deepest, _ = KERNELS[kernel]
    if d > top:
        return f"{prefix}kernel {quoted(kernel)} supports derivatives up to order {top}, got {d}"
    if -d > deepest:
        return (f"{prefix}kernel {quoted(kernel)} supports integrals up to order {deepest} (derivative = -{deepest}), "
                f"got derivative = {d}")
    return None


def counts(n, *got):
    return (f"{n}-dimensional data need {n} knot vectors, boundary condition pairs and derivative orders "
            f"(got {got[0]}, {got[1]} and {got[2]})")


def tails(gib):
    return (f"the integral tails would need {gib} GiB of memory (limit 2 GiB): integrate along fewer axes, use lower "
            "integral orders, or use a smaller grid")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def rng_for(*key):
    """A generator seeded by the key's text, the same in every run."""
    return np.random.default_rng(list(repr(key).encode()))


def same_bits(a, b):
    """Equal shapes and bit patterns, every NaN counted as the same NaN."""
    a, b = (np.asarray(v, dtype=np.float64) for v in (a, b))
    return a.shape == b.shape and np.array_equal(*(np.where(np.isnan(v), np.nan, v).view(np.int64) for v in (a, b)))


def misaligned(values):
    values = np.asarray(values, dtype=np.float64)
    out = np.ndarray(values.shape, np.float64, buffer=bytearray(8 * values.size + 1), offset=1)
    out[...] = values
    return out


def check_raises(call, expected):
    """`call()` raises `expected`: a ValueError's message, or (type, message or None, parameter of the note)."""
    exc_type, message, note = (ValueError, expected, None) if isinstance(expected, str) else expected
    with pytest.raises(exc_type) as excinfo:
        call()
    assert type(excinfo.value) is exc_type
    assert message is None or str(excinfo.value) == message
    assert getattr(excinfo.value, "__notes__", []) == ([f"while processing '{note}'"] if note else [])


with open("/proc/self/maps") as maps:  # the sanitizers reserve terabytes and quarantine freed memory
    SANITIZED = "libasan" in maps.read()


@pytest.fixture
def run_python():
    """Runs `code` in a fresh interpreter; returns its output."""
    def run(code, timeout=120):
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                              timeout=timeout, check=False)
        assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}\n{done.stderr}"
        return done.stdout
    return run


# Fuzzing budgets: short by default, long with HYPOTHESIS_PROFILE=fuzz.  No deadline: the sanitizer build is slow.
settings.register_profile("default", max_examples=60, deadline=None, print_blob=True)
settings.register_profile("fuzz", max_examples=20_000, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


# The leak check of the files not yet moved to test_leaks.py.
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


def _legacy_assert_no_leak(call, times=1000):
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
def no_leak():
    return _legacy_assert_no_leak
