"""Shared test helpers, fixtures and the Hypothesis profiles."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

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


def derived(f, orders):
    """The interpolator f differentiated (positive orders) or integrated (negative ones) per axis."""
    f = f.derivative([max(o, 0) for o in orders])
    return f.antiderivative([max(-o, 0) for o in orders]) if any(o < 0 for o in orders) else f


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


def linux_only(reason):
    """Skips a test off Linux, saying which Linux interface it needs."""
    return pytest.mark.skipif(not sys.platform.startswith("linux"), reason=f"Linux only: {reason}")


# The sanitizers reserve terabytes and quarantine freed memory; the instrumented builds run on Linux only.
SANITIZED = sys.platform.startswith("linux") and "libasan" in Path("/proc/self/maps").read_text()


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
