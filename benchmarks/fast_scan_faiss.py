"""FAISS peers for the C++ scan benchmark, on the same data in the same run.

Generates Gaussian rows and queries (fixed seeds), times FAISS
IndexPQFastScan(d, M=d, nbits=4) and IndexFlatIP with one query per call and
with a batch, on one thread and on two, then runs build/cpp/scan_bench on the
very same float32 files and prints both tables with lodex/FAISS ratios.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python \
        benchmarks/fast_scan_faiss.py [--rows N] [--dim D] [--batch B] [--bits 2,3,4,5]

Needs faiss-cpu==1.13.2 (a benchmark peer only) and the C++ benchmark built
with -DLODEX_BENCHMARKS=ON in build/cpp. Timings are minimums over repeats.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent


def best_ms(fn, repeats: int, clock=time.perf_counter) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = clock()
        fn()
        best = min(best, (clock() - start) * 1e3)
    return best


def faiss_times(index, queries: np.ndarray, k: int, singles: int, repeats: int, threads: int) -> tuple[float, float]:
    import faiss

    faiss.omp_set_num_threads(threads)
    # One thread: the calling thread's CPU time, as scan_bench reports it, so
    # that other processes on the machine inflate neither side. Two: wall time.
    clock = time.thread_time if threads == 1 else time.perf_counter

    def one_by_one() -> None:
        for q in queries[:singles]:
            index.search(q[None, :], k)

    single = best_ms(one_by_one, repeats, clock) / singles
    batch = best_ms(lambda: index.search(queries, k), max(1, repeats // 2), clock) / len(queries)
    return single, batch


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--bits", default="2,3,4,5")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--levels", default="", help="scan_bench --levels (default: its own)")
    args = parser.parse_args()

    import faiss

    rng = np.random.default_rng(1)
    rows = rng.standard_normal((args.rows, args.dim), dtype=np.float32)
    queries = rng.standard_normal((args.batch, args.dim), dtype=np.float32)
    out = ROOT / "build" / "bench"
    out.mkdir(parents=True, exist_ok=True)
    rows.tofile(out / "rows.f32")
    queries.tofile(out / "queries.f32")

    singles = min(args.batch, 20)
    peers = {}
    pq = faiss.IndexPQFastScan(args.dim, args.dim, 4, faiss.METRIC_INNER_PRODUCT)
    pq.train(rows[: min(args.rows, 100_000)])
    pq.add(rows)
    flat = faiss.IndexFlatIP(args.dim)
    flat.add(rows)
    for name, index in (("PQFastScan", pq), ("FlatIP", flat)):
        for threads in (1, 2):
            peers[(name, threads)] = faiss_times(index, queries, args.k, singles, args.repeats, threads)
    print(f"rows {args.rows}, dim {args.dim}, k {args.k}, batch {args.batch}; ms per query, min of repeats "
          "(1T: thread CPU time, 2T: wall)\n")
    print("| FAISS | single 1T | single 2T | batch 1T | batch 2T |")
    print("|---|---|---|---|---|")
    for name in ("PQFastScan", "FlatIP"):
        s1, b1 = peers[(name, 1)]
        s2, b2 = peers[(name, 2)]
        print(f"| {name} | {s1:.3f} | {s2:.3f} | {b1:.3f} | {b2:.3f} |")
    print(flush=True)

    bench = ROOT / "build" / "cpp" / "scan_bench"
    cmd = [str(bench), "--rows", str(args.rows), "--dim", str(args.dim), "--k", str(args.k), "--batch",
           str(args.batch), "--bits", args.bits, "--repeats", str(args.repeats), "--data", str(out / "rows.f32"),
           "--queries", str(out / "queries.f32")]
    if args.levels:
        cmd += ["--levels", args.levels]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    print(text)
    pq_s1, pq_b1 = peers[("PQFastScan", 1)]
    _, flat_b1 = peers[("FlatIP", 1)]
    print("| bits | level | path | single 1T / PQFastScan | batch 1T / PQFastScan | batch 1T / FlatIP | batch 2T speed-up |")
    print("|---|---|---|---|---|---|---|")
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) < 7 or not re.fullmatch(r"\d", cells[0]):
            continue
        s1, _, b1, b2 = (float(x) for x in cells[3:7])
        print(f"| {cells[0]} | {cells[1]} | {cells[2]} | {s1 / pq_s1:.2f} | {b1 / pq_b1:.2f} | {b1 / flat_b1:.2f} | "
              f"{b1 / b2:.2f} |")


if __name__ == "__main__":
    main()
