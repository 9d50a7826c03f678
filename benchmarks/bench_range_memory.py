"""search_range with every row matching: peak resident memory and wall time.

Run each measurement in a fresh process (peak RSS is per process):
    /usr/bin/time -v .venv/bin/python benchmarks/bench_range_memory.py [rows] [queries]
It prints the returned bytes, the resident growth across the call (VmHWM
after minus VmRSS before) and the wall time of the one call.
"""

from __future__ import annotations

import sys
import time

import numpy as np

import lodex


def status_mb(field: str) -> float:
    """A /proc/self/status figure: ru_maxrss would count a parent's memory at fork."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":")) / 1024


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    queries = int(sys.argv[2]) if len(sys.argv) > 2 else 1_000
    dim = 64
    rng = np.random.default_rng(0)
    index = lodex.Index(dim=dim, bits=4, use_qjl=False, seed=42)
    index.add_batch(np.arange(rows), rng.standard_normal((rows, dim), dtype=np.float32))
    q = rng.standard_normal((queries, dim), dtype=np.float32)
    index.search_range(q[:1], -np.inf)  # warm the pool and the rotation
    before = status_mb("VmRSS")
    start = time.perf_counter()
    lims, ids, scores = index.search_range(q, -np.inf)  # every row passes
    wall = time.perf_counter() - start
    peak = status_mb("VmHWM")
    assert int(lims[-1]) == rows * queries
    returned = (lims.nbytes + ids.nbytes + scores.nbytes) / 2**20
    print(f"matches {rows * queries}  returned {returned:.0f} MB  "
          f"peak growth {peak - before:.0f} MB ({(peak - before) / returned:.2f}x)  wall {wall:.3f} s")


if __name__ == "__main__":
    main()
