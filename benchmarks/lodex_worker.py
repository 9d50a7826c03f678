"""Child process of bench.py that measures lodex in a process of its own.

    lodex_worker.py build  CONFIG_JSON   add rows, time searches on all CPUs, save
    lodex_worker.py pinned CONFIG_JSON   load the saved index, time searches on CPU 0

Running in a fresh process keeps the resident-memory reading of `build` clean,
and lets `pinned` restrict the CPU set before lodex (and NumPy) are imported:
every thread created afterwards, the search pool's workers included, inherits
the one-CPU affinity. Prints one JSON object on stdout.
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
import time  # noqa: E402

import numpy as np  # noqa: E402

import lodex  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import rss_bytes, thread_affinities  # noqa: E402


def time_queries(index, queries: np.ndarray, k: int, warmup: int) -> tuple[list[float], list[list[int]], float]:
    """Per-query wall seconds, result ids and process CPU seconds / wall seconds
    of queries[warmup:], after searching queries[:warmup] untimed."""
    for q in queries[:warmup]:
        index.search(q, k)
    queries = queries[warmup:]
    times, ids = [], []
    wall0, cpu0 = time.perf_counter(), time.process_time()
    for q in queries:
        start = time.perf_counter()
        result = index.search(q, k)
        times.append(time.perf_counter() - start)
        ids.append([i for i, _ in result])
    wall = time.perf_counter() - wall0
    return times, ids, (time.process_time() - cpu0) / wall


def main() -> None:
    queries = np.load(CONFIG["queries"])
    k = CONFIG["k"]
    out: dict = {}
    if MODE == "build":
        data = np.load(CONFIG["data"])
        ids = np.arange(len(data), dtype=np.int64)
        gc.collect()
        rss0 = rss_bytes()
        index = lodex.Index(data.shape[1], CONFIG["bits"], False, CONFIG["seed"])
        start = time.perf_counter()
        index.add_batch(ids, data)
        add_s = time.perf_counter() - start
        gc.collect()
        out["rss_growth"] = rss_bytes() - rss0
        out["add_s"] = add_s
        del data, ids
        gc.collect()
        index.save(CONFIG["ldx"])
    else:
        index = lodex.Index.load(CONFIG["ldx"])
    threads_before = len(thread_affinities())
    times, found, cpu_ratio = time_queries(index, queries, k, CONFIG["warmup"])
    affinities = thread_affinities()
    out.update(
        times=times,
        ids=found,
        cpu_per_wall=cpu_ratio,
        threads=len(affinities),
        threads_started_by_search=len(affinities) - threads_before,
        thread_cpus=sorted(set(affinities.values())),
        process_cpus=sorted(os.sched_getaffinity(0)),
        size=index.size,
    )
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
