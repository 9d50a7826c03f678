"""Several Python threads searching one lodex index at the same time.

`search` releases the GIL for the whole scan and holds the index only in
shared mode, so plain `threading` (here a ThreadPoolExecutor) runs queries
truly in parallel: no process pool, no copy of the index per worker. Each
search also spreads its scan over lodex's own worker threads, so on a small
machine the gain from more Python threads comes mostly from overlapping one
query's Python-side work with another's scan.

    python examples/threaded_search.py [--rows N] [--queries N] [--threads N]
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from numpy.typing import NDArray

import lodex

DIM = 128
K = 10


def clustered(rows: int, rng: np.random.Generator) -> NDArray[np.float32]:
    centres = rng.standard_normal((64, DIM)).astype(np.float32)
    labels = rng.integers(len(centres), size=rows)
    noise = rng.standard_normal((rows, DIM)).astype(np.float32)
    return centres[labels] + np.float32(0.5) * noise


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2)
    args = parser.parse_args()

    rng = np.random.default_rng(3)
    index = lodex.Index(dim=DIM, bits=4, use_qjl=False, seed=42)
    index.add_batch(ids=np.arange(args.rows), vectors=clustered(args.rows, rng))
    queries = list(clustered(args.queries, rng))
    print(index)

    def search(query: NDArray[np.float32]) -> list[tuple[int, float]]:
        return index.search(query=query, k=K)

    start = time.perf_counter()
    sequential = [search(q) for q in queries]
    one_thread = time.perf_counter() - start

    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        start = time.perf_counter()
        parallel = list(pool.map(search, queries))
        many_threads = time.perf_counter() - start

    # Scores are bit-reproducible however the work is split, so the answers
    # must be identical, not merely close.
    if parallel != sequential:
        raise SystemExit("threaded results differ from sequential ones")
    print(f"1 thread:   {len(queries) / one_thread:8.0f} queries/s")
    print(f"{args.threads} threads:  {len(queries) / many_threads:8.0f} queries/s (same {K} results per query)")


if __name__ == "__main__":
    main()
