"""add_batch, search, save and load give up the interpreter lock while they wait.

Each case sets up a call that cannot return before a second Python thread
has done its part, and that thread starts its part only once it sees the
call under way. A call that kept the interpreter lock while it waits would
never let that thread run, and would never return: the watchdog then ends
the run with every thread's stack. Nothing is timed.

- save writes into a pipe that this thread reads;
- load reads from a pipe that this thread feeds;
- add_batch waits for the index lock, held by a save stuck writing into a
  pipe until this thread drains it;
- search, size, len, repr and a second add_batch wait behind such an
  add_batch (a waiting writer holds off new readers), for the same pipe;
  config, which reads no row, answers meanwhile.

"Under way" is read from the calling thread's frame: each call is the only
line of a small function, and nothing on that line can hand the interpreter
lock over before the call into lodex, so another thread that finds the
caller on that line runs while the call is in progress (a call that returns
only after this thread's part cannot have returned yet).
"""

import os
import select
import sys
import threading
import time

import numpy as np
import pytest

import lodex

DIM = 256
ROWS = 16000  # a file of about 2 MB: many times what a pipe holds unread

pytestmark = pytest.mark.usefixtures("watchdog")


class Call(threading.Thread):
    """Starts running `function`, whose body is one line making a single call into lodex."""

    def __init__(self, function):
        super().__init__(daemon=True)
        self.function, self.result, self.error = function, None, None
        self.start()

    def run(self):
        try:
            self.result = self.function()
        except BaseException as e:  # noqa: BLE001 - re-raised by outcome()
            self.error = e

    def wait_until_under_way(self):
        """True once the call is under way; False when it was over first (its error raised here)."""
        code = self.function.__code__
        while self.is_alive():
            frame = sys._current_frames().get(self.ident)
            if frame is not None and frame.f_code is code and frame.f_lineno > code.co_firstlineno:
                return True
            time.sleep(0.001)  # gives up the interpreter lock, so the caller can get on
        self.outcome()
        return False

    def outcome(self):
        self.join()
        if self.error is not None:
            raise self.error
        return self.result


def filled_index():
    index = lodex.Index(DIM, 4, False, 1)
    index.add_batch(range(ROWS), np.random.default_rng(0).standard_normal((ROWS, DIM)).astype(np.float32))
    return index


def saved_bytes(index, tmp_path):
    path = tmp_path / "plain.ldx"
    index.save(str(path))
    return path.read_bytes()


def read_to_end(fd):
    chunks = []
    while chunk := os.read(fd, 1 << 16):
        chunks.append(chunk)
    os.close(fd)
    return b"".join(chunks)


def stuck_save(index, pipe):
    """A save into `pipe` that holds the index lock, blocked on the full pipe; and the pipe's read end."""
    read_end = os.open(pipe, os.O_RDONLY | os.O_NONBLOCK)  # so the save's open returns at once
    path = str(pipe)

    def call():
        return index.save(path)

    save = Call(call)
    select.select([read_end], [], [])  # bytes in the pipe: the save has the lock and is writing
    os.set_blocking(read_end, True)
    return save, read_end


def save_case(tmp_path):
    index = filled_index()
    expected = saved_bytes(index, tmp_path)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    path = str(pipe)

    def call():
        return index.save(path)

    save = Call(call)
    save.wait_until_under_way()
    assert read_to_end(os.open(pipe, os.O_RDONLY)) == expected
    save.outcome()


def load_case(tmp_path):
    index = filled_index()
    content = saved_bytes(index, tmp_path)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    path = str(pipe)

    def call():
        return lodex.Index.load(path)

    load = Call(call)
    load.wait_until_under_way()
    with open(pipe, "wb") as f:
        f.write(content)
    loaded = load.outcome()
    queries = np.random.default_rng(1).standard_normal((3, DIM)).astype(np.float32)
    assert loaded.size == ROWS
    assert [loaded.search(q, 5) for q in queries] == [index.search(q, 5) for q in queries]


def add_batch_case(tmp_path):
    index = filled_index()
    expected = saved_bytes(index, tmp_path)
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    save, read_end = stuck_save(index, pipe)
    ids, rows = np.array([10**9]), np.ones((1, DIM), np.float32)

    def call():
        return index.add_batch(ids, rows)

    add = Call(call)
    add.wait_until_under_way()
    assert read_to_end(read_end) == expected  # the save's snapshot, without the waiting row
    save.outcome()
    add.outcome()
    assert index.size == ROWS + 1


def behind_a_waiting_writer(reader):
    """A case: `reader` waits for the index lock behind an add_batch that waits for a stuck save."""

    def case(tmp_path):
        index = filled_index()
        expected = saved_bytes(index, tmp_path)
        pipe = tmp_path / "pipe"
        os.mkfifo(pipe)
        save, read_end = stuck_save(index, pipe)
        ids, rows, query = np.array([10**9]), np.full((1, DIM), 10.0, np.float32), np.ones(DIM, np.float32)
        more_ids = np.array([10**9 + 1])

        def add_call():
            return index.add_batch(ids, rows)

        def search():
            return index.search(query, 5)

        def size():
            return index.size

        def length():
            return len(index)

        def representation():
            return repr(index)

        def add_batch():
            return index.add_batch(more_ids, rows)

        calls = {"search": search, "size": size, "len": length, "repr": representation, "add_batch": add_batch}
        add = Call(add_call)
        add.wait_until_under_way()
        # A reader that comes before the add has queued shares the lock with
        # the save and is over at once, proving nothing: start another until
        # one waits (the add queues just after giving the interpreter lock up).
        while not (waiting := Call(calls[reader])).wait_until_under_way():
            pass
        assert index.config["dim"] == DIM  # reads no row, so never waits
        assert read_to_end(read_end) == expected  # the save's snapshot, without the waiting rows
        save.outcome()
        add.outcome()
        result = waiting.outcome()
        if reader == "search":
            assert len(result) == 5
        assert index.size == ROWS + 1 + (reader == "add_batch")

    return case


CASES = {"add_batch": add_batch_case, "save": save_case, "load": load_case}
CASES.update({f"{reader}-behind-a-writer": behind_a_waiting_writer(reader)
              for reader in ("search", "size", "len", "repr", "add_batch")})


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_python_threads_run_during_the_call(tmp_path, case):
    case(tmp_path)
