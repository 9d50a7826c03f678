"""lodex against FAISS on the same data in one run, in two modes.

Methods: lodex at 2, 3, 4 and 5 bits (on Fashion-MNIST also with re-ranking
against the original float32 rows, 20 / 40 / 80 candidates), FAISS
IndexFlatIP, IndexScalarQuantizer QT_4bit and QT_8bit, and
IndexPQFastScan(d, M=d, nbits=4), all with inner product, k = 10.

Modes, each on one core and on all cores:
  * one query per call (`search`; FAISS `search` with a 1-row matrix), median
    of the per-call times;
  * a batch: every query in one call (`search_batch`; FAISS `search`), median
    of a few calls, as milliseconds per query.

Data: Gaussian and clustered 1,000,000 x 128 and 100,000 x 1024 (200 batch
queries, the first 100 also one per call), and Fashion-MNIST (60,000 training
images indexed, all 10,000 test images as the batch, the first 1,000 of them
one per call). Recall@10 is against NumPy's exact float32 inner products.

It writes bench.md (tables), bench.json (every timing) and the plots
bench.png (one query per call, one core, every data set), gaussian-batch.png
and fashion-mnist.png to --out-dir.

    python benchmarks/bench.py                     # everything, full size
    python benchmarks/bench.py --quick             # small smoke run
    python benchmarks/bench.py --data fashion-mnist
    python benchmarks/bench.py --data gaussian --shapes 1000000x128

A partial run (--data, --shapes, ...) adds what it measured to its file names
(bench-gaussian-1000000x128.md, ...); targets.py can merge several of them.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass, field

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (  # noqa: E402
    LoadMeter,
    blas_info,
    code_bytes,
    exact_top_k,
    fmt_rate,
    load_fashion_mnist,
    make_data,
    make_queries,
    ms_per_query,
    read_probe_bytes_per_s,
    recall_at_k,
    time_batch,
    time_single,
)
from plots import Point, recall_qps_plot  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
K = 10
WARMUP = 3
LODEX_BITS = (2, 3, 4, 5)
LODEX_SEED = 42
RERANK_CANDIDATES = (20, 40, 80)
KINDS = ("gaussian", "clustered", "fashion-mnist")
FULL_SHAPES = ((1_000_000, 128), (100_000, 1024))
QUICK_SHAPES = ((20_000, 128), (4_000, 1024))
# The four timed settings: one query per call or a batch, one core or all.
MODES = ("single_1", "single_all", "batch_1", "batch_all")


@dataclass
class Workload:
    name: str  # "gaussian 1,000,000x128"
    kind: str
    data: np.ndarray
    queries: np.ndarray  # WARMUP warm-up rows, then the batch
    truth: np.ndarray  # exact top-k ids of the batch
    n_single: int  # the batch's first rows, also timed one query per call
    batch_repeat: int
    one_core_batch: bool  # time the batch on one core too
    rerank: tuple[int, ...]  # lodex re-rank candidate counts to time (batch, all cores)

    @property
    def batch(self) -> np.ndarray:
        return self.queries[WARMUP:]


@dataclass
class Result:
    dataset: str
    kind: str
    rows: int
    dim: int
    method: str
    family: str  # the plot line it belongs to
    setting: str  # its point's label on that line
    recall: float
    ms: dict  # mode -> milliseconds per query
    bytes_per_row: float | None = None
    add_rows_per_s: float | None = None
    probe_rows_per_s: float | None = None
    others_cores: float = 0.0  # other processes' CPU use while measuring, in cores
    notes: dict = field(default_factory=dict)


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# --------------------------------------------------------------------- workloads


def synthetic(kind: str, rows: int, dim: int, n_batch: int, n_single: int) -> Workload:
    data = make_data(kind, rows, dim)
    queries = make_queries(kind, WARMUP + n_batch, rows, dim)
    truth = exact_top_k(data, queries[WARMUP:], K)
    return Workload(f"{kind} {rows:,}x{dim}", kind, data, queries, truth, n_single, 3, True, ())


def fashion_mnist(train_rows: int | None, test_rows: int | None, n_single: int, one_core_batch: bool) -> Workload:
    train, test = load_fashion_mnist(train_rows, test_rows)
    queries = np.ascontiguousarray(np.concatenate([test[:WARMUP], test]))  # warm up on the first test images
    truth = exact_top_k(train, test, K)
    return Workload(
        f"fashion-mnist {len(train):,}x{train.shape[1]}", "fashion-mnist", train, queries, truth,
        min(n_single, len(test)), 1, one_core_batch, RERANK_CANDIDATES,
    )


# ------------------------------------------------------------------------- lodex


def run_worker(mode: str, config: dict) -> dict:
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "lodex_worker.py"), mode, json.dumps(config)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"lodex worker ({mode}) failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def bench_lodex(w: Workload, workdir: str) -> list[Result]:
    rows, dim = w.data.shape
    paths = {name: os.path.join(workdir, f"{name}.npy") for name in ("data", "queries", "truth")}
    np.save(paths["data"], w.data)
    np.save(paths["queries"], w.queries)
    np.save(paths["truth"], w.truth)
    n_batch = len(w.batch)
    results = []
    for bits in LODEX_BITS:
        t0 = time.perf_counter()
        meter = LoadMeter()
        config = dict(
            **paths, ldx=os.path.join(workdir, f"index{bits}.ldx"), bits=bits, seed=LODEX_SEED, k=K,
            warmup=WARMUP, n_single=w.n_single, batch_repeat=w.batch_repeat, one_core_batch=w.one_core_batch,
            cpu=0, rerank=list(w.rerank),
        )
        built = run_worker("build", config)
        pinned = run_worker("pinned", config)
        os.remove(config["ldx"])
        b, p = built["runs"], pinned["runs"]
        ms = dict(
            single_1=ms_per_query(p["single"]["times"], 1),
            single_1_cpu=ms_per_query(p["single"]["cpu_times"], 1),
            single_all=ms_per_query(b["single"]["times"], 1),
            batch_all=ms_per_query(b["batch"]["times"], n_batch),
        )
        cross = dict(single_threads1=ms_per_query(b["single_threads1"]["times"], 1))
        if w.one_core_batch:
            ms["batch_1"] = ms_per_query(p["batch"]["times"], n_batch)
            ms["batch_1_cpu"] = ms_per_query(p["batch"]["cpu_times"], n_batch)
            cross["batch_threads1"] = ms_per_query(b["batch_threads1"]["times"], n_batch)
        same = built["single_digest"] == pinned["single_digest"] and (
            not w.one_core_batch or b["batch"]["digest"] == p["batch"]["digest"]
        )
        if not same:
            log(f"  warning: lodex {bits}-bit answers differ between the all-CPU and the one-CPU process")
        if not built["single_matches_batch"]:
            log(f"  warning: lodex {bits}-bit search and search_batch answers differ")
        cb = code_bytes(dim, bits)
        others = meter.others_cores()
        results.append(
            Result(
                dataset=w.name, kind=w.kind, rows=rows, dim=dim, method=f"lodex {bits}-bit", family="lodex",
                setting=f"{bits}b", recall=b["batch"]["recall"], ms=ms,
                bytes_per_row=built["rss_growth"] / rows, add_rows_per_s=rows / built["add_s"],
                probe_rows_per_s=read_probe_bytes_per_s(rows * cb) / cb, others_cores=others,
                notes=dict(
                    cross_check_ms=cross,
                    same_answers_one_cpu_and_all=same,
                    search_equals_search_batch=built["single_matches_batch"],
                    pinned_threads_started_by_search=pinned["threads_started_by_search"],
                    pinned_thread_cpus=pinned["thread_cpus"],
                    cpu_per_wall={f"{where}/{run}": r["cpu_per_wall"] for where, runs in (("all", b), ("pinned", p))
                                  for run, r in runs.items()},
                ),
            )
        )
        for candidates in w.rerank:
            r = b[f"rerank{candidates}"]
            results.append(
                Result(
                    dataset=w.name, kind=w.kind, rows=rows, dim=dim,
                    method=f"lodex {bits}-bit + re-rank {candidates}", family="lodex + re-rank",
                    setting=f"{bits}b c{candidates}", recall=r["recall"], ms=dict(batch_all=ms_per_query(r["times"], n_batch)),
                    others_cores=others,
                )
            )
        log(f"  lodex {bits}-bit: add {built['add_s']:.1f} s, {time.perf_counter() - t0:.1f} s in all, "
            f"others' load {others:.2f} cores")
    for path in paths.values():
        os.remove(path)
    return results


# ------------------------------------------------------------------------- FAISS


def faiss_peers(faiss, dim: int):
    """(name, factory) of every FAISS peer, all with inner product."""
    ip = faiss.METRIC_INNER_PRODUCT
    sq = faiss.ScalarQuantizer
    return [
        ("FAISS FlatIP", lambda: faiss.IndexFlatIP(dim)),
        ("FAISS SQ4", lambda: faiss.IndexScalarQuantizer(dim, sq.QT_4bit, ip)),
        ("FAISS SQ8", lambda: faiss.IndexScalarQuantizer(dim, sq.QT_8bit, ip)),
        ("FAISS PQFastScan", lambda: faiss.IndexPQFastScan(dim, dim, 4, ip)),  # M = d 4-bit codes
    ]


def faiss_bytes_per_row(index) -> float:
    """Stored code bytes per row (block padding included); row numbers are the ids."""
    codes = getattr(index, "codes", None)
    if codes is not None and hasattr(codes, "size") and index.ntotal:
        return codes.size() / index.ntotal
    return float(index.sa_code_size())


def bench_faiss(w: Workload, cores: int, train_rows: int) -> list[Result]:
    import faiss

    rows, dim = w.data.shape
    n_batch = len(w.batch)
    results = []
    for name, factory in faiss_peers(faiss, dim):
        t0 = time.perf_counter()
        meter = LoadMeter()
        # Training is not measured; on one thread it stays quick even when other
        # processes keep the CPUs busy (OpenMP's spinning threads then stall).
        faiss.omp_set_num_threads(1)
        index = factory()
        start = time.perf_counter()
        if not index.is_trained:
            index.train(w.data[:train_rows])
        train_s = time.perf_counter() - start
        start = time.perf_counter()
        index.add(w.data)
        add_s = time.perf_counter() - start

        def one(q):
            return index.search(q[None, :], K)[1][0]

        def many(qs):
            return index.search(qs, K)[1]

        single_q = w.queries[: WARMUP + w.n_single]
        ms, ids = {}, {}
        for threads, suffix in ((1, "1"), (cores, "all")):
            faiss.omp_set_num_threads(threads)
            # One OpenMP thread: the work runs on the calling thread, so its CPU clock.
            t = time_single(one, single_q, WARMUP, cpu_clock=time.thread_time)
            ms[f"single_{suffix}"] = ms_per_query(t.wall, 1)
            if threads == 1:
                ms["single_1_cpu"] = ms_per_query(t.cpu, 1)
            ids[f"single_{suffix}"] = np.array(t.found)
            if w.one_core_batch or suffix == "all":
                t = time_batch(many, w.batch, w.batch_repeat, cpu_clock=time.thread_time)
                ms[f"batch_{suffix}"] = ms_per_query(t.wall, n_batch)
                if threads == 1:
                    ms["batch_1_cpu"] = ms_per_query(t.cpu, n_batch)
                ids[f"batch_{suffix}"] = t.found
        batch_ids = ids["batch_all"]
        consistent = all(np.array_equal(v, batch_ids[: len(v)]) for v in ids.values())
        if not consistent:
            log(f"  note: {name} answers differ between modes or thread counts")
        per_row = faiss_bytes_per_row(index)
        others = meter.others_cores()
        results.append(
            Result(
                dataset=w.name, kind=w.kind, rows=rows, dim=dim, method=name, family=name, setting="",
                recall=recall_at_k(batch_ids, w.truth, K), ms=ms, bytes_per_row=per_row,
                add_rows_per_s=rows / add_s, probe_rows_per_s=read_probe_bytes_per_s(int(rows * per_row)) / per_row,
                others_cores=others, notes=dict(train_s=train_s, same_answers_all_modes=consistent),
            )
        )
        del index
        gc.collect()
        log(f"  {name}: train {train_s:.1f} s, add {add_s:.1f} s, {time.perf_counter() - t0:.1f} s in all, "
            f"others' load {others:.2f} cores")
    faiss.omp_set_num_threads(cores)
    return results


# ------------------------------------------------------------------------ report


def cell(x: float | None, fmt: str = "{:.3f}") -> str:
    return "–" if x is None else fmt.format(x)


def speed_table(results: list[Result], cores: int) -> str:
    head = (
        f"| data | method | bytes/row | 1 query, ms, 1 core | 1 query, ms, {cores} cores | "
        f"batch, ms/query, 1 core | batch, ms/query, {cores} cores | batch speed-up {cores}/1 cores | "
        f"batch QPS, {cores} cores | recall@10 | others' load |"
    )
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in results:
        m = r.ms
        speedup = m["batch_1"] / m["batch_all"] if "batch_1" in m and "batch_all" in m else None
        lines.append(
            f"| {r.dataset} | {r.method} | {cell(r.bytes_per_row, '{:.1f}')} | {cell(m.get('single_1'))} | "
            f"{cell(m.get('single_all'))} | {cell(m.get('batch_1'))} | {cell(m.get('batch_all'))} | "
            f"{cell(speedup, '{:.2f}x')} | {fmt_rate(1e3 / m['batch_all'])} | {r.recall:.3f} | {r.others_cores:.2f} |"
        )
    return "\n".join(lines)


def scan_table(results: list[Result]) -> str:
    head = "| data | method | add rows/s | rows/s, 1 query, 1 core | probe rows/s | scan/probe |"
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in results:
        if r.add_rows_per_s is None:
            continue
        scan = r.rows / (r.ms["single_1"] / 1e3)
        lines.append(
            f"| {r.dataset} | {r.method} | {fmt_rate(r.add_rows_per_s)} | {fmt_rate(scan)} | "
            f"{fmt_rate(r.probe_rows_per_s)} | {100 * scan / r.probe_rows_per_s:.0f}% |"
        )
    return "\n".join(lines)


def cpu_table(results: list[Result]) -> str:
    head = (
        "| data | method | 1 query, 1 core: wall ms | CPU ms | batch, 1 core: wall ms/query | CPU ms/query |"
    )
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in results:
        m = r.ms
        if "single_1_cpu" not in m:
            continue
        lines.append(
            f"| {r.dataset} | {r.method} | {cell(m.get('single_1'))} | {cell(m.get('single_1_cpu'))} | "
            f"{cell(m.get('batch_1'))} | {cell(m.get('batch_1_cpu'))} |"
        )
    return "\n".join(lines)


def cross_check_table(results: list[Result]) -> str:
    head = (
        "| data | method | 1 query, 1 core: pinned process | same, threads=1 | "
        "batch, 1 core: pinned process | same, threads=1 | same answers |"
    )
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in results:
        cross = r.notes.get("cross_check_ms")
        if cross is None:
            continue
        same = r.notes["same_answers_one_cpu_and_all"] and r.notes["search_equals_search_batch"]
        lines.append(
            f"| {r.dataset} | {r.method} | {cell(r.ms.get('single_1'))} | {cell(cross.get('single_threads1'))} | "
            f"{cell(r.ms.get('batch_1'))} | {cell(cross.get('batch_threads1'))} | {'yes' if same else 'NO'} |"
        )
    return "\n".join(lines)


def points(results: list[Result], dataset: str, mode: str) -> list[Point]:
    return [
        Point(r.family, r.setting, r.recall, 1e3 / r.ms[mode])
        for r in results
        if r.dataset == dataset and mode in r.ms
    ]


def load_note(results: list[Result], dataset: str | None = None) -> str:
    """The mean of other processes' CPU use over the plotted rows, for the title."""
    loads = [r.others_cores for r in results if dataset is None or r.dataset == dataset]
    return f"other processes used {np.mean(loads):.1f} cores on average meanwhile" if loads else ""


def write_plots(results: list[Result], workloads: list[dict], out_dir: str, suffix: str, cores: int) -> list[str]:
    written = []
    synthetic_sets = [w for w in workloads if w["kind"] != "fashion-mnist"]
    if synthetic_sets:
        path = os.path.join(out_dir, f"bench{suffix}.png")
        recall_qps_plot(
            [(w["name"], points(results, w["name"], "single_1")) for w in synthetic_sets], path,
            f"one query per call, one core, k={K}\n{load_note(results)}",
        )
        written.append(path)
    gaussian = next((w for w in workloads if w["kind"] == "gaussian" and w["dim"] == 128), None)
    if gaussian:
        path = os.path.join(out_dir, f"gaussian-batch{suffix}.png")
        n = gaussian["n_batch"]
        recall_qps_plot(
            [(f"batch of {n} queries, one core", points(results, gaussian["name"], "batch_1")),
             (f"batch of {n} queries, {cores} cores", points(results, gaussian["name"], "batch_all"))],
            path, f"Gaussian rows, {gaussian['rows']:,} x {gaussian['dim']}, k={K}\n"
            f"{load_note(results, gaussian['name'])}",
        )
        written.append(path)
    fashion = next((w for w in workloads if w["kind"] == "fashion-mnist"), None)
    if fashion:
        path = os.path.join(out_dir, f"fashion-mnist{suffix}.png")
        recall_qps_plot(
            [(f"all {fashion['n_batch']:,} test images in one call, {cores} cores",
              points(results, fashion["name"], "batch_all")),
             (f"one query per call ({fashion['n_single']:,} test images), one core",
              points(results, fashion["name"], "single_1"))],
            path, f"Fashion-MNIST, {fashion['rows']:,} training images x {fashion['dim']} (zero-padded), k={K}\n"
            f"{load_note(results, fashion['name'])}",
        )
        written.append(path)
    return written


def lodex_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("lodex")
    except metadata.PackageNotFoundError:
        return "(version unknown)"


# -------------------------------------------------------------------------- main


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", default=",".join(KINDS), help=f"comma-separated subset of {', '.join(KINDS)}")
    ap.add_argument("--shapes", help="ROWSxDIM,... of the synthetic data (default 1000000x128,100000x1024)")
    ap.add_argument("--batch", type=int, help="synthetic batch size (default 200)")
    ap.add_argument("--single", type=int, help="synthetic queries timed one per call (default 100, 20 with --quick)")
    ap.add_argument("--fashion-queries", type=int, help="Fashion-MNIST test images in the batch (default all 10,000)")
    ap.add_argument("--fashion-single", type=int, default=1000, help="Fashion-MNIST test images timed one per call")
    ap.add_argument("--fashion-one-core-batch", action="store_true",
                    help="also time the 10,000-query Fashion-MNIST batch on one core (slow: minutes)")
    ap.add_argument("--quick", action="store_true", help="small smoke sizes")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    ap.add_argument("--train-rows", type=int, default=100_000, help="rows FAISS trains on")
    ap.add_argument("--replot", metavar="JSON", help="only redraw the plots of an earlier run's bench*.json")
    args = ap.parse_args()

    if args.replot:
        with open(args.replot) as f:
            saved = json.load(f)
        suffix = os.path.basename(args.replot)[len("bench"):-len(".json")]
        results = [Result(**r) for r in saved["results"]]
        log("wrote " + ", ".join(write_plots(results, saved["workloads"], args.out_dir, suffix, saved["cores"])))
        return

    kinds = [k.strip() for k in args.data.split(",") if k.strip()]
    if unknown := set(kinds) - set(KINDS):
        ap.error(f"unknown data {sorted(unknown)}")
    if args.shapes:
        shapes = [tuple(int(x) for x in s.lower().split("x")) for s in args.shapes.split(",")]
    else:
        shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    n_batch = args.batch or 200
    n_single = args.single or (20 if args.quick else 100)
    # A partial run names its files after what it measured, so it never overwrites a full run's.
    partial = "-" + "+".join(kinds) if args.data != ",".join(KINDS) else ""
    partial += "-" + "+".join(f"{r}x{d}" for r, d in shapes) if args.shapes else ""
    partial += f"-{args.fashion_queries}q" if args.fashion_queries and "fashion-mnist" in kinds else ""
    partial += "-custom" if (args.batch or args.single) and not partial else ""
    suffix = ("-quick" if args.quick else "") + partial
    cores = len(os.sched_getaffinity(0))
    os.makedirs(args.out_dir, exist_ok=True)

    import faiss
    import lodex  # noqa: F401  (fails early when the module is not installed)

    header = [
        f"lodex {lodex_version()}, faiss-cpu {faiss.__version__}, numpy {np.__version__}, "
        f"Python {sys.version.split()[0]}, {cores} CPUs, k={K}",
        f"BLAS: {blas_info()}",
        "load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()),
    ]
    plans = [("synthetic", kind, shape) for shape in shapes for kind in kinds if kind != "fashion-mnist"]
    if "fashion-mnist" in kinds:
        plans.append(("fashion", "fashion-mnist", None))

    results: list[Result] = []
    workloads: list[dict] = []
    with tempfile.TemporaryDirectory(prefix="lodex-bench-") as workdir:
        for source, kind, shape in plans:
            t0 = time.perf_counter()
            if source == "synthetic":
                log(f"{kind} {shape[0]:,}x{shape[1]}: data and exact answers")
                w = synthetic(kind, shape[0], shape[1], n_batch, n_single)
            else:
                log("fashion-mnist: data and exact answers")
                w = fashion_mnist(6_000 if args.quick else None, 500 if args.quick else args.fashion_queries,
                                  args.fashion_single if not args.quick else 20,
                                  args.fashion_one_core_batch or args.quick)
            rows, dim = w.data.shape
            # lodex first: its worker processes then share the CPUs with no
            # FAISS OpenMP threads still spinning in this process.
            results += bench_lodex(w, workdir)
            results += bench_faiss(w, cores, args.train_rows)
            workloads.append(dict(name=w.name, kind=kind, rows=rows, dim=dim, n_batch=len(w.batch),
                                  n_single=w.n_single, batch_repeat=w.batch_repeat,
                                  one_core_batch=w.one_core_batch, seconds=time.perf_counter() - t0))
            del w
            gc.collect()

    fashion = next((w for w in workloads if w["kind"] == "fashion-mnist"), None)
    notes = [
        f"- one query per call: median of each call's wall time (synthetic data: the first {n_single} batch "
        "queries" + (f"; Fashion-MNIST: the first {fashion['n_single']:,} test images" if fashion else "")
        + f"), after {WARMUP} warm-up queries.",
        f"- batch: every query of the data set in one call (synthetic: {n_batch} queries, median of 3 calls"
        + (f"; Fashion-MNIST: {fashion['n_batch']:,} test images, one call" if fashion else "")
        + "), in ms per query.",
        "- one core: FAISS via omp_set_num_threads(1); lodex in a child process whose CPU set is {0} "
        "(sched_setaffinity before lodex is imported, so its pool has one worker). The cross-check table puts "
        "that next to search_batch(..., threads=1) in a process on all CPUs.",
        "- recall@10 of the batch answers against NumPy's exact float32 inner products; re-rank rows: lodex "
        "search_batch with rerank= the original float32 rows as a numpy.memmap (page cache warm) and "
        "candidates= the count, batch on all cores only.",
        "- CPU time on one core: lodex, the pinned process's CPU time (all its threads share CPU 0); FAISS, the "
        "calling thread's (one OpenMP thread). It leaves out the time other processes held the CPU, so on a busy "
        "machine it is the steadier one-core figure (their effect on caches and a shared physical core remains).",
        "- others' load: CPU time used by other processes on the machine while the row was measured, in cores "
        f"(0 = quiet, {cores} = every core busy with someone else's work).",
        "- bytes/row: lodex from the growth of the worker process's RSS across add_batch (codes, id and norm); "
        "FAISS from its stored codes (ids are implicit row numbers, not stored).",
        "- add rows/s: one thread for every method; FAISS training (one thread, at most "
        f"{args.train_rows:,} rows) not included. probe: one-core read of a buffer of the method's code bytes "
        "(best of 5 NumPy uint64 sums); scan/probe compares the one-query, one-core scan with it.",
    ]
    text = "\n\n".join([
        "\n".join(header),
        "## Search speed and recall\n\n" + speed_table(results, cores),
        "## One core: wall time and CPU time\n\n" + cpu_table(results),
        "## lodex on one core: pinned process and threads=1\n\n" + cross_check_table(results),
        "## Ingestion and scan rate\n\n" + scan_table(results),
        "\n".join(notes),
    ])
    print(text)
    png_paths = write_plots(results, workloads, args.out_dir, suffix, cores)
    md_path = os.path.join(args.out_dir, f"bench{suffix}.md")
    with open(md_path, "w") as f:
        f.write(text + "\n\n" + "\n".join(f"![recall against queries per second]({os.path.basename(p)})"
                                          for p in png_paths) + "\n")
    with open(os.path.join(args.out_dir, f"bench{suffix}.json"), "w") as f:
        json.dump(dict(header=header, cores=cores, k=K, workloads=workloads,
                       results=[asdict(r) for r in results]), f, indent=1)
    log(f"wrote {md_path}, " + ", ".join(png_paths))


if __name__ == "__main__":
    main()
