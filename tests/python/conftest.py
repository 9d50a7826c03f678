import faulthandler
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import lodex

# Only a hang detector: a call that takes this long means a deadlock.
HANG_LIMIT = 120.0

# Whether this interpreter runs with AddressSanitizer's runtime preloaded:
# the one sanitizer check of the Python tests.
MAPS = pathlib.Path("/proc/self/maps")
SANITIZED = MAPS.exists() and "libasan" in MAPS.read_text()

# GCC 12's AddressSanitizer takes no lock of its allocator around fork(): a
# child forked while another thread is inside malloc or free inherits that
# lock held and hangs. glibc's malloc is fork-safe, so the tests that fork
# while other threads work run in the plain build only.
fork_while_threads_allocate = pytest.mark.skipif(
    SANITIZED, reason="this AddressSanitizer runtime is not fork-safe while other threads allocate"
)

# Tests that check arithmetic or tooling rather than memory (a type checker
# run, a matrix of widths and data): the plain build runs them, and at the
# sanitizers' pace they would only cost time.
plain_build_only = pytest.mark.skipif(SANITIZED, reason="checks arithmetic or tooling, not memory")


def child_env(leak_checks=True):
    """The environment for a child interpreter; without `leak_checks` LeakSanitizer stays quiet in it.

    A child that ends with daemon threads still running (a Dask cluster's,
    say) never frees what their frames hold: a leak of CPython's, not of lodex.
    """
    env = dict(os.environ)
    if SANITIZED and not leak_checks:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return env


def run_python(code, timeout=HANG_LIMIT):
    """Runs `code` in a child interpreter; its standard output, after checking it exited 0."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@pytest.fixture
def watchdog():
    """Ends the run with every thread's stack when the test hangs.

    A call that waits while holding the interpreter lock stops every Python
    thread, timeouts included; this watchdog does not need that lock.
    """
    faulthandler.dump_traceback_later(2 * HANG_LIMIT, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def make_index(dim=16, bits=4, use_qjl=False, seed=7, rows=0, rng=None):
    index = lodex.Index(dim, bits, use_qjl, seed)
    if rows:
        rng = rng or np.random.default_rng(99)
        data = rng.standard_normal((rows, dim)).astype(np.float32)
        index.add_batch(list(range(rows)), data)
    return index


def wait_for_child(pid, limit, what):
    """The exit code of child `pid`; kills it and fails the test after `limit` seconds."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail(f"{what} within {limit} s")
