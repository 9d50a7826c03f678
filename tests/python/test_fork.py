"""Processes: a child of fork() made after the worker pool exists, pools of
multiprocessing workers (fork and spawn), and interpreter exit right after
searches. Each child builds, searches, saves and loads, and must get exactly
what this process gets for the same work.
"""

import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import lodex
from conftest import HANG_LIMIT, child_env, fork_while_threads_allocate, wait_for_child

DIM = 32
# Forking a process that runs threads (the search pool's) is what these tests
# do on purpose; Python warns about it.
fork_with_threads = pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")


def work(seed, directory):
    """Build, search, save and load; everything the caller compares."""
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((5000, DIM)).astype(np.float32)
    queries = rng.standard_normal((3, DIM)).astype(np.float32)
    index = lodex.Index(DIM, 3, True, seed)
    index.add_batch(range(5000), data)
    found = [index.search(q, 7) for q in queries]
    path = os.path.join(directory, f"work-{seed}-{os.getpid()}.ldx")
    index.save(path)
    loaded = lodex.Index.load(path)
    with open(path, "rb") as f:
        content = f.read()
    os.remove(path)
    return {
        "found": found,
        "found_after_load": [loaded.search(q, 7) for q in queries],
        "size": loaded.size,
        "file": content,
    }


@pytest.fixture(scope="module")
def expected(tmp_path_factory):
    directory = tmp_path_factory.mktemp("expected")
    return {seed: work(seed, str(directory)) for seed in (1, 2, 3)}


@pytest.fixture
def pool_started():
    """The search pool's threads exist in this process."""
    index = lodex.Index(DIM, 4, False, 0)
    index.add_batch(range(20000), np.ones((20000, DIM), np.float32))
    assert len(index.search(np.ones(DIM, np.float32), 3)) == 3


def forked_work(seed, directory):
    """work() in a child of fork(); its outcome, or None if the child failed."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: no pytest machinery from here on, only os._exit
        status = 1
        try:
            os.close(read_end)
            payload = pickle.dumps(work(seed, directory))
            with os.fdopen(write_end, "wb") as out:
                out.write(payload)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as f:
        payload = f.read()
    assert wait_for_child(pid, HANG_LIMIT, "the forked child did not finish") == 0
    return pickle.loads(payload)


@fork_with_threads
@pytest.mark.parametrize("others", ["idle", pytest.param("searching", marks=fork_while_threads_allocate)])
def test_fork_child_after_searches(pool_started, expected, tmp_path, others):
    # "searching": other threads keep the pool busy, so a fork may well catch
    # a worker holding one of the pool's locks; the child must not inherit it.
    stop = threading.Event()
    busy = lodex.Index(DIM, 4, False, 0)
    busy.add_batch(range(50000), np.ones((50000, DIM), np.float32))

    def search_until_stopped():
        while not stop.is_set():
            busy.search(np.ones(DIM, np.float32), 5)

    threads = [threading.Thread(target=search_until_stopped) for _ in range(2 if others == "searching" else 0)]
    for t in threads:
        t.start()
    try:
        for _ in range(3 if others == "searching" else 1):
            assert forked_work(2, str(tmp_path)) == expected[2]
    finally:
        stop.set()
        for t in threads:
            t.join()
    # The parent's own pool still serves searches after the forks.
    assert work(3, str(tmp_path)) == expected[3]


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
def test_fork_while_another_thread_works_on_the_index(busy):
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


@fork_with_threads
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool(pool_started, expected, tmp_path, method):
    context = multiprocessing.get_context(method)
    pool = context.Pool(2)
    try:
        results = pool.starmap_async(work, [(seed, str(tmp_path)) for seed in (1, 2, 3, 1)]).get(HANG_LIMIT)
    finally:
        # close and join rather than terminate: the workers then exit normally
        # (and a leak checker sees their exit).
        pool.close()
        pool.join()
    assert results == [expected[1], expected[2], expected[3], expected[1]]


EXIT_SCRIPTS = {
    "searches-just-finished": """
        import threading
        import numpy as np
        import lodex

        index = lodex.Index(64, 4, False, 1)
        index.add_batch(range(50000), np.ones((50000, 64), np.float32))
        query = np.ones(64, np.float32)
        threads = [threading.Thread(target=index.search, args=(query, 10)) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(index.search(query, 10)))
    """,
    "searches-still-running-in-daemon-threads": """
        import threading
        import numpy as np
        import lodex

        index = lodex.Index(64, 4, False, 1)
        index.add_batch(range(50000), np.ones((50000, 64), np.float32))
        query = np.ones(64, np.float32)

        def forever(i):
            while True:
                index.search(query, 10)
                if i == 0:
                    index.add_batch([0], np.ones((1, 64), np.float32))

        for i in range(4):
            threading.Thread(target=forever, args=(i,), daemon=True).start()
        print(len(index.search(query, 10)))
    """,
}


@pytest.mark.parametrize("name", EXIT_SCRIPTS)
def test_interpreter_exits_cleanly(name):
    # The interpreter ends daemon threads where they stand.
    env = child_env(leak_checks="daemon" not in name)
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(EXIT_SCRIPTS[name])],
        capture_output=True,
        text=True,
        timeout=HANG_LIMIT,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "10\n"
    assert result.stderr == ""
