"""lodex demo: build, fill, search, save and load an index, with recall and speed.

200,000 clustered vectors at dim 128 (fixed seed), indexed at 2, 3, 4 and 5
bits; recall@10 is measured against NumPy's exact inner products.
"""

import contextlib
import os
import sys
import tempfile
import time

import numpy as np

import lodex

N, DIM, QUERIES, K, BATCH, SEED = 200_000, 128, 200, 10, 10_000, 42


def clustered(rng, n, dim, clusters=1000):
    centres = rng.standard_normal((clusters, dim)).astype(np.float32)
    labels = rng.integers(0, clusters, n)
    return (centres[labels] + 0.5 * rng.standard_normal((n, dim))).astype(np.float32)


def progress(total, desc):
    """A tqdm bar on a terminal when tqdm is installed; otherwise no bar (None).

    Redrawn bars written to a log or a pipe are a line of carriage returns: there, the table's
    rows are the progress."""
    if not sys.stderr.isatty():
        return contextlib.nullcontext()
    try:
        from tqdm import tqdm
    except ModuleNotFoundError:
        return contextlib.nullcontext()
    return tqdm(total=total, desc=desc, unit="vec", leave=False)


def recall_at_k(index, queries, truth):
    hits = 0
    for query, expected in zip(queries, truth):
        hits += len({row_id for row_id, _ in index.search(query, K)} & set(expected.tolist()))
    return hits / truth.size


def main():
    rng = np.random.default_rng(SEED)
    data = clustered(rng, N + QUERIES, DIM)
    vectors, queries = data[:N], data[N:]
    print(f"data: {N:,} clustered vectors, dim {DIM}; {QUERIES} queries; exact top-{K} by NumPy")
    truth = np.argpartition(-(queries @ vectors.T), K, axis=1)[:, :K]  # the exact top-k sets

    print(f"\n{'bits':>4} {'bytes/vec':>9} {'add (vec/s)':>12} {'recall@10':>9} {'query (ms)':>10} {'QPS':>8}")
    indexes = {}
    for bits in (2, 3, 4, 5):
        index = lodex.Index(dim=DIM, bits=bits, use_qjl=False, seed=SEED)
        start = time.perf_counter()
        with progress(N, f"adding at {bits} bits") as bar:
            for lo in range(0, N, BATCH):
                index.add_batch(ids=range(lo, min(lo + BATCH, N)), vectors=vectors[lo : lo + BATCH])
                if bar is not None:
                    bar.update(min(BATCH, N - lo))
        add_rate = N / (time.perf_counter() - start)
        recall = recall_at_k(index, queries, truth)
        start = time.perf_counter()
        for query in queries:
            index.search(query, K)
        per_query = (time.perf_counter() - start) / QUERIES
        code_bytes = (DIM * bits + 7) // 8
        print(f"{bits:>4} {code_bytes + 10:>9} {add_rate:>12,.0f} {recall:>9.3f} {per_query * 1e3:>10.3f} "
              f"{1 / per_query:>8,.0f}")
        indexes[bits] = index

    index = indexes[4]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "demo.ldx")
        start = time.perf_counter()
        index.save(path)
        saved = time.perf_counter() - start
        start = time.perf_counter()
        loaded = lodex.Index.load(path)
        load_time = time.perf_counter() - start
        megabytes = os.path.getsize(path) / 1e6
    same = all(loaded.search(q, K) == index.search(q, K) for q in queries)
    print(f"\nsaved {megabytes:.1f} MB in {saved * 1e3:.0f} ms, loaded in {load_time * 1e3:.0f} ms: {loaded!r}")
    print(f"loaded index answers the same: {same}")
    if not same:
        raise SystemExit("loaded index differs from the saved one")


if __name__ == "__main__":
    main()
