"""What filtering, re-ranking and removal cost, on 1,000,000 x 128 Gaussian
rows at 4 bits with batches of 200 queries (k = 10):

  * search_batch with `allow` = 1 % of the ids, and = every id, against the
    unfiltered batch;
  * search_batch with `rerank` = a numpy.memmap of the original float32 rows
    and candidates = 40: recall@10 and time against the plain batch;
  * an index after remove() of half its rows against one built from the
    surviving rows alone: batch time and resident memory (fresh processes).

Each setting is timed on all cores (the default) and with threads=1, best of
--repeat calls (on a shared machine other work only ever adds time), the
settings taken in turn so that a change in the machine's load touches them
alike. Writes collection.md and collection.json.

    python benchmarks/bench_collection.py            # full size
    python benchmarks/bench_collection.py --quick    # small smoke run
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import LoadMeter, exact_top_k, make_data, make_queries, recall_at_k, rss_anon_bytes, write_report  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
K = 10
BITS = 4
SEED = 42
BATCH = 200
ALLOW_FRACTION = 0.01
CANDIDATES = 40
REMOVE_FRACTION = 0.5
SELECTION_SEED = 20240603


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def removed_ids(rows: int) -> np.ndarray:
    """The ids remove() takes away: a fixed random half of 0 .. rows-1."""
    rng = np.random.default_rng(SELECTION_SEED)
    return np.sort(rng.choice(rows, int(rows * REMOVE_FRACTION), replace=False)).astype(np.int64)


def child_memory(how: str, path: str) -> dict:
    """Anonymous resident memory (RssAnon) an index of the surviving rows takes,
    built either by adding every row of the .npy file at `path` and removing
    the rest ("remove") or by adding the file's rows, the survivors, alone
    ("survivors"). The rows are a memory-mapped file, so neither they nor any
    temporary of making them is counted."""
    import lodex

    data = np.load(path, mmap_mode="r")
    rows, dim = data.shape
    ids = np.arange(rows, dtype=np.int64)  # their values do not change the memory an index takes
    gone = removed_ids(rows) if how == "remove" else None
    gc.collect()
    before = rss_anon_bytes()
    index = lodex.Index(dim, BITS, False, SEED)
    index.add_batch(ids, data)
    out = dict(after_add=rss_anon_bytes() - before)
    if gone is not None:
        start = time.perf_counter()
        out["removed"] = index.remove(gone)
        out["remove_s"] = time.perf_counter() - start
    gc.collect()
    out.update(growth=rss_anon_bytes() - before, size=index.size)
    # What of that is free heap the allocator keeps rather than memory the index holds.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    out["growth_after_trim"] = rss_anon_bytes() - before
    return out


def run_child(how: str, path: str) -> dict:
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", how, path],
        capture_output=True, text=True,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"child {how} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def time_in_turn(calls: dict, repeat: int) -> dict[str, list[float]]:
    """Wall seconds of `repeat` rounds of every call, one of each per round."""
    for fn in calls.values():
        fn()  # warm-up: page cache, pool, allocator
    times: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeat):
        for name, fn in calls.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return times


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small smoke sizes")
    ap.add_argument("--rows", type=int, help="rows (default 1,000,000; 20,000 with --quick)")
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--repeat", type=int, default=7, help="timed calls per setting (the best is kept)")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        json.dump(child_memory(*args.child), sys.stdout)
        return

    import lodex

    rows = args.rows or (20_000 if args.quick else 1_000_000)
    dim = args.dim
    suffix = "-quick" if args.quick else ("-partial" if args.rows or dim != 128 else "")
    cores = len(os.sched_getaffinity(0))
    os.makedirs(args.out_dir, exist_ok=True)
    header = (
        f"lodex collection costs: {rows:,} x {dim} Gaussian rows, {BITS} bits, batches of {BATCH} queries, "
        f"k={K}, {cores} CPUs, best of {args.repeat} calls; load average at start "
        + " ".join(f"{x:.2f}" for x in os.getloadavg())
    )
    log(f"{rows:,} x {dim}: data, exact answers, index")
    meter = LoadMeter()
    data = make_data("gaussian", rows, dim)
    queries = make_queries("gaussian", BATCH, rows, dim)
    truth = exact_top_k(data, queries, K)
    index = lodex.Index(dim, BITS, False, SEED)
    index.add_batch(np.arange(rows, dtype=np.int64), data)
    rng = np.random.default_rng(SELECTION_SEED + 1)
    allow_some = np.sort(rng.choice(rows, max(1, int(rows * ALLOW_FRACTION)), replace=False)).astype(np.int64)
    allow_every = np.arange(rows, dtype=np.int64)
    gone = removed_ids(rows)
    survivors = np.setdiff1d(allow_every, gone)

    report: dict = dict(rows=rows, dim=dim, bits=BITS, batch=BATCH, k=K, cores=cores, repeat=args.repeat)
    with tempfile.TemporaryDirectory(prefix="lodex-collection-") as workdir:
        path = os.path.join(workdir, "originals.npy")
        np.save(path, data)
        originals = np.load(path, mmap_mode="r")  # a numpy.memmap: row id = the original vector
        shrunk = lodex.Index(dim, BITS, False, SEED)
        shrunk.add_batch(np.arange(rows, dtype=np.int64), data)
        start = time.perf_counter()
        shrunk.remove(gone)
        remove_s = time.perf_counter() - start
        survivors_path = os.path.join(workdir, "survivors.npy")
        np.save(survivors_path, data[survivors])
        rebuilt = lodex.Index(dim, BITS, False, SEED)
        rebuilt.add_batch(survivors, np.load(survivors_path, mmap_mode="r"))
        truth_some = allow_some[exact_top_k(data[allow_some], queries, K)]
        del data
        gc.collect()

        answers = {}
        for label, threads in (("all cores", None), ("threads=1", 1)):
            log(f"timing on {label}")

            def call(ix, name, **kw):
                def run():
                    answers[name] = ix.search_batch(queries, K, threads=threads, **kw)[0]
                return run

            calls = {
                "plain": call(index, "plain"),
                "allow 1%": call(index, "allow 1%", allow=allow_some),
                "allow all": call(index, "allow all", allow=allow_every),
                f"rerank {CANDIDATES}": call(index, "rerank", rerank=originals, candidates=CANDIDATES),
                "after remove": call(shrunk, "after remove"),
                "survivors only": call(rebuilt, "survivors only"),
            }
            times = time_in_turn(calls, args.repeat)
            report[label] = {name: dict(times=t, ms_per_query=min(t) * 1e3 / BATCH, median_ms_per_query=float(np.median(t)) * 1e3 / BATCH)
                             for name, t in times.items()}
        report["recall"] = {
            "plain": recall_at_k(answers["plain"], truth, K),
            f"rerank {CANDIDATES}": recall_at_k(answers["rerank"], truth, K),
            "allow 1% (against the exact top-k of the allowed rows)": recall_at_k(answers["allow 1%"], truth_some, K),
        }
        report["checks"] = {
            "allow 1% returns only allowed ids": bool(np.isin(answers["allow 1%"], allow_some).all()),
            "allow all equals plain": bool(np.array_equal(answers["allow all"], answers["plain"])),
            "after remove equals survivors only": bool(np.array_equal(answers["after remove"],
                                                                      answers["survivors only"])),
        }
        report["remove_s"] = remove_s
        del originals, index, shrunk, rebuilt
        gc.collect()
        report["others_cores"] = meter.others_cores()
        log("resident memory: remove() against survivors only")
        report["memory"] = {"remove": run_child("remove", path), "survivors": run_child("survivors", survivors_path)}

    lines = [header, "", f"| setting | ms/query, all {cores} cores | ratio | ms/query, threads=1 | ratio |",
             "|---|---|---|---|---|"]
    many, one = report["all cores"], report["threads=1"]
    for name in many:
        base = "survivors only" if name == "after remove" else "plain"
        lines.append(
            f"| {name} | {many[name]['ms_per_query']:.3f} | {many[name]['ms_per_query'] / many[base]['ms_per_query']:.2f}x | "
            f"{one[name]['ms_per_query']:.3f} | {one[name]['ms_per_query'] / one[base]['ms_per_query']:.2f}x |"
        )
    mem = report["memory"]
    lines += [
        "",
        "| recall@10 | |",
        "|---|---|",
        *(f"| {name} | {value:.3f} |" for name, value in report["recall"].items()),
        "",
        f"- allow 1%: {len(allow_some):,} ids chosen at random (fixed seed); allow all: every id, as one int64 array.",
        f"- rerank: the original rows as a numpy.memmap of a .npy file (page cache warm), candidates={CANDIDATES}.",
        f"- remove: {len(gone):,} random ids ({REMOVE_FRACTION:.0%}) removed in one call, which took "
        f"{report['remove_s'] * 1e3:.1f} ms; the ratio of \"after remove\" is to \"survivors only\", an index "
        "built from the remaining rows alone; every other ratio is to the plain batch.",
        f"- resident memory after remove(): {mem['remove']['growth'] / 1e6:.1f} MB "
        f"(before it: {mem['remove']['after_add'] / 1e6:.1f} MB); survivors only: "
        f"{mem['survivors']['growth'] / 1e6:.1f} MB; ratio {mem['remove']['growth'] / mem['survivors']['growth']:.2f}x; "
        f"after glibc's malloc_trim(0) hands free heap pages back: {mem['remove']['growth_after_trim'] / 1e6:.1f} "
        f"and {mem['survivors']['growth_after_trim'] / 1e6:.1f} MB "
        "(fresh processes, growth of anonymous resident memory, RssAnon, across building the index from "
        "memory-mapped rows).",
        *(f"- check: {name}: {'yes' if ok else 'NO'}" for name, ok in report["checks"].items()),
        f"- others' load while timing: {report['others_cores']:.2f} cores of {cores} used by other processes.",
    ]
    write_report(args.out_dir, f"collection{suffix}", "\n".join(lines), report)


if __name__ == "__main__":
    main()
