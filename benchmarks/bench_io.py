"""Ingestion, memory and file speed of lodex.

  * add_batch rows/s at dim 128 and 1024, 4 bits (one call, one thread), next
    to the time NumPy takes to read the same matrix once (vectors.sum());
  * bytes per row from the process's resident memory after adding
    1,000,000 rows at dim 128, 4 bits (in one call, and in 100 calls);
  * save and Index.load of 1,000,000 rows in MB/s, next to shutil.copyfile of
    the same file (and copyfile plus fsync: save syncs its file to disk);
  * peak resident memory of a process that only loads that file.

    python benchmarks/bench_io.py            # full sizes
    python benchmarks/bench_io.py --quick    # small smoke run
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of, make_data, peak_rss_bytes, row_bytes, rss_bytes, ru_maxrss_bytes, write_report  # noqa: E402

BITS = 4
SEED = 42
MB = 1e6


def child_rss(rows: int, dim: int, batches: int) -> dict:
    """Resident-memory growth across adding `rows` rows in `batches` calls."""
    import lodex

    data = make_data("gaussian", rows, dim)
    ids = np.arange(rows, dtype=np.int64)
    gc.collect()
    before = rss_bytes()
    index = lodex.Index(dim, BITS, False, SEED)
    for part_ids, part in zip(np.array_split(ids, batches), np.array_split(data, batches)):
        index.add_batch(part_ids, np.ascontiguousarray(part))
    gc.collect()
    return dict(growth=rss_bytes() - before, size=index.size)


def child_load(path: str) -> dict:
    """Peak and current resident memory of loading `path`, over this process's baseline."""
    import lodex

    gc.collect()
    base_peak, base_now = peak_rss_bytes(), rss_bytes()
    index = lodex.Index.load(path)
    return dict(
        base_peak=base_peak,
        peak=peak_rss_bytes(),
        ru_maxrss=ru_maxrss_bytes(),
        base_now=base_now,
        after=rss_bytes(),
        size=index.size,
    )


def run_child(*args: str) -> dict:
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *args], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def copy_and_sync(src: str, dst: str) -> None:
    shutil.copyfile(src, dst)
    fd = os.open(dst, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def fmt_rate(x: float) -> str:
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return f"{x / scale:.3g}{unit}"
    return f"{x:.3g}"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small smoke sizes")
    ap.add_argument("--out-dir", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results"))
    ap.add_argument("--tmp-dir", default=None, help="where the index files are written (default: system temp)")
    ap.add_argument("--repeat", type=int, default=3, help="timings per figure (the best is kept)")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child:
        kind, *rest = args.child
        if kind == "rss":
            out = child_rss(int(rest[0]), int(rest[1]), int(rest[2]))
        else:
            out = child_load(rest[0])
        json.dump(out, sys.stdout)
        return

    import lodex

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    shapes = ((20_000, 128), (4_000, 1024)) if args.quick else ((1_000_000, 128), (100_000, 1024))
    file_rows = shapes[0][0]
    suffix = "-quick" if args.quick else ""
    os.makedirs(args.out_dir, exist_ok=True)
    report: dict = dict(bits=BITS)
    lines = [
        f"lodex bench_io: {BITS} bits, numpy {np.__version__}, Python {sys.version.split()[0]}, "
        f"best of {args.repeat}, load average at start " + " ".join(f"{x:.2f}" for x in os.getloadavg()),
        "",
        "| dim | rows | add_batch rows/s | add_batch input MB/s | vectors.sum() MB/s | add / sum time |",
        "|---|---|---|---|---|---|",
    ]

    # add_batch against one read of the same matrix
    report["add"] = []
    keep = None
    for rows, dim in shapes:
        log(f"add_batch {rows:,} x {dim}")
        data = make_data("gaussian", rows, dim)
        ids = np.arange(rows, dtype=np.int64)
        sum_s = best_of(lambda: data.sum(), args.repeat)
        add_s = float("inf")
        for _ in range(args.repeat):
            index = lodex.Index(dim, BITS, False, SEED)
            start = time.perf_counter()
            index.add_batch(ids, data)
            add_s = min(add_s, time.perf_counter() - start)
            if dim == shapes[0][1]:
                keep = index
            del index
            gc.collect()
        report["add"].append(dict(rows=rows, dim=dim, add_s=add_s, sum_s=sum_s))
        lines.append(
            f"| {dim} | {rows:,} | {fmt_rate(rows / add_s)} | {data.nbytes / add_s / MB:,.0f} | "
            f"{data.nbytes / sum_s / MB:,.0f} | {add_s / sum_s:.1f}x |"
        )
        del data, ids
        gc.collect()

    # resident memory per row
    rows, dim = shapes[0]
    stored = row_bytes(dim, BITS)
    lines += ["", f"| resident memory, {rows:,} rows x {dim}, {BITS} bits | bytes/row | vs {stored} stored |", "|---|---|---|"]
    report["rss"] = []
    for batches in (1, 100):
        log(f"resident memory, {batches} add_batch call(s)")
        got = run_child("rss", str(rows), str(dim), str(batches))
        per_row = got["growth"] / rows
        report["rss"].append(dict(batches=batches, **got))
        lines.append(f"| {batches} add_batch call(s) | {per_row:.2f} | {100 * (per_row / stored - 1):+.1f}% |")

    # save, load and a plain copy of the same file
    log(f"save / load {file_rows:,} rows")
    workdir = tempfile.mkdtemp(prefix="lodex-io-", dir=args.tmp_dir)
    try:
        path = os.path.join(workdir, "index.ldx")
        copy = os.path.join(workdir, "copy.ldx")
        save_s = best_of(lambda: keep.save(path), args.repeat)
        nbytes = os.path.getsize(path)
        load_s = best_of(lambda: lodex.Index.load(path), args.repeat)
        copy_s = best_of(lambda: shutil.copyfile(path, copy), args.repeat)
        copy_sync_s = best_of(lambda: copy_and_sync(path, copy), args.repeat)
        loaded = lodex.Index.load(path)
        query = make_data("gaussian", 1, dim, seed=7)[0]
        same = loaded.size == keep.size and loaded.search(query, 10) == keep.search(query, 10)
        del loaded, keep
        gc.collect()
        log("peak memory of load")
        mem = run_child("load", path)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    report["file"] = dict(
        rows=file_rows, bytes=nbytes, save_s=save_s, load_s=load_s, copy_s=copy_s, copy_sync_s=copy_sync_s,
        same_results=same, load_memory=mem,
    )
    lines += [
        "",
        f"| file of {file_rows:,} rows ({nbytes / MB:,.1f} MB) | seconds | MB/s | speed vs copyfile | speed vs copyfile + fsync |",
        "|---|---|---|---|---|",
    ]
    for name, secs in (("save", save_s), ("load", load_s), ("shutil.copyfile", copy_s), ("copyfile + fsync", copy_sync_s)):
        lines.append(
            f"| {name} | {secs:.3f} | {nbytes / secs / MB:,.0f} | {copy_s / secs:.2f}x | {copy_sync_s / secs:.2f}x |"
        )
    rows_in_memory = file_rows * stored
    peak = mem["peak"] - mem["base_now"]
    lines += [
        "",
        f"- loaded index answers as the saved one: {'yes' if same else 'NO'}",
        f"- load in a fresh process: peak RSS {peak / MB:,.1f} MB over its baseline "
        f"({peak / nbytes:.2f}x the file; file + rows = {(nbytes + rows_in_memory) / MB:,.1f} MB), "
        f"{(mem['after'] - mem['base_now']) / MB:,.1f} MB still resident after the load; "
        f"peak RSS {mem['peak'] / MB:,.1f} MB in all (VmHWM: ru_maxrss, {mem['ru_maxrss'] / MB:,.1f} MB, "
        "starts from the parent's resident size at the fork and can hide the child's own peak)",
        "- MB/s are 10^6 bytes per second of the file's size; the file is in the page cache for load and copy, "
        "and save ends with an fsync.",
    ]
    write_report(args.out_dir, f"bench_io{suffix}", "\n".join(lines), report)


if __name__ == "__main__":
    main()
