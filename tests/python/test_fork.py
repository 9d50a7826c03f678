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
from conftest import fork_while_threads_allocate, wait_for_child

DIM = 32
LIMIT = 120.0  # seconds; only a hang detector
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
    assert wait_for_child(pid, LIMIT, "the forked child did not finish") == 0
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


@fork_with_threads
@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_multiprocessing_pool(pool_started, expected, tmp_path, method):
    context = multiprocessing.get_context(method)
    pool = context.Pool(2)
    try:
        results = pool.starmap_async(work, [(seed, str(tmp_path)) for seed in (1, 2, 3, 1)]).get(LIMIT)
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
    env = dict(os.environ)
    if "daemon" in name and "ASAN_OPTIONS" in env:
        # The interpreter ends daemon threads where they stand, and what their
        # frames hold is never released: a leak of CPython's, not of lodex.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(EXIT_SCRIPTS[name])],
        capture_output=True,
        text=True,
        timeout=LIMIT,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "10\n"
    assert result.stderr == ""
