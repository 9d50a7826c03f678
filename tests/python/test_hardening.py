"""Faults found by adversarial use, each pinned by a test: ids objects that
claim huge lengths or fail in __len__, arrays whose byte strides are not whole
floats, memory running out in the middle of a batch, fork() while other
threads work, waiting for the index lock while holding the interpreter lock,
headers that claim huge dimensions, and the reachable internal-fault class.
"""

import collections.abc
import faulthandler
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import lodex
from conftest import SANITIZED, fork_while_threads_allocate, wait_for_child

DIM = 8
HANG_LIMIT = 120.0  # seconds; only a hang detector
fork_with_threads = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def run_python(code, timeout=HANG_LIMIT):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


# ------------------------------------------------- ids that claim too much


class ClaimsLength(collections.abc.Sequence):
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        raise AssertionError("no element may be read once the length is known to be wrong")


@pytest.mark.parametrize(
    "ids, claimed",
    [(range(2**62), 2**62), (np.broadcast_to(np.int64(0), (2**40,)), 2**40), (ClaimsLength(2**40), 2**40),
     (ClaimsLength(0), 0)],
    ids=["range", "broadcast-array", "object", "too-short"],
)
def test_ids_length_is_checked_before_conversion(ids, claimed):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(ValueError) as info:
        index.add_batch(ids, np.zeros((1, DIM), np.float32))
    assert str(info.value) == f"ids length {claimed} != row count 1"
    assert index.size == 0


class FailingLength(collections.abc.Sequence):
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        raise IndexError(i)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), ValueError("no length today"), TypeError("typed")])
def test_errors_of_the_ids_own_len_propagate(error):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(type(error)) as info:
        index.add_batch(FailingLength(error), np.zeros((0, DIM), np.float32))
    assert info.value is error


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator aborts instead of failing")
def test_out_of_memory_while_converting_or_adding_is_a_memory_error():
    # A 500 MB address-space allowance beyond what the interpreter already
    # uses: the batch cannot fit, and must fail cleanly with nothing stored.
    run_python(
        """
        import resource
        import numpy as np
        import lodex

        def vm_bytes():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        index = lodex.Index(256, 5, False, 0)
        index.add_batch(range(10), np.ones((10, 256), np.float32))
        before = index.search(np.ones(256, np.float32), 10)
        vectors = np.zeros((200_000, 256), np.float32)  # 200 MB, never touched
        limit = vm_bytes() + 16 * 2**20  # the rows need 34 MB
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        for ids in (range(200_000), np.arange(200_000)):
            try:
                index.add_batch(ids, vectors)
            except MemoryError:
                pass
            else:
                raise SystemExit("the batch fitted after all: raise the batch size")
            assert index.size == 10, index.size
            assert index.search(np.ones(256, np.float32), 10) == before
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        index.add_batch(range(5), np.ones((5, 256), np.float32))
        assert index.size == 15
        """
    )


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator aborts instead of failing")
def test_running_out_of_memory_at_a_new_chunk_leaves_the_index_usable():
    # The first row of an empty index opens the store's first chunk, whose
    # reservation (16,384 rows of 512 bytes) does not fit a 4 MB allowance.
    # The rows added once memory is back must be stored and searched as in
    # a fresh index.
    run_python(
        """
        import resource
        import numpy as np
        import lodex

        def vm_bytes():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        index = lodex.Index(1024, 4, False, 0)
        vectors = np.zeros((200_000, 1024), np.float32)  # never touched
        rows = np.random.default_rng(1).standard_normal((20, 1024)).astype(np.float32)
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 4 * 2**20, hard))
        try:
            index.add_batch(range(200_000), vectors)
        except MemoryError:
            pass
        else:
            raise SystemExit("the batch fitted after all: lower the allowance")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert index.size == 0, index.size
        index.add_batch(range(20), rows)
        fresh = lodex.Index(1024, 4, False, 0)
        fresh.add_batch(range(20), rows)
        assert index.to_bytes() == fresh.to_bytes()
        assert index.search(rows[3], 5) == fresh.search(rows[3], 5)
        """
    )


# ------------------------------------------------------- strides


def structured_field():
    record = np.zeros(4, dtype=[("v", "<f4", (DIM,)), ("flag", "u1")])
    return record["v"]  # byte strides (33, 4)


def column_stride(nbytes, rows=4):
    base = np.zeros(rows * DIM * 2, np.float32)
    return np.lib.stride_tricks.as_strided(base, shape=(rows, DIM), strides=(DIM * nbytes, nbytes))


def vector_stride(nbytes):
    base = np.zeros(DIM * 2, np.float32)
    return np.lib.stride_tricks.as_strided(base, shape=(DIM,), strides=(nbytes,))


@pytest.mark.parametrize("vectors", [structured_field(), column_stride(5), column_stride(2)],
                         ids=["structured-field", "5-byte-columns", "2-byte-columns"])
def test_strides_that_are_not_whole_floats_are_refused(vectors):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(ValueError, match=r"^vectors array must be C-contiguous \(row-major\)$"):
        index.add_batch(range(len(vectors)), vectors)
    with pytest.raises(ValueError, match="^queries must be a contiguous float32 array"):
        index.search_batch(vectors, 1)
    with pytest.raises(ValueError, match="^rerank must be a contiguous float32 array"):
        index.search_batch(np.zeros((1, DIM), np.float32), 1, rerank=vectors)
    assert index.size == 0


@pytest.mark.parametrize("nbytes", [5, 2, 0])
def test_query_strides_that_are_not_whole_floats_are_refused(nbytes):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(ValueError, match="^query must be a contiguous float32 array"):
        index.search(vector_stride(nbytes), 1)


# ------------------------------------------------------- fork


def child_uses(index):
    """In a fork child: search, add and search again; exit 0 only if all of it worked."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            size = index.size
            found = index.search(np.ones(DIM, np.float32), 3)
            index.add_batch([10**9], np.ones((1, DIM), np.float32))
            if index.size == size + 1 and len(found) == min(3, size) and index.search(np.ones(DIM, np.float32), 1):
                code = 0
        finally:
            os._exit(code)
    return wait_for_child(pid, HANG_LIMIT, "a forked child did not finish with an index it inherited")


@fork_with_threads
@fork_while_threads_allocate
@pytest.mark.parametrize("busy", ["search", "add_batch"])
def test_fork_while_another_thread_works(busy):
    index = lodex.Index(DIM, 4, False, 0)
    # Enough rows that a search lasts long enough for forks to land inside it.
    index.add_batch(range(400_000), np.ones((400_000, DIM), np.float32))
    stop = threading.Event()

    def work():
        batch = np.ones((20_000, DIM), np.float32)
        while not stop.is_set():
            if busy == "search":
                index.search(np.ones(DIM, np.float32), 5)
            else:
                index.add_batch(range(20_000), batch)
                index.remove(range(20_000))

    worker = threading.Thread(target=work)
    worker.start()
    try:
        codes = [child_uses(index) for _ in range(40)]
    finally:
        stop.set()
        worker.join()
    assert codes == [0] * 40


# ------------------------------------------- the index lock and the GIL


@pytest.mark.parametrize("waiter", ["size", "config", "repr", "len", "add_batch"])
def test_waiting_for_the_index_lock_lets_python_run(tmp_path, waiter):
    """A save into a FIFO holds the index lock (shared) until Python reads the
    FIFO; an add_batch then queues for the exclusive lock, which makes every
    later reader wait too. If a waiter held the interpreter lock while it
    waited, the Python thread that reads the FIFO could never run: the save,
    the add and the waiter would all hang. The watchdog turns that into a
    failure."""
    faulthandler.dump_traceback_later(HANG_LIMIT, exit=True, file=sys.__stderr__)
    try:
        index = lodex.Index(DIM, 4, False, 0)
        index.add_batch(range(100_000), np.ones((100_000, DIM), np.float32))
        fifo = str(tmp_path / "fifo")
        os.mkfifo(fifo)
        saving = threading.Thread(target=index.save, args=(fifo,))
        saving.start()
        reader = open(fifo, "rb")  # the save has opened it: it holds the lock now
        adding = threading.Thread(target=index.add_batch, args=([1], np.ones((1, DIM), np.float32)))
        adding.start()
        time.sleep(0.2)  # let the add queue for the exclusive lock
        waiting = threading.Thread(target={
            "size": lambda: index.size, "config": lambda: index.config, "repr": lambda: repr(index),
            "len": lambda: len(index), "add_batch": lambda: index.add_batch([2], np.ones((1, DIM), np.float32)),
        }[waiter])
        waiting.start()
        time.sleep(0.2)  # let the waiter block
        data = reader.read()  # only possible while the waiter lets Python run
        reader.close()
        for t in (saving, adding, waiting):
            t.join()
        assert len(data) == 52 + 100_000 * (10 + DIM // 2)
        assert index.size in (100_001, 100_002)
    finally:
        faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------- what a file header claims


def test_a_header_claiming_a_huge_dimension_costs_what_the_file_holds(tmp_path):
    path = tmp_path / "wide.ldx"
    header = b"LDXI" + struct.pack("<HIBBQQQQQ", 1, 2**28, 4, 0, 0, 0, 52, 52, 0)
    path.write_bytes(header)
    out = run_python(
        f"""
        import lodex

        def peak_kib():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

        before = peak_kib()
        index = lodex.Index.load({str(path)!r})
        print(index.size, index.config["dim"], peak_kib() - before)
        """
    )
    size, dim, grown_kib = map(int, out.split())
    assert (size, dim) == (0, 2**28)
    assert grown_kib < 64 * 1024  # the sign vector alone would be 1 GiB


# ------------------------------------------------------- the fault class


def test_internal_fault_can_be_caught_by_name(tmp_path):
    path = tmp_path / "short.ldx"
    header = b"LDXI" + struct.pack("<HIBBQQQQQ", 1, DIM, 4, 0, 0, 3, 52 + 24, 52 + 30, 0)
    path.write_bytes(header)
    with pytest.raises(lodex.InternalFault) as info:
        lodex.Index.load(str(path))
    assert type(info.value).__bases__ == (BaseException,)
    assert "InternalFault" not in lodex.__all__


# ------------------------------------------------ arrays at odd addresses


def misaligned(array):
    """The same float32 values at an address that is no multiple of 4."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float32, count=array.size, offset=1).reshape(array.shape)
    view[...] = array
    assert not view.flags.aligned
    return view


def test_misaligned_arrays_read_as_their_aligned_copies(rng):
    rows = rng.standard_normal((300, DIM)).astype(np.float32)
    queries = rng.standard_normal((4, DIM)).astype(np.float32)
    plain, odd = lodex.Index(DIM, 4, False, 3), lodex.Index(DIM, 4, False, 3)
    plain.add_batch(range(300), rows)
    odd.add_batch(range(300), misaligned(rows))
    assert odd.to_bytes() == plain.to_bytes()
    assert odd.search(misaligned(queries[0]), 5) == plain.search(queries[0], 5)
    for got, want in zip(odd.search_batch(misaligned(queries), 5, rerank=misaligned(rows)),
                         plain.search_batch(queries, 5, rerank=rows)):
        assert np.array_equal(got, want)


# --------------------------------------------- Ctrl-C during a stuck load


def test_ctrl_c_ends_a_load_from_a_fifo_that_never_ends(tmp_path):
    """A header promising rows that never come, through a FIFO whose writer
    stays open: the load waits in read(), and Ctrl-C must end it."""
    import signal

    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    header = b"LDXI" + struct.pack("<HIBBQQQQQ", 1, DIM, 4, 0, 0, 1000, 52 + 8000, 52 + 10000, 0)
    done = threading.Event()

    def writer():
        with open(fifo, "wb") as f:
            f.write(header)
            f.flush()
            done.wait(HANG_LIMIT)

    def interrupt(main):
        time.sleep(0.3)  # only so the load is already waiting in read()
        signal.pthread_kill(main, signal.SIGINT)

    feeding = threading.Thread(target=writer)
    feeding.start()
    interrupting = threading.Thread(target=interrupt, args=(threading.main_thread().ident,))
    interrupting.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            lodex.Index.load(fifo)
    finally:
        done.set()
        feeding.join()
        interrupting.join()
