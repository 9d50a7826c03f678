"""Serving one index from many processes: a mapped index against one read into memory.

  * Index.load(path, mmap=True) against Index.load(path) of a 1,000,000 x 512,
    4-bit index (best of several opens, the file in the page cache), and the
    mapped open again at 4,000,000 rows;
  * private and proportional memory (/proc/self/smaps_rollup) of each of three
    worker processes serving batches from one mapped file, next to an idle
    interpreter that imported lodex and to three workers that each load() a
    copy;
  * search_batch of 200 queries, k = 10, on a warm mapping against the same
    index in memory (best of several, alternating);
  * the first batch on a cold mapping (the file dropped from the page cache
    with posix_fadvise DONTNEED), with and without warm=True, next to a cold
    load() and its first batch.

    python benchmarks/bench_serve.py            # full sizes
    python benchmarks/bench_serve.py --quick    # small smoke run
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of, make_data, write_report  # noqa: E402

DIM = 512
BITS = 4
SEED = 42
BATCH = 200
K = 10
WORKERS = 3
MB = 1e6

# A worker: opens the index, answers one batch, says "ready", waits for
# "measure" (all workers are alive then, so Pss shares the mapping among
# them), prints its smaps_rollup figures, and ends on the next line.
WORKER = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    import lodex

    path, mode = sys.argv[1], sys.argv[2]
    if mode != "idle":
        index = lodex.Index.load(path, mmap=mode == "mmap")
        queries = np.random.default_rng(int(sys.argv[3])).standard_normal((int(sys.argv[4]), int(sys.argv[5])),
                                                                            dtype=np.float32)
        index.search_batch(queries, 10)
    print("ready", flush=True)
    sys.stdin.readline()
    fields = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3 and parts[2] == "kB":
                fields[parts[0].rstrip(":")] = int(parts[1]) * 1024
    print(json.dumps(fields), flush=True)
    sys.stdin.readline()
    """
)

# A cold open: drops the file from the page cache, then times the open, the
# first batch and a second one.
COLD = textwrap.dedent(
    """
    import json, os, sys, time
    import numpy as np
    import lodex

    path, mode, dim, count = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    queries = np.random.default_rng(7).standard_normal((count, dim), dtype=np.float32)
    fd = os.open(path, os.O_RDONLY)
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)
    t0 = time.perf_counter()
    if mode == "load":
        index = lodex.Index.load(path)
    else:
        index = lodex.Index.load(path, mmap=True, warm=mode == "warm")
    t1 = time.perf_counter()
    index.search_batch(queries, 10)
    t2 = time.perf_counter()
    index.search_batch(queries, 10)
    t3 = time.perf_counter()
    print(json.dumps(dict(open=t1 - t0, first=t2 - t1, second=t3 - t2)))
    """
)


def build(path_ldx: str | None, path_map: str, rows: int) -> None:
    """Builds a Gaussian index of `rows` rows piece by piece and saves it (the
    original format to path_ldx when given, and the mappable one)."""
    import lodex

    index = lodex.Index(DIM, BITS, False, SEED)
    piece = 100_000
    for start in range(0, rows, piece):
        stop = min(rows, start + piece)
        index.add_batch(np.arange(start, stop), make_data("gaussian", stop - start, DIM, seed=start))
    if path_ldx is not None:
        index.save(path_ldx)
    index.save(path_map, mappable=True)


def workers(path: str, mode: str, count: int, queries: int) -> list[dict]:
    """smaps_rollup of `count` workers alive at once, each serving from `path`."""
    procs = [
        subprocess.Popen([sys.executable, "-c", WORKER, path, mode, str(100 + i), str(queries), str(DIM)],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for i in range(count)
    ]
    try:
        for p in procs:
            assert p.stdout.readline().strip() == "ready"
        out = []
        for p in procs:
            p.stdin.write("measure\n")
            p.stdin.flush()
            out.append(json.loads(p.stdout.readline()))
        return out
    finally:
        for p in procs:
            p.stdin.close()
            p.wait(timeout=120)


def cold(path: str, mode: str, queries: int) -> dict:
    result = subprocess.run([sys.executable, "-c", COLD, path, mode, str(DIM), str(queries)],
                            capture_output=True, text=True, check=True)
    return json.loads(result.stdout)


def private(fields: dict) -> int:
    return fields["Private_Clean"] + fields["Private_Dirty"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--dir", default=None, help="where to write the index files (default: a temporary "
                        "directory under the working directory, on disk: the cold runs need a page cache)")
    args = parser.parse_args()
    rows, big_rows = (50_000, 200_000) if args.quick else (1_000_000, 4_000_000)
    repeat = 3 if args.quick else 7

    import lodex

    with tempfile.TemporaryDirectory(dir=args.dir or os.getcwd()) as directory:
        path_ldx = os.path.join(directory, "index.ldx")
        path_map = os.path.join(directory, "index-mappable.ldx")
        path_big = os.path.join(directory, "big-mappable.ldx")
        build(path_ldx, path_map, rows)
        build(None, path_big, big_rows)
        file_bytes = os.path.getsize(path_map)

        # Opens, the files warm in the page cache.
        lodex.Index.load(path_ldx)
        open_load = best_of(lambda: lodex.Index.load(path_ldx), repeat)
        open_map = best_of(lambda: lodex.Index.load(path_map, mmap=True), 5 * repeat)
        open_big = best_of(lambda: lodex.Index.load(path_big, mmap=True), 5 * repeat)

        # Warm search: the same rows in memory and mapped, alternating.
        queries = np.random.default_rng(3).standard_normal((BATCH, DIM), dtype=np.float32)
        in_memory = lodex.Index.load(path_ldx)
        mapped = lodex.Index.load(path_map, mmap=True)
        want = in_memory.search_batch(queries, K)
        got = mapped.search_batch(queries, K)
        assert np.array_equal(want[0], got[0]) and np.array_equal(want[1], got[1])
        memory_times, mapped_times = [], []
        for _ in range(repeat):
            memory_times.append(best_of(lambda: in_memory.search_batch(queries, K), 1))
            mapped_times.append(best_of(lambda: mapped.search_batch(queries, K), 1))
        del in_memory, mapped

        idle = workers(path_map, "idle", 1, BATCH)[0]
        served = workers(path_map, "mmap", WORKERS, BATCH)
        copies = workers(path_ldx, "load", WORKERS, BATCH)

        cold_runs = {mode: cold(path_map if mode != "load" else path_ldx, mode, BATCH) for mode in ("mmap", "warm", "load")}

    speed = min(memory_times) / min(mapped_times)
    worst_private = max(private(w) for w in served)
    report = dict(
        rows=rows, big_rows=big_rows, dim=DIM, bits=BITS, file_bytes=file_bytes,
        open_load_s=open_load, open_map_s=open_map, open_big_map_s=open_big,
        open_ratio=open_map / open_load, open_big_ratio=open_big / open_map,
        search_memory_s=min(memory_times), search_mapped_s=min(mapped_times), speed_ratio=speed,
        idle=idle, served=served, copies=copies, worst_private_share=worst_private / file_bytes, cold=cold_runs,
    )

    def mb(x: float) -> str:
        return f"{x / MB:,.1f}"

    lines = [
        f"# Serving from many processes ({rows:,} x {DIM}, {BITS} bits; file {mb(file_bytes)} MB)",
        "",
        "| measure | value |",
        "|---|---|",
        f"| load() of the .ldx file, warm page cache | {open_load * 1e3:.1f} ms |",
        f"| load(mmap=True) | {open_map * 1e3:.3f} ms ({open_map / open_load:.4f}x load()) |",
        f"| load(mmap=True) at {big_rows:,} rows | {open_big * 1e3:.3f} ms ({open_big / open_map:.2f}x at {rows:,}) |",
        f"| batch of {BATCH}, in memory | {min(memory_times) * 1e3:.1f} ms |",
        f"| batch of {BATCH}, warm mapping | {min(mapped_times) * 1e3:.1f} ms (speed {speed:.3f}x in memory) |",
        "",
        "| process | Rss MB | Pss MB | private MB (clean + dirty) | private / file |",
        "|---|---|---|---|---|",
        f"| idle interpreter with lodex | {mb(idle['Rss'])} | {mb(idle['Pss'])} | {mb(private(idle))} | |",
    ]
    for name, group in (("mapped worker", served), ("load() worker", copies)):
        for i, w in enumerate(group):
            lines.append(f"| {name} {i + 1} of {WORKERS} | {mb(w['Rss'])} | {mb(w['Pss'])} | {mb(private(w))} | "
                         f"{private(w) / file_bytes:.3f} |")
    lines += [
        "",
        f"Cold page cache (posix_fadvise DONTNEED), batch of {BATCH}:",
        "",
        "| open | open s | first batch s | second batch s |",
        "|---|---|---|---|",
    ]
    for mode, label in (("mmap", "load(mmap=True)"), ("warm", "load(mmap=True, warm=True)"), ("load", "load()")):
        c = cold_runs[mode]
        lines.append(f"| {label} | {c['open']:.3f} | {c['first']:.3f} | {c['second']:.3f} |")
    out_dir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    write_report(out_dir, "serve-quick" if args.quick else "serve", "\n".join(lines), report)


if __name__ == "__main__":
    main()
