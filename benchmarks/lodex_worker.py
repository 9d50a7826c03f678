"""Child process of bench.py that measures lodex in a process of its own.

    lodex_worker.py build  CONFIG_JSON   add rows, time searches on all CPUs, save
    lodex_worker.py pinned CONFIG_JSON   load the saved index, time searches on CPU 0

Running in a fresh process keeps the resident-memory reading of `build` clean,
and lets `pinned` restrict the CPU set before lodex (and NumPy) are imported:
every thread created afterwards, the search pool's workers included, inherits
the one-CPU affinity. Prints one JSON object on stdout.

CONFIG: data, queries, truth (.npy paths), ldx, bits, seed, k, warmup,
n_single (queries timed one per call), batch_repeat, one_core_batch (time
the batch on one core too: pinned, and threads=1), cpu, rerank (candidate
counts to time with `rerank=` the data file as a numpy.memmap; build only).
"""

from __future__ import annotations

import json
import os
import sys

MODE = sys.argv[1]
CONFIG = json.loads(sys.argv[2])
if MODE == "pinned":
    os.sched_setaffinity(0, {CONFIG["cpu"]})

import gc  # noqa: E402
import hashlib  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import lodex  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import recall_at_k, rss_bytes, thread_affinities, time_batch, time_single  # noqa: E402


def digest(ids: np.ndarray) -> str:
    """A short fingerprint of a result matrix, to compare two processes' answers."""
    return hashlib.sha1(np.ascontiguousarray(ids, dtype=np.uint64).tobytes()).hexdigest()[:16]


def single_mode(index, queries: np.ndarray, k: int, warmup: int, n: int, **kw) -> dict:
    """One query per call: `search`, or `search_batch` on a 1-row batch when
    keyword arguments (threads=1) are given."""
    if kw:
        def one(q):
            return index.search_batch(q[None, :], k, **kw)[0][0]
    else:
        def one(q):
            return np.array([i for i, _ in index.search(q, k)], dtype=np.uint64)
    wall0, cpu0 = time.perf_counter(), time.process_time()
    t = time_single(one, queries[: warmup + n], warmup)
    cpu_per_wall = (time.process_time() - cpu0) / (time.perf_counter() - wall0)
    return dict(times=t.wall, cpu_times=t.cpu, ids=np.array(t.found), cpu_per_wall=cpu_per_wall)


def batch_mode(index, batch: np.ndarray, k: int, repeat: int, truth: np.ndarray, **kw) -> dict:
    wall0, cpu0 = time.perf_counter(), time.process_time()
    t = time_batch(lambda qs: index.search_batch(qs, k, **kw)[0], batch, repeat)
    cpu_per_wall = (time.process_time() - cpu0) / (time.perf_counter() - wall0)
    ids = t.found
    return dict(times=t.wall, cpu_times=t.cpu, recall=recall_at_k(ids, truth, k), digest=digest(ids), ids=ids,
                cpu_per_wall=cpu_per_wall)


def main() -> None:
    queries = np.load(CONFIG["queries"])
    truth = np.load(CONFIG["truth"])
    k, warmup, n_single = CONFIG["k"], CONFIG["warmup"], CONFIG["n_single"]
    batch = queries[warmup:]
    out: dict = {}
    if MODE == "build":
        data = np.load(CONFIG["data"])
        ids = np.arange(len(data), dtype=np.int64)
        gc.collect()
        rss0 = rss_bytes()
        index = lodex.Index(data.shape[1], CONFIG["bits"], False, CONFIG["seed"])
        start = time.perf_counter()
        index.add_batch(ids, data)
        out["add_s"] = time.perf_counter() - start
        gc.collect()
        out["rss_growth"] = rss_bytes() - rss0
        del data, ids
        gc.collect()
        index.save(CONFIG["ldx"])
    else:
        index = lodex.Index.load(CONFIG["ldx"])

    threads_before = len(thread_affinities())
    one_core_batch = CONFIG["one_core_batch"]
    runs = {"single": single_mode(index, queries, k, warmup, n_single)}
    if MODE == "build" or one_core_batch:
        runs["batch"] = batch_mode(index, batch, k, CONFIG["batch_repeat"], truth)
    if MODE == "build":
        # threads=1 is the API's own way to one core: a cross-check of the pinned process.
        runs["single_threads1"] = single_mode(index, queries, k, warmup, n_single, threads=1)
        if one_core_batch:
            runs["batch_threads1"] = batch_mode(index, batch, k, CONFIG["batch_repeat"], truth, threads=1)
        if CONFIG["rerank"]:
            originals = np.load(CONFIG["data"], mmap_mode="r")  # a numpy.memmap of the float32 rows
            for candidates in CONFIG["rerank"]:
                runs[f"rerank{candidates}"] = batch_mode(
                    index, batch, k, CONFIG["batch_repeat"], truth, rerank=originals, candidates=candidates
                )
    affinities = thread_affinities()

    # One query per call must give the rows of the batch call.
    single_ids = runs["single"]["ids"]
    if "batch" in runs:
        out["single_matches_batch"] = bool(np.array_equal(single_ids, runs["batch"]["ids"][: len(single_ids)]))
    out["single_digest"] = digest(single_ids)
    for run in runs.values():
        del run["ids"]
    out.update(
        runs=runs,
        threads=len(affinities),
        threads_started_by_search=len(affinities) - threads_before,
        thread_cpus=sorted(set(affinities.values())),
        process_cpus=sorted(os.sched_getaffinity(0)),
        size=index.size,
    )
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
