"""Managing a catalogue: remove rows, filter searches, re-rank, move the index.

A shop keeps one embedding per product. Products are discontinued (their rows
are removed), searches are restricted to what is in stock (an allow-list of
ids), the best candidates are re-ranked against the original float32 vectors
kept on disk (a memory map, so they need not fit in memory), and the index is
handed to a worker process by pickling it.

    python examples/manage_rows.py [--products N]
"""

import argparse
import concurrent.futures
import os
import tempfile

import numpy as np
from numpy.typing import NDArray

import lodex

DIM = 128


def recall(found: NDArray[np.uint64], truth: NDArray[np.int64]) -> float:
    hits = sum(len(set(f.tolist()) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / truth.size


def best_in_stock(index: lodex.Index, queries: NDArray[np.float32], stock: NDArray[np.int64]) -> NDArray[np.uint64]:
    """Runs in a worker process: the index arrived there by pickle."""
    ids, _ = index.search_batch(queries, 5, allow=stock)
    return ids


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--products", type=int, default=50_000)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    n = args.products

    with tempfile.TemporaryDirectory() as directory:
        # The original vectors live on disk; row `id` is product `id`.
        originals = np.lib.format.open_memmap(
            os.path.join(directory, "vectors.npy"), mode="w+", dtype=np.float32, shape=(n, DIM)
        )
        originals[:] = rng.standard_normal((n, DIM), dtype=np.float32)
        originals.flush()

        index = lodex.Index(dim=DIM, bits=4, use_qjl=False, seed=42)
        index.add_batch(ids=np.arange(n), vectors=originals)
        print(index)

        # Discontinued products leave the index; their memory goes with them.
        discontinued = rng.choice(n, n // 10, replace=False)
        removed = index.remove(discontinued)
        assert removed == len(discontinued) and len(index) == n - removed
        assert int(discontinued[0]) not in index

        queries = rng.standard_normal((20, DIM), dtype=np.float32)
        live = np.setdiff1d(np.arange(n), discontinued)

        # Plain search, then re-ranked against the originals.
        truth = live[np.argsort(-(queries @ originals[live].T), axis=1)[:, :10]]
        plain, _ = index.search_batch(queries, 10)
        reranked, exact = index.search_batch(queries, 10, rerank=originals, candidates=80)
        print(f"recall@10: compressed {recall(plain, truth):.2f}, re-ranked {recall(reranked, truth):.2f}")
        assert recall(reranked, truth) >= recall(plain, truth)
        assert np.allclose(exact[0], originals[reranked[0].astype(np.int64)] @ queries[0], rtol=1e-4, atol=1e-4)

        # Only products in stock: every query still gets its five results.
        stock = rng.choice(live, len(live) // 100, replace=False)
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            in_stock = pool.submit(best_in_stock, index, queries, stock).result()
        assert in_stock.shape == (20, 5) and np.isin(in_stock, stock).all()
        print(f"in stock: {len(stock)} products; best for query 0: {in_stock[0].tolist()}")


if __name__ == "__main__":
    main()
