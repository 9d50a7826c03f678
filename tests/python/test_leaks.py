"""Every method, on success and on each error path, called thousands of times,
leaves the process's memory flat.

Two gauges, read after a warm-up and again after the loop: resident memory
(/proc/self/statm), which sees every lost buffer of the C++ core, and the
interpreter's count of allocated object blocks, which sees a single Python
object that lodex forgets to release. Arguments are sized so that anything a
call leaks is at least a few KiB (dim 1024: a query copy alone is 4 KiB).

Under AddressSanitizer the freed memory sits in quarantine and resident
memory means nothing: there the loops only run (briefly), and LeakSanitizer
reports what they lose when the process exits.
"""

import ctypes
import gc
import os
import pathlib
import shutil
import struct
import sys
import tempfile

import numpy as np
import pytest

import lodex
from conftest import SANITIZED

DIM = 1024
CALLS = 200 if SANITIZED else 2000
WARM_UP = 200
RSS_SLACK = 2 << 20  # a leak of 4 KiB per call would be 8 MiB
BLOCK_SLACK = CALLS // 20  # a leaked object per call would be CALLS blocks
PAGE = os.sysconf("SC_PAGE_SIZE")
HEADER = struct.Struct("<4sHIBBQQQQQ")


try:
    _malloc_trim = ctypes.CDLL(None).malloc_trim
except AttributeError:  # not glibc
    _malloc_trim = None


def resident_bytes():
    """Resident memory once freed memory is handed back: otherwise a leak can
    hide in pages that earlier tests freed but the allocator kept."""
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def raises(exc, fn, *args):
    def call():
        try:
            fn(*args)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")

    return call


@pytest.fixture(scope="module")
def scratch():
    # Saves sync their file to disk; on a memory file system thousands of
    # them stay quick.
    shm = pathlib.Path("/dev/shm")
    where = tempfile.mkdtemp(dir=shm if shm.is_dir() and os.access(shm, os.W_OK) else None)
    yield pathlib.Path(where)
    shutil.rmtree(where)


def craft(path, *, dim=DIM, bits=4, count=1, rows=1, magic=b"LDXI"):
    """A file claiming `count` rows and holding `rows` of them."""
    code_bytes = (dim * bits + 7) // 8
    header = HEADER.pack(magic, 1, dim, bits, 0, 3, count, 52 + 8 * rows, 52 + 10 * rows, 0)
    path.write_bytes(header + bytes(8 * rows) + b"\x80\x3f" * rows + bytes(code_bytes * rows))
    return str(path)


class Objects:
    """What the calls work on: an index, data, and files good and bad."""

    def __init__(self, scratch):
        rng = np.random.default_rng(0)
        self.scratch = scratch
        self.data = rng.standard_normal((64, DIM)).astype(np.float32)
        self.query = rng.standard_normal(DIM).astype(np.float32)
        self.ids = list(range(64))
        self.index = lodex.Index(DIM, 4, True, 5)
        self.index.add_batch(range(200), rng.standard_normal((200, DIM)).astype(np.float32))
        self.good = str(scratch / "good.ldx")
        self.index.save(self.good)
        self.odd_width = lodex.Index.load(craft(scratch / "bits7.ldx", bits=7))
        self.small = scratch / "small.ldx"
        self.small.write_bytes(b"LDXI" + bytes(6))
        self.bad_magic = craft(scratch / "magic.ldx", magic=b"XXXX")
        self.dim_1000 = craft(scratch / "d1000.ldx", dim=1000, rows=60, count=60)
        self.rows_outside = craft(scratch / "short.ldx", rows=60, count=61)

    def build_and_fill(self):
        fresh = lodex.Index(DIM, 3, True, 9)
        fresh.add_batch(self.ids, self.data)


# name -> the call, made from Objects o.
CASES = {
    # construction and deallocation
    "new": lambda o: lambda: lodex.Index(DIM, 5, True, 1),
    "new-dim-not-power-of-two": lambda o: raises(ValueError, lodex.Index, DIM + 1, 4, False, 0),
    "new-bits-out-of-range": lambda o: raises(ValueError, lodex.Index, DIM, 6, False, 0),
    "new-flag-not-bool": lambda o: raises(TypeError, lodex.Index, DIM, 4, 1, 0),
    "new-negative-seed": lambda o: raises(OverflowError, lodex.Index, DIM, 4, False, -1),
    "new-missing-argument": lambda o: raises(TypeError, lodex.Index, DIM, 4, False),
    "new-capacity-fault": lambda o: raises(BaseException, lodex.Index, 1 << 61, 4, False, 0),
    # add_batch
    "add_batch": lambda o: o.build_and_fill,
    "add_batch-ids-str": lambda o: raises(TypeError, o.index.add_batch, "ids", o.data),
    "add_batch-ids-not-sequence": lambda o: raises(TypeError, o.index.add_batch, 7, o.data),
    "add_batch-id-float": lambda o: raises(TypeError, o.index.add_batch, [0.5] * 64, o.data),
    "add_batch-id-negative": lambda o: raises(OverflowError, o.index.add_batch, [1] * 63 + [-1], o.data),
    "add_batch-vectors-float64": lambda o: raises(TypeError, o.index.add_batch, o.ids, o.data.astype(np.float64)),
    "add_batch-wrong-width": lambda o: raises(ValueError, o.index.add_batch, o.ids, o.data[:, : DIM // 2]),
    "add_batch-not-contiguous": lambda o: raises(ValueError, o.index.add_batch, o.ids[:32], o.data[::2]),
    "add_batch-ids-count": lambda o: raises(ValueError, o.index.add_batch, o.ids[:63], o.data),
    "add_batch-no-codebook": lambda o: raises(RuntimeError, o.odd_width.add_batch, o.ids, o.data),
    # search
    "search": lambda o: lambda: o.index.search(o.query, 50),
    "search-k-zero": lambda o: lambda: o.index.search(o.query, 0),
    "search-wrong-length": lambda o: raises(RuntimeError, o.index.search, o.data[0, : DIM // 2].copy(), 5),
    "search-query-list": lambda o: raises(TypeError, o.index.search, [0.0] * DIM, 5),
    "search-k-float": lambda o: raises(TypeError, o.index.search, o.query, 5.0),
    "search-k-negative": lambda o: raises(OverflowError, o.index.search, o.query, -5),
    "search-not-contiguous": lambda o: raises(ValueError, o.index.search, o.data[:2].T[0], 5),
    "search-no-codebook": lambda o: raises(RuntimeError, o.odd_width.search, o.query, 5),
    # save
    "save": lambda o: lambda: o.index.save(str(o.scratch / "out.ldx")),
    "save-missing-directory": lambda o: raises(OSError, o.index.save, str(o.scratch / "none" / "x.ldx")),
    "save-directory": lambda o: raises(OSError, o.index.save, str(o.scratch)),
    "save-nul": lambda o: raises(OSError, o.index.save, str(o.scratch / "a\0b")),
    "save-path-type": lambda o: raises(TypeError, o.index.save, o.scratch / "x.ldx"),
    "save-device-full": lambda o: raises(OSError, o.index.save, "/dev/full"),
    # load
    "load": lambda o: lambda: lodex.Index.load(o.good),
    "load-missing": lambda o: raises(OSError, lodex.Index.load, str(o.scratch / "missing.ldx")),
    "load-directory": lambda o: raises(OSError, lodex.Index.load, str(o.scratch)),
    "load-too-small": lambda o: raises(RuntimeError, lodex.Index.load, str(o.small)),
    "load-bad-magic": lambda o: raises(RuntimeError, lodex.Index.load, o.bad_magic),
    "load-dim-not-power-of-two": lambda o: raises(RuntimeError, lodex.Index.load, o.dim_1000),
    "load-rows-outside": lambda o: raises(BaseException, lodex.Index.load, o.rows_outside),
    # properties
    "size": lambda o: lambda: o.index.size,
    "config": lambda o: lambda: o.index.config,
    "repr": lambda o: lambda: repr(o.index),
}


@pytest.fixture(scope="module")
def objects(scratch):
    return Objects(scratch)


def measure(call):
    for _ in range(WARM_UP):
        call()
    rss, blocks = resident_bytes(), sys.getallocatedblocks()
    for _ in range(CALLS):
        call()
    return resident_bytes() - rss, sys.getallocatedblocks() - blocks


@pytest.mark.parametrize("name", CASES)
def test_memory_stays_flat(objects, name):
    if name == "save-device-full" and not os.path.exists("/dev/full"):
        pytest.skip("needs /dev/full")
    grown, blocks = measure(CASES[name](objects))
    if SANITIZED:
        return  # LeakSanitizer judges this build at exit
    assert grown <= RSS_SLACK, f"resident memory grew by {grown} bytes over {CALLS} calls"
    assert blocks <= BLOCK_SLACK, f"{blocks} more object blocks after {CALLS} calls"
