"""Several worker processes answering queries from one memory-mapped index.

The index is saved once with `save(path, mappable=True)`; every worker opens
it with `lodex.Index.load(path, mmap=True)`, which maps the file read-only
and shared instead of reading it. The open costs what the header costs, and
the rows live once in the page cache however many workers serve them: each
worker's proportional set size (Pss, from /proc/self/smaps_rollup) counts
its share of the mapped pages, and its private memory stays about that of an
idle interpreter. Workers are started with "spawn", so none inherits the
parent's in-memory copy. Only pipes connect the processes; nothing listens
on the network.

    python examples/serve_processes.py [--rows N] [--workers N] [--queries N]
"""

import argparse
import multiprocessing as mp
import multiprocessing.synchronize
import os
import tempfile
from typing import Any

import numpy as np
from numpy.typing import NDArray

import lodex

DIM = 256
K = 10


def memory() -> dict[str, int]:
    """This process's Pss and private memory in kB (empty where /proc has no smaps_rollup)."""
    try:
        with open("/proc/self/smaps_rollup") as f:
            fields = {line.split(":")[0]: int(line.split()[1]) for line in f if line.endswith("kB\n")}
    except OSError:
        return {}
    return {"pss": fields["Pss"], "private": fields["Private_Clean"] + fields["Private_Dirty"]}


def worker(path: str, queries: NDArray[np.float32], together: mp.synchronize.Barrier,
           results: "mp.Queue[tuple[Any, ...]]") -> None:
    # warm=True reads every page in before the first query: a slower open
    # for a fast first answer.
    index = lodex.Index.load(path, mmap=True, warm=True)
    ids, scores = index.search_batch(queries, K, threads=1)
    # Pss splits each shared page among the processes mapping it at the time
    # of reading: measure while every worker holds its map.
    together.wait()
    mem = memory()
    together.wait()
    results.put((os.getpid(), index.read_only, ids, scores, mem))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=500_000)
    parser.add_argument("--workers", type=int, default=3)
    parser.add_argument("--queries", type=int, default=64)
    args = parser.parse_args()

    rng = np.random.default_rng(5)
    index = lodex.Index(dim=DIM, bits=4, use_qjl=False, seed=42, metric="cosine")
    for start in range(0, args.rows, 100_000):
        stop = min(start + 100_000, args.rows)
        index.add_batch(ids=np.arange(start, stop), vectors=rng.standard_normal((stop - start, DIM), dtype=np.float32))
    queries = rng.standard_normal((args.queries, DIM), dtype=np.float32)
    print(index)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.ldx")
        index.save(path, mappable=True)
        size_kb = os.path.getsize(path) // 1024
        want_ids, want_scores = index.search_batch(queries, K)
        del index  # the workers serve the file; the parent keeps only the answers

        ctx = mp.get_context("spawn")
        results, together = ctx.Queue(), ctx.Barrier(args.workers, timeout=300)
        workers = [ctx.Process(target=worker, args=(path, queries, together, results)) for _ in range(args.workers)]
        for w in workers:
            w.start()
        answers = [results.get(timeout=300) for _ in workers]
        for w in workers:
            w.join()
        if any(w.exitcode != 0 for w in workers):
            raise SystemExit("a worker failed")

    # Pss counts a page shared by n processes as 1/n of a page in each: the
    # mapped rows appear split among the workers, not once per worker.
    print(f"index file: {size_kb:,} kB, served by {args.workers} processes")
    for pid, read_only, ids, scores, mem in sorted(answers, key=lambda a: a[0]):
        # A mapped index answers bit for bit as the in-memory one did.
        same = np.array_equal(ids, want_ids) and np.array_equal(scores.view(np.uint32), want_scores.view(np.uint32))
        if not (read_only and same):
            raise SystemExit(f"worker {pid} answered differently")
        usage = f"Pss {mem['pss']:,} kB, private {mem['private']:,} kB" if mem else "no /proc/self/smaps_rollup"
        print(f"worker {pid}: {len(ids)} queries answered as in memory; {usage}")


if __name__ == "__main__":
    main()
