"""One index shared by many threads at once, for a bounded time.

Several threads search, one adds batches and one saves (and reloads) in a
loop. Afterwards: no call hung, every saved file is a whole prefix of the
rows in insertion order, every search answered exactly what a fresh search
on a loaded copy of the same rows answers, and `size` never went down.
"""

import hashlib
import struct
import threading
import time

import numpy as np

import lodex

DIM = 64
BITS = 4
SEED = 21
BATCH = 2000
K = 10
RUN_SECONDS = 12.0
# A call taking this long means a deadlock (the bound is a hang detector only).
CALL_LIMIT = 60.0
HEADER = struct.Struct("<4sHIBBQQQQQ")


def prefix_sections(blob, n):
    """The ids, norms and codes of the first n rows of a file written by save."""
    _, _, dim, bits, _, _, count, norms_at, codes_at, _ = HEADER.unpack_from(blob)
    code_bytes = (dim * bits + 7) // 8
    assert n <= count
    return (
        blob[52 : 52 + 8 * n],
        blob[norms_at : norms_at + 2 * n],
        blob[codes_at : codes_at + code_bytes * n],
    )


def prefix_file(blob, n):
    """A file holding only the first n rows of a file written by save."""
    magic, version, dim, bits, use_qjl, seed, _, _, _, _ = HEADER.unpack_from(blob)
    ids, norms, codes = prefix_sections(blob, n)
    header = HEADER.pack(magic, version, dim, bits, use_qjl, seed, n, 52 + 8 * n, 52 + 10 * n, 0)
    return header + ids + norms + codes


def digest(sections):
    return hashlib.sha256(b"".join(sections)).hexdigest()


def same_ranking(got, want):
    """Equal scores rank by rank; equal ids except among tied scores."""
    if [s for _, s in got] != [s for _, s in want]:
        return False
    scores = [s for _, s in want]
    return all(g == w or scores.count(w[1]) > 1 for g, w in zip(got, want))


class Worker(threading.Thread):
    """Runs `step` until told to stop, timing each call; the first error stops everyone."""

    def __init__(self, name, step, stop):
        super().__init__(name=name, daemon=True)  # a hung call must not keep pytest alive
        self.step, self.stop, self.error, self.longest = step, stop, None, 0.0

    def run(self):
        try:
            while not self.stop.is_set():
                started = time.monotonic()
                self.step()
                self.longest = max(self.longest, time.monotonic() - started)
        except BaseException as e:  # noqa: BLE001 - reported by the test
            self.error = e
            self.stop.set()


def test_searches_batches_and_saves_on_one_index(tmp_path, watchdog):
    rng = np.random.default_rng(3)
    data = rng.standard_normal((BATCH * 20, DIM)).astype(np.float32)
    queries = rng.standard_normal((3, DIM)).astype(np.float32)
    index = lodex.Index(DIM, BITS, False, SEED)
    index.add_batch(range(BATCH), data[:BATCH])
    stop = threading.Event()

    # ---- the writer: batches of increasing ids (the vectors repeat), size
    # checked after each
    written = [BATCH]

    def add():
        n = written[-1]
        rows = data[n % len(data) :][:BATCH]
        index.add_batch(np.arange(n, n + BATCH, dtype=np.uint64), rows)
        size = index.size
        assert size == n + BATCH, f"size {size} after adding rows {n}..{n + BATCH}"
        written.append(size)

    # ---- the searchers: (size seen before, size seen after, query, results)
    seen = []

    def searcher(q):
        sizes = []

        def search():
            before = index.size
            results = index.search(queries[q], K)
            after = index.size
            assert before <= after, f"size went down from {before} to {after}"
            assert before % BATCH == after % BATCH == 0, f"a batch seen half-way: {before}, {after} rows"
            assert not sizes or sizes[-1] <= before, f"size went down from {sizes[-1]} to {before}"
            assert len(results) == K
            sizes.append(after)
            if before == after:  # the search saw exactly these rows
                seen.append((before, q, results))

        return search

    # ---- the saver: save, reload, check the count; keep a digest of the rows
    snapshots = []
    paths = [tmp_path / "a.ldx", tmp_path / "b.ldx"]

    def save():
        path = paths[len(snapshots) % 2]
        index.save(str(path))
        loaded = lodex.Index.load(str(path))
        blob = path.read_bytes()
        count = HEADER.unpack_from(blob)[6]
        assert loaded.size == count, f"file says {count} rows, load gave {loaded.size}"
        assert count % BATCH == 0, f"a save caught a batch half-way: {count} rows"
        ids = np.frombuffer(blob, "<u8", count, 52)
        assert np.array_equal(ids, np.arange(count)), "rows are not the first ones in insertion order"
        snapshots.append((count, digest(prefix_sections(blob, count))))

    workers = [Worker(f"search-{q}", searcher(q), stop) for q in range(len(queries))]
    workers += [Worker("add", add, stop), Worker("save", save, stop)]
    for w in workers:
        w.start()
    stop.wait(RUN_SECONDS)
    stop.set()
    deadline = time.monotonic() + CALL_LIMIT
    for w in workers:
        w.join(max(0.0, deadline - time.monotonic()))
    hung = [w.name for w in workers if w.is_alive()]
    assert not hung, f"calls did not return within {CALL_LIMIT} s: {hung}"
    for w in workers:
        if w.error is not None:
            raise AssertionError(f"{w.name} failed") from w.error
    assert all(w.longest < CALL_LIMIT for w in workers)
    assert written == sorted(written)
    assert snapshots and len(written) > 1 and seen, "every kind of call ran at least once"

    # Every snapshot is a prefix of the final rows, byte for byte.
    final = tmp_path / "final.ldx"
    index.save(str(final))
    blob = final.read_bytes()
    assert HEADER.unpack_from(blob)[6] == written[-1] == index.size
    for count, rows in snapshots:
        assert rows == digest(prefix_sections(blob, count)), f"snapshot of {count} rows differs from the final rows"

    # Every search equals a fresh search on a loaded copy holding the same rows.
    # Sizes are spread over the run; check up to 40 of them.
    by_size = {}
    for n, q, results in seen:
        by_size.setdefault(n, []).append((q, results))
    sizes = sorted(by_size)
    copy = tmp_path / "copy.ldx"
    for n in sorted(set(sizes[:: max(1, len(sizes) // 40)]) | {sizes[-1]}):
        copy.write_bytes(prefix_file(blob, n))
        loaded = lodex.Index.load(str(copy))
        assert loaded.size == n
        fresh = [loaded.search(q, K) for q in queries]
        for q, results in by_size[n]:
            assert same_ranking(results, fresh[q]), f"search over {n} rows differs from a fresh one"


def test_add_batch_is_not_starved_by_a_stream_of_searches():
    index = lodex.Index(64, 4, False, 1)
    rng = np.random.default_rng(5)
    index.add_batch(range(50_000), rng.standard_normal((50_000, 64)).astype(np.float32))
    query = rng.standard_normal(64).astype(np.float32)
    stop = threading.Event()

    def search_forever():
        while not stop.is_set():
            index.search(query, 10)

    searchers = [threading.Thread(target=search_forever) for _ in range(4)]
    for thread in searchers:
        thread.start()
    try:
        writer = threading.Thread(target=index.add_batch, args=([1], np.ones((1, 64), np.float32)))
        writer.start()
        writer.join(timeout=60)  # a hang detector, not a timing assertion
        assert not writer.is_alive(), "add_batch starved by searches"
    finally:
        stop.set()
        for thread in searchers:
            thread.join()
    assert index.size == 50_001
