"""One collection split over the workers of a Dask cluster, searched as if it were one index.

A `lodex_dask.ShardedIndex` keeps its rows in lodex shards on Dask workers (here a local cluster of
two worker processes, listening on 127.0.0.1 only), routes each row to a shard by its id, and
merges the shards' top-k lists. Its answers are those of one `lodex.Index` holding every row, which
this script checks, before saving the collection and loading it back.

    python examples/sharded_search.py [--rows N] [--shards N] [--queries N]
"""

import argparse
import tempfile

import numpy as np
from distributed import Client, LocalCluster

import lodex
import lodex_dask

DIM = 128
K = 10


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--queries", type=int, default=100)
    args = parser.parse_args()

    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((args.rows, DIM)).astype(np.float32)
    ids = rng.permutation(10 * args.rows)[: args.rows]  # any ids: routing does not need them dense
    queries = rng.standard_normal((args.queries, DIM)).astype(np.float32)

    single = lodex.Index(dim=DIM, bits=4, use_qjl=False, seed=42)
    single.add_batch(ids, vectors)
    print(single)

    # distributed's constructors carry no annotations, which mypy --strict reports.
    cluster = LocalCluster(  # type: ignore[no-untyped-call]
        host="127.0.0.1", n_workers=2, threads_per_worker=1, dashboard_address=None
    )
    with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
        sharded = lodex_dask.ShardedIndex(client, args.shards, dim=DIM, bits=4, use_qjl=False, seed=42)
        sharded.add_batch(ids, vectors)
        print(sharded, "holds", len(sharded), "rows on", ", ".join(sorted(set(sharded.shard_workers))))

        expected_ids, expected_scores = single.search_batch(queries, K)
        got_ids, got_scores = sharded.search_batch(queries, K)
        # Scores are reproducible bit for bit, so the merged answer is not merely close.
        if not (np.array_equal(got_scores, expected_scores) and np.array_equal(got_ids, expected_ids)):
            raise SystemExit("the sharded answers differ from the single index's")
        print(f"{args.queries} queries: the same {K} results as one index")

        doomed = ids[:100]
        print("removed", sharded.remove(doomed), "rows;", int(doomed[0]) in sharded)

        with tempfile.TemporaryDirectory() as directory:
            sharded.save(directory)
            again = lodex_dask.ShardedIndex.load(client, directory)
            assert again.search(queries[0], K) == sharded.search(queries[0], K)
            print("saved and loaded:", again, len(again), "rows")


if __name__ == "__main__":
    main()
