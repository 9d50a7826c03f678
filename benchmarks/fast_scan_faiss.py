"""lodex's scan against FAISS's 4-bit fast scan, level by level, on the same data in one run.

Generates Gaussian rows and queries (fixed seeds), then for each FAISS build
level (GENERIC, AVX2, AVX512; each in a subprocess of its own with
FAISS_OPT_LEVEL set) times IndexPQFastScan(d, M=d, nbits=4) with one query per
call and with a batch, on one thread; runs build/cpp/scan_bench on the very
same float32 files at every lodex level and width, one thread, in interleaved
rounds; and prints one table per level with the ratios to FAISS at the
matching level and each width's batch over 4 bits'. With --baseline, another scan_bench binary (an older build)
runs on the same files too, for a same-session before/after comparison.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE .venv/bin/python \\
        benchmarks/fast_scan_faiss.py [--rows N] [--dim D] [--batch B] [--bits 2,3,4,5] \\
        [--levels scalar,avx2,...] [--faiss-levels GENERIC,AVX2,AVX512] [--baseline path/to/scan_bench]

Needs faiss-cpu==1.13.2 (a benchmark peer only) and the C++ benchmark built
with -DLODEX_BENCHMARKS=ON in build/cpp. Timings are minimums over repeats of
the calling thread's CPU time, so other processes on the machine inflate
neither side.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
# The FAISS build each lodex level is held against.
FAISS_LEVEL_OF = {"scalar": "GENERIC", "avx2": "AVX2", "avx512": "AVX512", "avx512vnni": "AVX512",
                  "avx512vbmi": "AVX512"}


def best_ms(fn, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.thread_time()
        fn()
        best = min(best, (time.thread_time() - start) * 1e3)
    return best


def faiss_worker(args: argparse.Namespace) -> None:
    """Runs in a subprocess with FAISS_OPT_LEVEL set: builds the index once,
    then prints one JSON line of timings per line read from stdin."""
    import faiss

    data = Path(args.data)
    rows = np.fromfile(data / "rows.f32", dtype=np.float32).reshape(-1, args.dim)
    queries = np.fromfile(data / "queries.f32", dtype=np.float32).reshape(-1, args.dim)
    faiss.omp_set_num_threads(1)
    index = faiss.IndexPQFastScan(args.dim, args.dim, 4, faiss.METRIC_INNER_PRODUCT)
    index.train(rows[: min(len(rows), 100_000)])
    index.add(rows)
    del rows
    singles = min(len(queries), 20)

    def one_by_one() -> None:
        for q in queries[:singles]:
            index.search(q[None, :], args.k)

    for _ in sys.stdin:
        single = best_ms(one_by_one, args.repeats) / singles
        batch = best_ms(lambda: index.search(queries, args.k), max(1, args.repeats // 2)) / len(queries)
        # The compile options name the instruction set of the library that loaded.
        print(json.dumps({"single": single, "batch": batch, "build": faiss.get_compile_options()}), flush=True)


class FaissPeer:
    """A worker process holding one FAISS build level's index."""

    def __init__(self, level: str, args: argparse.Namespace, data: Path) -> None:
        env = {k: v for k, v in os.environ.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
        env["FAISS_OPT_LEVEL"] = level
        cmd = [sys.executable, __file__, "--faiss-worker", "--data", str(data), "--dim", str(args.dim), "--k",
               str(args.k), "--repeats", str(args.repeats)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def time(self) -> dict:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.close()
        self.proc.wait()


def best_of(a: dict, b: dict) -> dict:
    """Cell-wise minimum of two {cell: (single, batch)} tables."""
    return {key: tuple(map(min, a[key], t)) if key in a else t for key, t in b.items()}


def run_scan_bench(binary: Path, args: argparse.Namespace, data: Path, levels: str) -> dict:
    """{(bits, level): (single ms, batch ms)} from one scan_bench run, auto path, one thread."""
    cmd = [str(binary), "--rows", str(args.rows), "--dim", str(args.dim), "--k", str(args.k), "--batch",
           str(args.batch), "--bits", args.bits, "--repeats", str(args.repeats), "--data", str(data / "rows.f32"),
           "--queries", str(data / "queries.f32"), "--paths", "auto", "--threads", "1"]
    if levels:
        cmd += ["--levels", levels]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    found = {}
    for line in text.splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) < 7 or not re.fullmatch(r"\d", cells[0]):
            continue
        found[(int(cells[0]), cells[1])] = (float(cells[3]), float(cells[5]))
    return found


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--bits", default="2,3,4,5")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds of every side")
    parser.add_argument("--levels", default="", help="scan_bench --levels (default: every supported level)")
    parser.add_argument("--faiss-levels", default="GENERIC,AVX2,AVX512")
    parser.add_argument("--baseline", default="", help="another scan_bench binary to run on the same data")
    parser.add_argument("--baseline-levels", default="avx512vbmi", help="the levels the baseline runs")
    parser.add_argument("--faiss-worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--data", default="", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.faiss_worker:
        faiss_worker(args)
        return

    rng = np.random.default_rng(1)
    data = ROOT / "build" / "bench"
    data.mkdir(parents=True, exist_ok=True)
    rng.standard_normal((args.rows, args.dim), dtype=np.float32).tofile(data / "rows.f32")
    rng.standard_normal((args.batch, args.dim), dtype=np.float32).tofile(data / "queries.f32")

    # Rounds interleave every side, each keeping its best figure per cell:
    # on a shared machine each side then gets the same chances at quiet moments.
    # The order of the sides rotates from round to round: on a busy machine
    # the side that ran first in every round measured up to 20 % slower than
    # with its place swapped.
    peers = {level: FaissPeer(level, args, data) for level in args.faiss_levels.split(",")}
    faiss: dict = {}
    lodex: dict = {}
    baseline: dict = {}

    def time_faiss(level: str, peer: FaissPeer) -> None:
        t = peer.time()
        old = faiss.get(level)
        faiss[level] = t if old is None else {**t, "single": min(t["single"], old["single"]),
                                              "batch": min(t["batch"], old["batch"])}

    def time_lodex() -> None:
        nonlocal lodex
        lodex = best_of(lodex, run_scan_bench(ROOT / "build" / "cpp" / "scan_bench", args, data, args.levels))

    def time_baseline() -> None:
        nonlocal baseline
        baseline = best_of(baseline, run_scan_bench(Path(args.baseline), args, data, args.baseline_levels))

    sides = [lambda level=level, peer=peer: time_faiss(level, peer) for level, peer in peers.items()]
    sides.append(time_lodex)
    if args.baseline:
        sides.append(time_baseline)
    for r in range(args.rounds):
        for side in sides[r % len(sides):] + sides[:r % len(sides)]:
            side()
    for peer in peers.values():
        peer.close()

    print(f"rows {args.rows}, dim {args.dim}, k {args.k}, batch {args.batch}; one thread, ms per query "
          f"(min over {args.rounds} interleaved rounds of {args.repeats} repeats of thread CPU time)\n")
    print("| FAISS level | build | single | batch |")
    print("|---|---|---|---|")
    for level, t in faiss.items():
        print(f"| {level} | {t['build'].strip()} | {t['single']:.3f} | {t['batch']:.3f} |")
    print()
    head = "| level | bits | single | batch | single / FAISS | batch / FAISS | batch / 4 bits |"
    sep = "|---|---|---|---|---|---|---|"
    if baseline:
        head += " single / baseline | batch / baseline |"
        sep += "---|---|"
    print(head)
    print(sep)
    levels = list(dict.fromkeys(level for _, level in lodex))
    for level in levels:
        peer = faiss.get(FAISS_LEVEL_OF.get(level, ""))
        four = lodex.get((4, level))
        for bits in sorted(b for b, lv in lodex if lv == level):
            single, batch = lodex[(bits, level)]
            cells = [level, str(bits), f"{single:.3f}", f"{batch:.3f}"]
            cells += [f"{single / peer['single']:.2f}", f"{batch / peer['batch']:.2f}"] if peer else ["-", "-"]
            cells.append(f"{batch / four[1]:.2f}" if four else "-")
            if baseline:
                old = baseline.get((bits, level))
                cells += [f"{single / old[0]:.2f}", f"{batch / old[1]:.2f}"] if old else ["-", "-"]
            print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
