import os
import pathlib
import time

import numpy as np
import pytest

import lodex


# Whether this interpreter runs with AddressSanitizer's runtime preloaded.
MAPS = pathlib.Path("/proc/self/maps")
SANITIZED = MAPS.exists() and "libasan" in MAPS.read_text()

# GCC 12's AddressSanitizer takes no lock of its allocator around fork(): a
# child forked while another thread is inside malloc or free inherits that
# lock held and hangs. glibc's malloc is fork-safe, so the tests that fork
# while other threads work run in the plain build only.
fork_while_threads_allocate = pytest.mark.skipif(
    SANITIZED, reason="this AddressSanitizer runtime is not fork-safe while other threads allocate"
)


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
