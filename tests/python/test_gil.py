"""add_batch, search, save and load give up the interpreter lock while they work.

Each case starts one long call on a thread and lets a pure-Python counter run
on another. The counter's progress during the call is compared with its
progress over an equally long stretch with nothing else running: a call that
kept the interpreter lock would leave the counter nearly still (only the
switch interval at either end of the call), one that released it leaves the
counter running at a good fraction of its solo pace.

Each call is made long by its own kind of work: a large batch; a search that
must wait for such a batch to finish; a save into a pipe and a load from a
pipe whose other end is a Python thread that reads or writes slowly. The
pipe cases cannot even finish unless Python code runs during the call.
"""

import collections.abc
import faulthandler
import os
import sys
import threading
import time

import numpy as np
import pytest

import lodex

DIM = 256
# The call must last about this long (sized from a measured rate below).
TARGET_SECONDS = 0.5
# Progress during the call, as a fraction of solo progress, below which the
# counter is taken to have been stopped by the call.
MIN_RATIO = 0.1
CALL_LIMIT = 60.0
CHUNK = 64 * 1024


@pytest.fixture(autouse=True)
def short_switch_interval():
    # A 1 ms switch interval bounds what the counter can do at the edges of a
    # call that keeps the lock, far below MIN_RATIO of a half-second call.
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    # A call that deadlocks holding the interpreter lock stops every Python
    # thread, timeouts included; this watchdog does not need the lock.
    faulthandler.dump_traceback_later(180, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(old)


class Counter(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.running = True

    def run(self):
        while self.running:
            self.count += 1


class LongCall:
    """prepare() sets the stage, call() is the measured call, finish() checks the outcome."""

    def __init__(self, call, prepare=lambda: None, finish=lambda: None):
        self.call, self.prepare, self.finish = call, prepare, finish


def counter_progress(long_call):
    """(counter progress during the call, counter progress alone for as long)."""
    counter = Counter()
    counter.start()
    outcome = {}

    def target():
        try:
            long_call.prepare()
            before, started = counter.count, time.monotonic()
            long_call.call()
            outcome["progress"] = counter.count - before
            outcome["seconds"] = time.monotonic() - started
            long_call.finish()
        except BaseException as e:  # noqa: BLE001 - re-raised below
            outcome["error"] = e

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(CALL_LIMIT)
    assert not thread.is_alive(), f"the call did not return within {CALL_LIMIT} s"
    if "error" in outcome:
        raise outcome["error"]
    before = counter.count
    time.sleep(outcome["seconds"])
    alone = counter.count - before
    counter.running = False
    counter.join()
    return outcome["progress"], alone


def batch_rows(index):
    """Rows of zeros enough for one add_batch of about TARGET_SECONDS (timed on a sample)."""
    sample = np.zeros((4000, DIM), np.float32)
    started = time.monotonic()
    index.add_batch(np.arange(4000), sample)
    rate = 4000 / max(time.monotonic() - started, 1e-6)
    # Zeros: the array is mapped lazily and, being only read, its pages all
    # share the kernel's zero page, so even a big batch costs little memory.
    return np.zeros((int(min(max(rate * TARGET_SECONDS, 4000), 4_000_000)), DIM), np.float32)


class SignallingIds(collections.abc.Sequence):
    """ids that report when add_batch has read the last of them."""

    def __init__(self, n):
        self.n = n
        self.read = threading.Event()

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        return range(self.n)[i]

    def __iter__(self):
        yield from range(self.n)
        self.read.set()


def saved_bytes(index, tmp_path):
    path = tmp_path / "plain.ldx"
    index.save(str(path))
    return path.read_bytes()


def filled_index():
    index = lodex.Index(DIM, 4, False, 1)
    data = np.random.default_rng(0).standard_normal((16000, DIM)).astype(np.float32)
    index.add_batch(range(16000), data)
    return index, data[:3]


def long_add_batch(tmp_path):
    index = lodex.Index(DIM, 4, False, 1)
    rows = batch_rows(index)
    return LongCall(lambda: index.add_batch(np.arange(len(rows)), rows))


def long_search(tmp_path):
    # The search waits for the exclusive lock of a long batch on another
    # thread: a search that waited holding the interpreter lock stops Python.
    index = lodex.Index(DIM, 4, False, 1)
    rows = batch_rows(index)
    ids = SignallingIds(len(rows))
    writer = threading.Thread(target=index.add_batch, args=(ids, rows), daemon=True)

    def prepare():
        writer.start()
        assert ids.read.wait(CALL_LIMIT)
        time.sleep(0.05)  # from here the batch holds the lock for most of TARGET_SECONDS

    def finish():
        writer.join(CALL_LIMIT)
        assert index.size == 4000 + len(rows)

    return LongCall(lambda: index.search(np.ones(DIM, np.float32), 5), prepare, finish)


def long_save(tmp_path):
    index, _ = filled_index()
    expected = saved_bytes(index, tmp_path)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    received = []

    def slow_reader():
        with open(pipe, "rb", buffering=0) as f:
            while chunk := f.read(CHUNK):
                received.append(chunk)
                time.sleep(TARGET_SECONDS * CHUNK / len(expected))

    reader = threading.Thread(target=slow_reader, daemon=True)

    def finish():
        reader.join(CALL_LIMIT)
        assert b"".join(received) == expected

    return LongCall(lambda: index.save(str(pipe)), reader.start, finish)


def long_load(tmp_path):
    index, rows = filled_index()
    content = saved_bytes(index, tmp_path)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    loaded = []

    def slow_writer():
        with open(pipe, "wb", buffering=0) as f:
            for at in range(0, len(content), CHUNK):
                f.write(content[at : at + CHUNK])
                time.sleep(TARGET_SECONDS * CHUNK / len(content))

    writer = threading.Thread(target=slow_writer, daemon=True)

    def finish():
        writer.join(CALL_LIMIT)
        (copy,) = loaded
        assert copy.size == index.size
        assert [copy.search(r, 5) for r in rows] == [index.search(r, 5) for r in rows]

    return LongCall(lambda: loaded.append(lodex.Index.load(str(pipe))), writer.start, finish)


@pytest.mark.parametrize("make_call", [long_add_batch, long_search, long_save, long_load],
                         ids=["add_batch", "search", "save", "load"])
def test_python_threads_run_during_the_call(tmp_path, make_call):
    during, alone = counter_progress(make_call(tmp_path))
    assert alone > 0
    assert during >= MIN_RATIO * alone, f"counter advanced {during} during the call, {alone} alone"
