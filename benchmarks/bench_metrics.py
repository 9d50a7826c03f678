"""Metrics, the general rotation, centring and range search, measured in one run:

  rotation   Fashion-MNIST (60,000 x 784 training images, test images as
             queries), inner product on raw pixels: rotation="general" at 784
             against zero-padding to 1024, with and without center=mean, 4 and
             5 bits; cosine likewise. Gaussian dims 384, 768, 1536 at 2-5 bits:
             general at the width against padding to the next power of two.
  peers      "l2" and "cosine" against FAISS 1.13.2 (IndexFlatL2,
             IndexPQFastScan(d, M=d, nbits=4) with METRIC_L2, and IndexFlatIP /
             IndexPQFastScan by inner product on rows and queries normalised
             beforehand), Gaussian and Fashion-MNIST, one batch of queries on
             all cores; plotted as metrics.png in the style of the README's plots.
  range      search_range at a threshold keeping about 10 rows per query
             against search_batch(k=10), every metric.
  defaults   a default index on this build against another build's (--main-python):
             add_batch, search_batch, one query per call; the two interpreters
             alternate, each time is the best of its rounds.

The machine may be shared: every time is the best of several repeats, and the
verdicts are ratios of times measured in this one run.

    python benchmarks/bench_metrics.py [--quick] [--main-python /path/to/main/python]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of, load_fashion_mnist, make_data, make_queries, recall_at_k, write_report  # noqa: E402
from plots import Point, recall_qps_plot  # noqa: E402

import lodex  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
K = 10
SEED = 42


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def unit(x: np.ndarray) -> np.ndarray:
    n = np.linalg.norm(x, axis=1, keepdims=True)
    return (x / np.where(n > 1e-10, n, 1.0)).astype(np.float32)


def truth_of(data: np.ndarray, queries: np.ndarray, metric: str) -> np.ndarray:
    """Exact top-k ids, blockwise in float64."""
    out = np.empty((len(queries), K), dtype=np.int64)
    d2 = (data.astype(np.float64) ** 2).sum(1)
    for start in range(0, len(queries), 256):
        q = queries[start : start + 256].astype(np.float64)
        s = q @ data.T.astype(np.float64)
        if metric == "l2":
            s = 2 * s - d2[None, :]  # larger is nearer
        part = np.argpartition(-s, K, axis=1)[:, :K]
        order = np.argsort(-np.take_along_axis(s, part, 1), axis=1, kind="stable")
        out[start : start + 256] = np.take_along_axis(part, order, 1)
    return out


def pad(x: np.ndarray, width: int) -> np.ndarray:
    out = np.zeros((len(x), width), dtype=np.float32)
    out[:, : x.shape[1]] = x
    return out


def lodex_run(data, queries, truth, bits, repeat, **kind) -> dict:
    dim = data.shape[1]
    index = lodex.Index(dim, bits, False, SEED, **kind)
    start = time.perf_counter()
    index.add_batch(np.arange(len(data)), data)
    add_s = time.perf_counter() - start
    found = index.search_batch(queries, K)[0]
    seconds = best_of(lambda: index.search_batch(queries, K), repeat)
    return {"recall": recall_at_k(found, truth, K), "ms": 1e3 * seconds / len(queries),
            "bytes_per_row": len(index.to_bytes()) / len(data), "add_s": add_s}


# --------------------------------------------------------------------- rotation


def rotation_section(train, test, gaussian_rows, gaussian_queries, repeat) -> dict:
    out = {"fmnist": {}, "gaussian": []}
    truth = {"ip": truth_of(train, test, "ip"), "cosine": truth_of(unit(train), unit(test), "ip")}
    mean, unit_mean = train.mean(axis=0), unit(train).mean(axis=0)
    padded_train, padded_test = pad(train, 1024), pad(test, 1024)
    cases = [
        ("ip", 4, "padded 1024", padded_train, padded_test, {}),
        ("ip", 4, "general 784", train, test, {"rotation": "general"}),
        ("ip", 4, "general 784, center=mean", train, test, {"rotation": "general", "center": mean}),
        ("ip", 5, "general 784", train, test, {"rotation": "general"}),
        ("ip", 5, "general 784, center=mean", train, test, {"rotation": "general", "center": mean}),
        ("cosine", 4, "padded 1024", padded_train, padded_test, {"metric": "cosine"}),
        ("cosine", 4, "general 784", train, test, {"metric": "cosine", "rotation": "general"}),
        ("cosine", 4, "general 784, center=mean of unit rows", train, test,
         {"metric": "cosine", "rotation": "general", "center": unit_mean}),
    ]
    for metric, bits, name, x, q, kind in cases:
        log(f"fashion-mnist {metric} {bits}-bit {name}")
        out["fmnist"][f"{metric} {bits}-bit {name}"] = lodex_run(x, q, truth[metric], bits, repeat, **kind)
    # The speed comparison proper: the indexes' batches taken in turns, each
    # the best of its turns, so that a busy spell of the machine hits both.
    contenders = [cases[0], cases[1], cases[2]]
    indexes = []
    for metric, bits, name, x, q, kind in contenders:
        index = lodex.Index(x.shape[1], bits, False, SEED, **kind)
        index.add_batch(np.arange(len(x)), x)
        indexes.append((name, index, q))
    best = {name: float("inf") for name, _, _ in indexes}
    for _ in range(2 * repeat + 1):
        for name, index, q in indexes:
            best[name] = min(best[name], best_of(lambda: index.search_batch(q, K), 1))
    out["fmnist_turns"] = {name: 1e3 * t / len(test) for name, t in best.items()}
    for dim in (384, 768, 1536):
        x = make_data("gaussian", gaussian_rows, dim)
        q = make_queries("gaussian", gaussian_queries, gaussian_rows, dim)
        t = truth_of(x, q, "ip")
        width = 1 << (dim - 1).bit_length()
        for bits in (2, 3, 4, 5):
            log(f"gaussian {dim} {bits}-bit")
            general = lodex_run(x, q, t, bits, 1, rotation="general")
            padded = lodex_run(pad(x, width), pad(q, width), t, bits, 1)
            out["gaussian"].append({"dim": dim, "padded": width, "bits": bits, "general": general["recall"],
                                    "padded_recall": padded["recall"]})
    return out


# --------------------------------------------------------------------- peers


def faiss_run(faiss, make, data, queries, truth, repeat, train_rows) -> dict:
    index = make()
    if not index.is_trained:
        index.train(data[:train_rows])
    index.add(data)
    found = index.search(queries, K)[1]
    seconds = best_of(lambda: index.search(queries, K), repeat)
    return {"recall": recall_at_k(found, truth, K), "ms": 1e3 * seconds / len(queries),
            "bytes_per_row": index.sa_code_size() if hasattr(index, "sa_code_size") else None}


def peers_section(sets, repeat, cores) -> dict:
    import faiss

    faiss.omp_set_num_threads(cores)
    out = {}
    for set_name, (x, q, rotation) in sets.items():
        d = x.shape[1]
        for metric in ("l2", "cosine"):
            key = f"{set_name} {metric}"
            log(key)
            xs, qs = (x, q) if metric == "l2" else (unit(x), unit(q))
            truth = truth_of(xs, qs, "l2" if metric == "l2" else "ip")
            rows = {}
            for bits in (2, 3, 4, 5):
                rows[f"lodex {bits}-bit"] = lodex_run(x, q, truth, bits, repeat, metric=metric, rotation=rotation)
            if set_name.startswith("fashion"):  # off-centre data: the centre as well
                center = x.mean(axis=0) if metric == "l2" else unit(x).mean(axis=0)
                for bits in (2, 3, 4, 5):
                    rows[f"lodex centred {bits}-bit"] = lodex_run(x, q, truth, bits, repeat, metric=metric,
                                                                  rotation=rotation, center=center)
            faiss_metric = faiss.METRIC_L2 if metric == "l2" else faiss.METRIC_INNER_PRODUCT
            flat = (lambda: faiss.IndexFlatL2(d)) if metric == "l2" else (lambda: faiss.IndexFlatIP(d))
            rows["FAISS Flat"] = faiss_run(faiss, flat, xs, qs, truth, repeat, 0)
            rows["FAISS PQFastScan"] = faiss_run(faiss, lambda: faiss.IndexPQFastScan(d, d, 4, faiss_metric), xs, qs,
                                                 truth, repeat, 20_000)
            out[key] = rows
    return out


# --------------------------------------------------------------------- range


def range_section(x, q, repeat) -> dict:
    out = {}
    for metric in ("ip", "cosine", "l2"):
        index = lodex.Index(x.shape[1], 4, False, SEED, metric=metric)
        index.add_batch(np.arange(len(x)), x)
        # The threshold the (K * queries)-th best of all queries' top-200 scores
        # passes: about K rows per query on average.
        scores = np.sort(index.search_batch(q, 200)[1], axis=None)
        threshold = float(scores[K * len(q)] if metric == "l2" else scores[-K * len(q)])
        lims = index.search_range(q, threshold)[0]
        batch = best_of(lambda: index.search_batch(q, K), repeat)
        ranged = best_of(lambda: index.search_range(q, threshold), repeat)
        out[metric] = {"rows_per_query": float(lims[-1]) / len(q), "batch_ms": 1e3 * batch / len(q),
                       "range_ms": 1e3 * ranged / len(q), "ratio": ranged / batch}
    return out


# --------------------------------------------------------------------- defaults

DEFAULT_PROGRAM = r"""
import json, sys, time
import numpy as np
import lodex
rows, dim, nq = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(7)
x = rng.standard_normal((rows, dim), dtype=np.float32)
q = rng.standard_normal((nq, dim), dtype=np.float32)
def best(fn, n):
    b = float("inf")
    for _ in range(n):
        t = time.perf_counter(); fn(); b = min(b, time.perf_counter() - t)
    return b
out = {}
for bits in (2, 4):
    index = lodex.Index(dim, bits, False, 3)
    out[f"add_batch {bits}-bit"] = best(lambda: lodex.Index(dim, bits, False, 3).add_batch(np.arange(rows), x), 2)
    index.add_batch(np.arange(rows), x)
    out[f"search_batch {bits}-bit"] = best(lambda: index.search_batch(q, 10), 9)
    out[f"search, one query {bits}-bit"] = best(lambda: [index.search(v, 10) for v in q[:50]], 5)
print(json.dumps(out))
"""


def defaults_section(main_python: str, rows: int, dim: int, nq: int, rounds: int) -> dict:
    best: dict[str, dict[str, float]] = {"this": {}, "main": {}}
    for _ in range(rounds):
        for who, python in (("main", main_python), ("this", sys.executable)):
            done = subprocess.run([python, "-c", DEFAULT_PROGRAM, str(rows), str(dim), str(nq)], capture_output=True,
                                  text=True, check=True)
            for name, seconds in json.loads(done.stdout).items():
                best[who][name] = min(best[who].get(name, float("inf")), seconds)
    return {name: {"main_s": best["main"][name], "this_s": best["this"][name],
                   "ratio": best["this"][name] / best["main"][name]} for name in best["this"]}


# --------------------------------------------------------------------- report


def report_text(r: dict) -> str:
    lines = ["# Metrics, the general rotation and range search", "",
             f"{r['machine']}; every time the best of {r['repeat']} repeats (other processes share the machine: "
             "compare the ratios).", ""]
    if "rotation" in r:
        fm = r["rotation"]["fmnist"]
        lines += [f"## Fashion-MNIST {r['fmnist_shape']}, one batch of {r['fmnist_queries']} test images, all cores",
                  "", "| index | recall@10 | bytes/row (file) | batch ms/query |", "|---|---|---|---|"]
        lines += [f"| {name} | {v['recall']:.3f} | {v['bytes_per_row']:.1f} | {v['ms']:.3f} |" for name, v in fm.items()]
        turns = r["rotation"]["fmnist_turns"]
        lines += ["", f"Taken in turns, best of {2 * r['repeat'] + 1} turns, ms per query: "
                  + ", ".join(f"{n} {t:.3f}" for n, t in turns.items())]
        lines += ["", f"## Gaussian {r['gaussian_rows']:,} rows, {r['gaussian_queries']} queries, inner product: "
                  "recall@10 of the general rotation at the width against zero-padding", "",
                  "| dim | bits | general | padded | difference |", "|---|---|---|---|---|"]
        lines += [f"| {g['dim']} (pad {g['padded']}) | {g['bits']} | {g['general']:.3f} | {g['padded_recall']:.3f} | "
                  f"{g['general'] - g['padded_recall']:+.3f} |" for g in r["rotation"]["gaussian"]]
    if "peers" in r:
        lines += ["", "## Against FAISS, one batch, all cores", "",
                  "| data, metric | method | recall@10 | batch ms/query | bytes/row |", "|---|---|---|---|---|"]
        for key, rows in r["peers"].items():
            for method, v in rows.items():
                b = "" if v["bytes_per_row"] is None else f"{v['bytes_per_row']:.0f}"
                lines.append(f"| {key} | {method} | {v['recall']:.3f} | {v['ms']:.4f} | {b} |")
    if "range" in r:
        lines += ["", f"## search_range against search_batch(k=10), {r['range_shape']}, 4 bits", "",
                  "| metric | rows/query | batch ms/query | range ms/query | range / batch |", "|---|---|---|---|---|"]
        lines += [f"| {m} | {v['rows_per_query']:.1f} | {v['batch_ms']:.4f} | {v['range_ms']:.4f} | {v['ratio']:.2f}x |"
                  for m, v in r["range"].items()]
    if "defaults" in r:
        lines += ["", f"## Default indexes: this build against {r['main_python']} ({r['defaults_shape']})", "",
                  "| operation | other build s | this build s | this / other |", "|---|---|---|---|"]
        lines += [f"| {n} | {v['main_s']:.4f} | {v['this_s']:.4f} | {v['ratio']:.3f}x |"
                  for n, v in r["defaults"].items()]
    return "\n".join(lines)


def plot(r: dict, path: str) -> None:
    panels = []
    for key, rows in r["peers"].items():
        pts = []
        for method, v in rows.items():
            family = method.rsplit(" ", 1)[0] if method.startswith("lodex") else method
            label = method.split()[-1].replace("-bit", "b") if method.startswith("lodex") else ""
            pts.append(Point(family, label, v["recall"], 1e3 / v["ms"]))
        panels.append((key, pts))
    recall_qps_plot(panels, path, "lodex metric=\"l2\" / \"cosine\" against FAISS 1.13.2: one batch, all cores")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes (the verdicts mean little)")
    ap.add_argument("--sections", default="rotation,peers,range,defaults")
    ap.add_argument("--main-python", help="an interpreter with another build of lodex, for the defaults section")
    ap.add_argument("--out-dir", default=os.path.join(HERE, "results"))
    args = ap.parse_args()
    sections = args.sections.split(",")
    os.makedirs(args.out_dir, exist_ok=True)
    suffix = "-quick" if args.quick else ""
    quick = args.quick
    cores = os.cpu_count() or 1
    repeat = 3
    r = {"machine": f"{cores} cores, lodex {lodex.simd_level()}, numpy {np.__version__}", "repeat": repeat}
    train, test = load_fashion_mnist(6000 if quick else None, 500 if quick else 2000)
    train, test = np.ascontiguousarray(train[:, :784]), np.ascontiguousarray(test[:, :784])
    r["fmnist_shape"], r["fmnist_queries"] = f"{len(train):,} x 784", len(test)
    if "rotation" in sections:
        r["gaussian_rows"], r["gaussian_queries"] = (5_000, 100) if quick else (50_000, 500)
        r["rotation"] = rotation_section(train, test, r["gaussian_rows"], r["gaussian_queries"], repeat)
    g_rows = 20_000 if quick else 200_000
    gx, gq = make_data("gaussian", g_rows, 128), make_queries("gaussian", 1000, g_rows, 128)
    if "peers" in sections:
        r["peers"] = peers_section({f"gaussian {g_rows:,}x128": (gx, gq, "hadamard"),
                                    f"fashion-mnist {len(train):,}x784": (train, test, "general")}, repeat, cores)
        plot(r, os.path.join(args.out_dir, f"metrics{suffix}.png"))
    if "range" in sections:
        r["range_shape"] = f"gaussian {g_rows:,}x128, {len(gq)} queries"
        r["range"] = range_section(gx, gq, 5)
    if "defaults" in sections and args.main_python:
        rows = 20_000 if quick else 200_000
        r["main_python"], r["defaults_shape"] = args.main_python, f"gaussian {rows:,}x128, 200 queries, best of 5 alternating rounds"
        r["defaults"] = defaults_section(args.main_python, rows, 128, 200, 5)
    write_report(args.out_dir, "metrics" + suffix, report_text(r), r)


if __name__ == "__main__":
    main()
