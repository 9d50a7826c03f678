"""lodex against FAISS on the same data in one run.

For lodex at 2, 3, 4 and 5 bits, and FAISS IndexFlatIP (exact float32),
IndexScalarQuantizer QT_4bit and QT_8bit, and IndexPQFastScan at the code
bytes of lodex 4-bit (all with inner product), it measures:

  * add throughput (rows/s, one thread for every method),
  * single-query latency at k = 10 on one thread and on all threads,
  * rows scanned per second per core,
  * recall@10 against exact inner products,
  * bytes per row in memory (lodex: growth of the process's RSS; FAISS: code size),
  * a read-bandwidth probe: best of five timings of buf.view(uint64).sum()
    over a buffer of the method's code bytes, as rows/s on one core.

It prints a markdown table and writes it (with the raw figures as JSON) and a
plot of queries per second against recall@10 to --out-dir.

    python benchmarks/bench.py                 # 1,000,000 x 128 and 100,000 x 1024
    python benchmarks/bench.py --quick         # small smoke run
    python benchmarks/bench.py --rows 200000 --dim 256 --data clustered
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
    blas_info,
    code_bytes,
    exact_top_k,
    make_data,
    make_queries,
    read_probe_bytes_per_s,
    recall_at_k,
)

HERE = os.path.dirname(os.path.abspath(__file__))
K = 10
LODEX_BITS = (2, 3, 4, 5)
LODEX_SEED = 42
FULL_SHAPES = ((1_000_000, 128), (100_000, 1024))
QUICK_SHAPES = ((20_000, 128), (4_000, 1024))


@dataclass
class Result:
    dataset: str
    method: str
    bytes_per_row: float
    code_bytes: int
    add_rows_per_s: float
    latency_1t_ms: float
    latency_all_ms: float
    recall: float
    rows: int
    cores: int
    probe_rows_per_s: float
    train_s: float = 0.0
    notes: dict = field(default_factory=dict)

    @property
    def scan_1t(self) -> float:
        return self.rows / (self.latency_1t_ms / 1e3)

    @property
    def scan_all_per_core(self) -> float:
        return self.rows / (self.latency_all_ms / 1e3) / self.cores


def median_ms(times: list[float]) -> float:
    return float(np.median(times)) * 1e3


def run_worker(mode: str, config: dict) -> dict:
    proc = subprocess.run(
        [sys.executable, os.path.join(HERE, "lodex_worker.py"), mode, json.dumps(config)],
        capture_output=True,
        text=True,
    )
    if proc.returncode != 0:
        raise RuntimeError(f"lodex worker ({mode}) failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def bench_lodex(dataset, data, queries, truth, workdir, cores, warmup, log) -> list[Result]:
    rows, dim = data.shape
    data_path = os.path.join(workdir, "data.npy")
    query_path = os.path.join(workdir, "queries.npy")
    np.save(data_path, data)
    np.save(query_path, queries)
    results = []
    for bits in LODEX_BITS:
        t0 = time.perf_counter()
        ldx = os.path.join(workdir, f"index{bits}.ldx")
        config = dict(data=data_path, queries=query_path, ldx=ldx, bits=bits, seed=LODEX_SEED, k=K, warmup=warmup, cpu=0)
        built = run_worker("build", config)
        pinned = run_worker("pinned", config)
        os.remove(ldx)
        if built["ids"] != pinned["ids"]:
            log(f"  warning: lodex {bits}-bit results differ between the all-CPU and the one-CPU process")
        cb = code_bytes(dim, bits)
        results.append(
            Result(
                dataset=dataset,
                method=f"lodex {bits}-bit",
                bytes_per_row=built["rss_growth"] / rows,
                code_bytes=cb,
                add_rows_per_s=rows / built["add_s"],
                latency_1t_ms=median_ms(pinned["times"]),
                latency_all_ms=median_ms(built["times"]),
                recall=recall_at_k(built["ids"], truth, K),
                rows=rows,
                cores=cores,
                probe_rows_per_s=read_probe_bytes_per_s(rows * cb) / cb,
                notes=dict(
                    pinned_threads=pinned["threads"],
                    pinned_threads_started_by_search=pinned["threads_started_by_search"],
                    pinned_thread_cpus=pinned["thread_cpus"],
                    pinned_cpu_per_wall=pinned["cpu_per_wall"],
                    all_threads=built["threads"],
                    all_cpu_per_wall=built["cpu_per_wall"],
                ),
            )
        )
        log(f"  {results[-1].method}: add {built['add_s']:.1f} s, {time.perf_counter() - t0:.1f} s in all")
    os.remove(data_path)
    os.remove(query_path)
    return results


def faiss_indexes(faiss, dim: int):
    """(name, factory) of every FAISS peer; PQFastScan matches lodex 4-bit code bytes."""
    ip = faiss.METRIC_INNER_PRODUCT
    sq = faiss.ScalarQuantizer
    pq_m = code_bytes(dim, 4) * 2  # 4-bit subquantizers: two per code byte
    return [
        ("FAISS FlatIP", lambda: faiss.IndexFlatIP(dim)),
        ("FAISS SQ4", lambda: faiss.IndexScalarQuantizer(dim, sq.QT_4bit, ip)),
        ("FAISS SQ8", lambda: faiss.IndexScalarQuantizer(dim, sq.QT_8bit, ip)),
        (f"FAISS PQFastScan M={pq_m}x4", lambda: faiss.IndexPQFastScan(dim, pq_m, 4, ip)),
    ]


def faiss_bytes_per_row(faiss, index) -> tuple[float, int]:
    """Stored code bytes per row (including block padding), and the nominal code size."""
    nominal = int(index.sa_code_size())
    codes = getattr(index, "codes", None)
    if codes is not None and hasattr(codes, "size") and index.ntotal:
        return codes.size() / index.ntotal, nominal
    return float(nominal), nominal


def time_faiss_queries(index, queries, warmup) -> tuple[list[float], np.ndarray]:
    """Per-query wall seconds and result ids of queries[warmup:], one query per call."""
    for q in queries[:warmup]:
        index.search(q[None, :], K)
    times, ids = [], []
    queries = queries[warmup:]
    for q in queries:
        one = q[None, :]
        start = time.perf_counter()
        _, found = index.search(one, K)
        times.append(time.perf_counter() - start)
        ids.append(found[0])
    return times, np.array(ids)


def bench_faiss(dataset, data, queries, truth, cores, warmup, train_rows, log) -> list[Result]:
    import faiss

    rows, dim = data.shape
    train = data[: min(rows, train_rows)]
    results = []
    for name, factory in faiss_indexes(faiss, dim):
        t0 = time.perf_counter()
        # Training is not measured; on one thread it stays quick even when other
        # processes keep the CPUs busy (OpenMP's spinning threads then stall).
        faiss.omp_set_num_threads(1)
        index = factory()
        start = time.perf_counter()
        if not index.is_trained:
            index.train(train)
        train_s = time.perf_counter() - start
        start = time.perf_counter()
        index.add(data)
        add_s = time.perf_counter() - start
        per_row, nominal = faiss_bytes_per_row(faiss, index)
        t1, ids1 = time_faiss_queries(index, queries, warmup)
        faiss.omp_set_num_threads(cores)
        tall, ids_all = time_faiss_queries(index, queries, warmup)
        if not np.array_equal(ids1, ids_all):
            log(f"  note: {name} results differ between one and {cores} threads")
        results.append(
            Result(
                dataset=dataset,
                method=name,
                bytes_per_row=per_row,
                code_bytes=nominal,
                add_rows_per_s=rows / add_s,
                latency_1t_ms=median_ms(t1),
                latency_all_ms=median_ms(tall),
                recall=recall_at_k(ids_all, truth, K),
                rows=rows,
                cores=cores,
                probe_rows_per_s=read_probe_bytes_per_s(int(rows * per_row)) / per_row,
                train_s=train_s,
            )
        )
        del index
        gc.collect()
        log(f"  {name}: train {train_s:.1f} s, add {add_s:.1f} s, {time.perf_counter() - t0:.1f} s in all")
    faiss.omp_set_num_threads(cores)
    return results


def lodex_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("lodex")
    except metadata.PackageNotFoundError:
        return "(version unknown)"


def fmt_rate(x: float) -> str:
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return f"{x / scale:.3g}{unit}"
    return f"{x:.3g}"


def markdown_table(results: list[Result]) -> str:
    head = (
        "| data | method | bytes/row | add rows/s | 1-thread ms | all-thread ms | speed-up | "
        "rows/s/core 1-thread | rows/s/core all | probe rows/s | scan/probe | recall@10 |"
    )
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for r in results:
        lines.append(
            f"| {r.dataset} | {r.method} | {r.bytes_per_row:.1f} | {fmt_rate(r.add_rows_per_s)} | "
            f"{r.latency_1t_ms:.3f} | {r.latency_all_ms:.3f} | {r.latency_1t_ms / r.latency_all_ms:.2f}x | "
            f"{fmt_rate(r.scan_1t)} | {fmt_rate(r.scan_all_per_core)} | {fmt_rate(r.probe_rows_per_s)} | "
            f"{100 * r.scan_1t / r.probe_rows_per_s:.0f}% | {r.recall:.3f} |"
        )
    return "\n".join(lines)


def ratio_lines(results: list[Result]) -> list[str]:
    """The side-by-side ratios at 4 bits, per dataset."""
    out = []
    for dataset in dict.fromkeys(r.dataset for r in results):
        by = {r.method: r for r in results if r.dataset == dataset}
        lx = by.get("lodex 4-bit")
        if lx is None:
            continue
        sq4 = by.get("FAISS SQ4")
        pq = next((r for m, r in by.items() if m.startswith("FAISS PQFastScan")), None)
        parts = [f"{dataset}: lodex 4-bit one thread {lx.latency_1t_ms:.3f} ms"]
        if sq4:
            parts.append(f"{lx.latency_1t_ms / sq4.latency_1t_ms:.2f}x FAISS SQ4")
        if pq:
            parts.append(f"{lx.latency_1t_ms / pq.latency_1t_ms:.2f}x FAISS PQFastScan")
        parts.append(f"scan {100 * lx.scan_1t / lx.probe_rows_per_s:.0f}% of the read probe")
        parts.append(f"all threads {lx.latency_1t_ms / lx.latency_all_ms:.2f}x one thread")
        parts.append(f"{lx.bytes_per_row:.1f} B/row for {lx.code_bytes + 10} stored")
        out.append("- " + ", ".join(parts))
    return out


def plot(results: list[Result], path: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    datasets = list(dict.fromkeys(r.dataset for r in results))
    cols = 1 if len(datasets) == 1 else 2
    nrows = (len(datasets) + cols - 1) // cols
    legend_in = 0.7 if cols == 2 else 1.2  # room under the panels for the shared legend
    height = 4.4 * nrows + legend_in
    fig, axes = plt.subplots(nrows, cols, figsize=(6.4 * cols, height), squeeze=False)
    styles = {  # method prefix -> (colour, marker)
        "lodex": ("tab:blue", "o"),
        "FAISS FlatIP": ("tab:gray", "s"),
        "FAISS SQ4": ("tab:orange", "^"),
        "FAISS SQ8": ("tab:red", "v"),
        "FAISS PQFastScan": ("tab:green", "D"),
    }

    def style(method: str) -> tuple[str, str]:
        return next(v for k, v in styles.items() if method.startswith(k))

    for ax, dataset in zip(axes.flat, datasets):
        rs = [r for r in results if r.dataset == dataset]
        lodex = sorted((r for r in rs if r.method.startswith("lodex")), key=lambda r: r.recall)
        for one_thread in (False, True):
            qps = [1e3 / (r.latency_1t_ms if one_thread else r.latency_all_ms) for r in lodex]
            ax.plot([r.recall for r in lodex], qps, "--" if one_thread else "-", color="tab:blue", lw=1)
        for r in lodex:
            ax.annotate(
                r.method.split()[1], (r.recall, 1e3 / r.latency_all_ms),
                textcoords="offset points", xytext=(4, 7), fontsize=8, color="tab:blue",
            )
        for r in rs:
            color, marker = style(r.method)
            ax.plot([r.recall], [1e3 / r.latency_all_ms], marker, color=color, ms=8)
            ax.plot([r.recall], [1e3 / r.latency_1t_ms], marker, color=color, mfc="white", ms=8)
        ax.set_yscale("log")
        ax.set_xlabel("recall@10")
        ax.set_ylabel("queries per second (one query per call)")
        ax.set_title(dataset)
        ax.grid(True, which="both", alpha=0.3)
    for ax in list(axes.flat)[len(datasets) :]:
        ax.set_visible(False)

    names = {"lodex": "lodex 2-5 bit", "FAISS PQFastScan": "FAISS PQFastScan (bytes of lodex 4-bit)"}
    handles = [
        Line2D([], [], color=c, marker=m, ls="-" if k == "lodex" else "", ms=8, label=names.get(k, k))
        for k, (c, m) in styles.items()
    ]
    handles += [
        Line2D([], [], color="black", marker="o", ls="", ms=7, label="filled: all threads"),
        Line2D([], [], color="black", marker="o", mfc="white", ls="", ms=7, label="hollow: one thread"),
    ]
    fig.legend(handles=handles, loc="lower center", ncol=4 if cols == 2 else 2, fontsize=9, frameon=False)
    fig.suptitle(title)
    fig.tight_layout(rect=(0, legend_in / height, 1, 1))
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, help="rows of the data set (default: both standard shapes)")
    ap.add_argument("--dim", type=int, help="dimension (default: both standard shapes)")
    ap.add_argument("--data", choices=("gaussian", "clustered", "both"), default="both")
    ap.add_argument("--queries", type=int, help="queries timed per setting (default 100, 20 with --quick)")
    ap.add_argument("--quick", action="store_true", help="small smoke sizes")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    ap.add_argument("--train-rows", type=int, default=100_000, help="rows FAISS trains on")
    args = ap.parse_args()

    if args.rows or args.dim:
        shapes = ((args.rows or (20_000 if args.quick else 1_000_000), args.dim or 128),)
    else:
        shapes = QUICK_SHAPES if args.quick else FULL_SHAPES
    kinds = ("gaussian", "clustered") if args.data == "both" else (args.data,)
    nq = args.queries or (20 if args.quick else 100)
    warmup = 3
    cores = len(os.sched_getaffinity(0))
    suffix = "-quick" if args.quick else ""
    os.makedirs(args.out_dir, exist_ok=True)

    import faiss
    import lodex  # noqa: F401  (fails early when the module is not installed)

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

    header = [
        f"lodex {lodex_version()}, faiss-cpu {faiss.__version__}, numpy {np.__version__}, "
        f"Python {sys.version.split()[0]}, {cores} CPUs, k={K}, {nq} queries per setting, median latency",
        f"BLAS: {blas_info()}",
        "load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg())
        + " (FAISS's multi-threaded OpenMP figures collapse when other processes keep the CPUs busy)",
    ]
    results: list[Result] = []
    with tempfile.TemporaryDirectory(prefix="lodex-bench-") as workdir:
        for rows, dim in shapes:
            for kind in kinds:
                dataset = f"{kind} {rows:,}x{dim}"
                log(f"{dataset}: generating data")
                data = make_data(kind, rows, dim)
                queries = make_queries(kind, nq + warmup, rows, dim)
                truth = exact_top_k(data, queries[warmup:], K)
                # lodex first: its worker processes then share the CPUs with no
                # FAISS OpenMP threads still spinning in this process.
                results += bench_lodex(dataset, data, queries, truth, workdir, cores, warmup, log)
                results += bench_faiss(dataset, data, queries, truth, cores, warmup, args.train_rows, log)
                del data
                gc.collect()

    pinned = [r.notes for r in results if r.notes]
    notes = [
        "- add: one thread for every method (lodex encodes on the calling thread; FAISS with "
        "omp_set_num_threads(1)). FAISS training (one thread, on at most "
        f"{args.train_rows:,} rows) is not included.",
        "- one thread: FAISS via omp_set_num_threads(1); lodex in a child process whose CPU set is "
        "{0} (sched_setaffinity before lodex is imported). "
        + (
            f"Its search pool starts {pinned[0]['pinned_threads_started_by_search']} worker thread(s) "
            f"(one per CPU of the process's affinity mask), confined to CPU "
            f"{','.join(pinned[0]['pinned_thread_cpus'])}."
            if pinned
            else ""
        ),
        "- rows/s/core: rows ÷ median latency (÷ CPUs for all threads). probe: one-core read of a buffer "
        "of the method's code bytes (best of 5 numpy uint64 sums), as rows/s; scan/probe compares the "
        "one-thread scan with it.",
        "- bytes/row: lodex from the growth of the worker process's RSS across add_batch (codes, id and "
        "norm); FAISS from its stored codes (ids are implicit row numbers, not stored).",
    ]
    text = "\n".join(header) + "\n\n" + markdown_table(results) + "\n\n" + "\n".join(ratio_lines(results) + notes)
    print(text)
    md_path = os.path.join(args.out_dir, f"bench{suffix}.md")
    png_path = os.path.join(args.out_dir, f"bench{suffix}.png")
    with open(md_path, "w") as f:
        f.write(text + "\n\n![queries per second against recall@10](" + os.path.basename(png_path) + ")\n")
    with open(os.path.join(args.out_dir, f"bench{suffix}.json"), "w") as f:
        json.dump(dict(header=header, results=[asdict(r) for r in results]), f, indent=1)
    plot(results, png_path, f"single-query QPS vs recall@10 (k={K}, {cores} CPUs)")
    log(f"wrote {md_path}, {png_path}")


if __name__ == "__main__":
    main()
