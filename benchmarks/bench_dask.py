"""Batch search on a sharded index (lodex_dask) against one Index in one process, on the same cores.

One Index holds every row in this process and searches with all its cores; the sharded index
splits the same rows over `--shards` shards on a loopback LocalCluster of `--workers` worker
processes of one thread each. Both answer the same batches of queries (timed alternately, so
machine noise falls on both); the script checks the answers are identical and reports queries/s,
their ratio, and what the coordinator adds: the merge's time per query, and the round trip alone
(the same calls on shards of 1,000 rows, where the scan costs next to nothing).

    python benchmarks/bench_dask.py            # 4,000,000 x 128 at 4 bits, 2 shards, 2 workers
    python benchmarks/bench_dask.py --quick    # 200,000 rows: a smoke run of a few seconds
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import QUERY_SEED, best_of, make_data  # noqa: E402

SEED = 42


def same_answers(expected, got) -> bool:
    """Equal score bits, and equal ids wherever scores are distinct (tied rows may swap places)."""
    if expected[1].tobytes() != got[1].tobytes():
        return False
    for want, have, scores in zip(expected[0], got[0], expected[1]):
        starts = np.flatnonzero(np.r_[True, scores[1:] != scores[:-1]])
        for start, end in zip(starts, np.r_[starts[1:], len(scores)]):
            if (end < len(scores) or end - start == 1) and sorted(want[start:end]) != sorted(have[start:end]):
                return False
    return True


def merge_inputs(shards: int, queries: int, k: int, rows: int):
    """Per-shard answers of the shapes a batch brings back (k best of each query, sorted), to time the merge."""
    rng = np.random.default_rng(7)
    return [
        (rng.integers(0, rows, (queries, k)).astype(np.uint64),
         -np.sort(-rng.standard_normal((queries, k)).astype(np.float32), axis=1))
        for _ in range(shards)
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=4_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--shards", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch", type=int, default=200, help="queries per search_batch call")
    parser.add_argument("--batches", type=int, default=7, help="timed batches per side")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--quick", action="store_true", help="200,000 rows, 3 batches")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.batches = 200_000, 3

    import lodex
    from distributed import Client, LocalCluster

    import lodex_dask

    print(f"data: {args.rows:,} x {args.dim} Gaussian, {args.bits} bits; batches of {args.batch} queries, k = {args.k}")
    # Other processes on the machine slow both sides; the load tells how quiet it was.
    print("load average at start: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    vectors = make_data("gaussian", args.rows, args.dim)
    ids = np.arange(args.rows, dtype=np.uint64)
    batches = [
        np.random.default_rng(QUERY_SEED + b).standard_normal((args.batch, args.dim), dtype=np.float32)
        for b in range(args.batches + 1)
    ]

    single = lodex.Index(args.dim, args.bits, False, SEED)
    single.add_batch(ids, vectors)

    with LocalCluster(host="127.0.0.1", n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(args.workers, timeout=120)
        sharded = lodex_dask.ShardedIndex(client, args.shards, args.dim, args.bits, False, SEED, timeout=600)
        started = time.perf_counter()
        sharded.add_batch(ids, vectors)
        add_seconds = time.perf_counter() - started
        del vectors
        print(f"sharded add_batch: {add_seconds:.1f} s ({args.rows / add_seconds / 1e6:.2f} M rows/s)")

        # One warm-up batch each, then the timed ones, alternating.
        single.search_batch(batches[0], args.k)
        sharded.search_batch(batches[0], args.k)
        single_times, sharded_times, merge_times, identical = [], [], [], True
        for queries in batches[1:]:
            started = time.perf_counter()
            expected = single.search_batch(queries, args.k)
            single_times.append(time.perf_counter() - started)
            started = time.perf_counter()
            got = sharded.search_batch(queries, args.k)
            sharded_times.append(time.perf_counter() - started)
            identical &= same_answers(expected, got)
            parts = merge_inputs(args.shards, args.batch, args.k, args.rows)
            started = time.perf_counter()
            lodex_dask.merge_top_k(parts, args.k)
            merge_times.append(time.perf_counter() - started)

        # The price of the round trip alone: the same calls on shards of 1,000 rows each.
        tiny = lodex_dask.ShardedIndex(client, args.shards, args.dim, args.bits, False, SEED, timeout=600)
        tiny.add_batch(ids[: 1_000 * args.shards], make_data("gaussian", 1_000 * args.shards, args.dim))
        floor_batch = best_of(lambda: tiny.search_batch(batches[1], args.k), 20)
        floor_query = best_of(lambda: tiny.search(batches[1][0], args.k), 20)

    single_s = statistics.median(single_times)
    sharded_s = statistics.median(sharded_times)
    merge_s = statistics.median(merge_times)
    result = {
        "rows": args.rows, "dim": args.dim, "bits": args.bits, "shards": args.shards, "workers": args.workers,
        "batch": args.batch, "k": args.k, "batches": args.batches,
        "single_qps": args.batch / single_s, "sharded_qps": args.batch / sharded_s,
        "ratio": single_s / sharded_s,
        "merge_us_per_query": merge_s / args.batch * 1e6,
        "floor_ms_per_batch": floor_batch * 1e3,
        "floor_ms_per_search": floor_query * 1e3,
        "identical": identical,
        "load_average_end": os.getloadavg(),
        "add_rows_per_s": args.rows / add_seconds,
    }
    print()
    print("| index | queries/s | ms per batch |")
    print("|---|---|---|")
    print(f"| one Index, this process, {os.cpu_count()} cores | {result['single_qps']:.1f} | {single_s * 1e3:.0f} |")
    print(f"| ShardedIndex, {args.shards} shards on {args.workers} workers x 1 thread | "
          f"{result['sharded_qps']:.1f} | {sharded_s * 1e3:.0f} |")
    print()
    print(f"sharded / single throughput: {result['ratio']:.3f}")
    print(f"merge: {result['merge_us_per_query']:.2f} us per query")
    print(f"round trip alone (shards of 1,000 rows): {floor_batch * 1e3:.2f} ms per batch of {args.batch}, "
          f"{floor_query * 1e3:.2f} ms per single search")
    print(f"answers identical to the single index: {identical}")
    print("load average at end: {:.2f} {:.2f} {:.2f}".format(*os.getloadavg()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
    if not identical:
        sys.exit("the sharded answers differ from the single index's")


if __name__ == "__main__":
    main()
