"""Shared helpers of the benchmark scripts: data sets, timing, recall, memory
and machine-load readings, and the wording of a target line."""

from __future__ import annotations

import glob
import gzip
import json
import os
import resource
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

# Fixed seeds: every run measures the same vectors and queries.
DATA_SEED = 20240601
QUERY_SEED = 20240602


def code_bytes(dim: int, bits: int) -> int:
    """Bytes of one row's packed codes."""
    return (dim * bits + 7) // 8


def row_bytes(dim: int, bits: int) -> int:
    """Bytes lodex stores per row: codes, a u64 id and a bf16 norm."""
    return code_bytes(dim, bits) + 10


def _clusters(rows: int, dim: int) -> int:
    return max(16, rows // 1000)


def make_data(kind: str, rows: int, dim: int, seed: int = DATA_SEED) -> np.ndarray:
    """A float32 C-contiguous matrix, filled block by block (bounded temporaries).

    gaussian:  independent N(0, 1) coordinates.
    clustered: N(0, 1) centres (rows // 1000 of them, at least 16) plus
               N(0, 0.35^2) noise, each row drawn from a uniformly chosen centre.
    """
    rng = np.random.default_rng(seed)
    out = np.empty((rows, dim), dtype=np.float32)
    block = max(1, (1 << 22) // dim)
    if kind == "gaussian":
        for start in range(0, rows, block):
            stop = min(rows, start + block)
            out[start:stop] = rng.standard_normal((stop - start, dim), dtype=np.float32)
        return out
    if kind == "clustered":
        centres = rng.standard_normal((_clusters(rows, dim), dim), dtype=np.float32)
        for start in range(0, rows, block):
            stop = min(rows, start + block)
            pick = rng.integers(0, len(centres), stop - start)
            noise = rng.standard_normal((stop - start, dim), dtype=np.float32)
            out[start:stop] = centres[pick] + np.float32(0.35) * noise
        return out
    raise ValueError(f"unknown data kind {kind!r}")


def make_queries(kind: str, count: int, rows: int, dim: int) -> np.ndarray:
    """Queries from the same distribution as the data (same centres when clustered)."""
    if kind == "gaussian":
        rng = np.random.default_rng(QUERY_SEED)
        return rng.standard_normal((count, dim), dtype=np.float32)
    if kind == "clustered":
        # Re-derive the data's centres: they are the first draw from DATA_SEED.
        centres = np.random.default_rng(DATA_SEED).standard_normal(
            (_clusters(rows, dim), dim), dtype=np.float32
        )
        rng = np.random.default_rng(QUERY_SEED)
        pick = rng.integers(0, len(centres), count)
        noise = rng.standard_normal((count, dim), dtype=np.float32)
        return np.ascontiguousarray(centres[pick] + np.float32(0.35) * noise)
    raise ValueError(f"unknown data kind {kind!r}")


FASHION_MNIST_DIR = "/usr/share/datasets/fashion-mnist"  # Debian package dataset-fashion-mnist
FASHION_MNIST_DIM = 1024  # 784 pixels, zero-padded to the next power of two


def read_idx(path: str) -> np.ndarray:
    """An idx file (optionally gzipped): two zero bytes, a type byte (0x08 is
    uint8), the number of dimensions, one big-endian u32 per dimension, then
    the values in C order."""
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rb") as f:
        raw = f.read()
    if raw[:2] != b"\0\0" or raw[2] != 0x08:
        raise ValueError(f"{path}: not an idx file of unsigned bytes")
    ndim = raw[3]
    shape = tuple(int(n) for n in np.frombuffer(raw, dtype=">u4", count=ndim, offset=4))
    return np.frombuffer(raw, dtype=np.uint8, offset=4 + 4 * ndim).reshape(shape)


def fashion_mnist_path(stem: str, directory: str = FASHION_MNIST_DIR) -> str:
    """The idx file `stem` (train-images-idx3-ubyte, ...), gzipped or not."""
    found = sorted(glob.glob(os.path.join(directory, stem + "*")))
    if not found:
        raise FileNotFoundError(
            f"{stem} not found in {directory}: install the Debian package dataset-fashion-mnist"
        )
    return found[0]


def load_fashion_mnist(train_rows: int | None = None, test_rows: int | None = None) -> tuple[np.ndarray, np.ndarray]:
    """(train, test) images as float32 pixel values 0-255, each row zero-padded
    from 784 to 1024 coordinates; optionally only the first rows of each."""

    def images(stem: str, rows: int | None) -> np.ndarray:
        pixels = read_idx(fashion_mnist_path(stem))
        pixels = pixels.reshape(len(pixels), -1)[:rows]
        out = np.zeros((len(pixels), FASHION_MNIST_DIM), dtype=np.float32)
        out[:, : pixels.shape[1]] = pixels
        return out

    return images("train-images-idx3-ubyte", train_rows), images("t10k-images-idx3-ubyte", test_rows)


def exact_top_k(data: np.ndarray, queries: np.ndarray, k: int) -> np.ndarray:
    """Ids (row numbers) of the k largest inner products per query, best first."""
    best_scores = np.full((len(queries), 0), -np.inf, dtype=np.float32)
    best_ids = np.zeros((len(queries), 0), dtype=np.int64)
    block = 1 << 16
    for start in range(0, len(data), block):
        scores = queries @ data[start : start + block].T
        ids = np.broadcast_to(np.arange(start, start + scores.shape[1]), scores.shape)
        scores = np.concatenate([best_scores, scores], axis=1)
        ids = np.concatenate([best_ids, ids], axis=1)
        keep = min(k, scores.shape[1])
        part = np.argpartition(-scores, keep - 1, axis=1)[:, :keep]
        best_scores = np.take_along_axis(scores, part, axis=1)
        best_ids = np.take_along_axis(ids, part, axis=1)
    order = np.argsort(-best_scores, axis=1, kind="stable")
    return np.take_along_axis(best_ids, order, axis=1)


def recall_at_k(found: list[list[int]] | np.ndarray, truth: np.ndarray, k: int) -> float:
    """Mean over queries of |found top-k ∩ exact top-k| / k."""
    hits = 0
    for got, want in zip(found, truth):
        hits += len(set(int(i) for i in list(got)[:k]) & set(int(i) for i in want[:k]))
    return hits / (k * len(truth))


@dataclass
class Timings:
    """Wall seconds and CPU seconds (of the clock given) of each timed call,
    and what the calls returned (each call's, or the last call's)."""

    wall: list[float]
    cpu: list[float]
    found: object


def time_single(
    search_one: Callable[[np.ndarray], object], queries: np.ndarray, warmup: int,
    cpu_clock: Callable[[], float] = time.process_time,
) -> Timings:
    """Each call search_one(q), one query per call; the first `warmup` queries
    are searched untimed. `found` lists every call's result.

    On one core, CPU time is the figure a busy machine disturbs least: it
    leaves out the time other processes held the CPU (not their effect on
    caches). Use time.thread_time when the work runs on the calling thread
    alone, time.process_time when it runs on a one-CPU process's threads."""
    for q in queries[:warmup]:
        search_one(q)
    out = Timings([], [], [])
    for q in queries[warmup:]:
        start, cpu = time.perf_counter(), cpu_clock()
        got = search_one(q)
        out.wall.append(time.perf_counter() - start)
        out.cpu.append(cpu_clock() - cpu)
        out.found.append(got)
    return out


def time_batch(
    search_many: Callable[[np.ndarray], np.ndarray], queries: np.ndarray, repeat: int, warmup: int = 3,
    cpu_clock: Callable[[], float] = time.process_time,
) -> Timings:
    """`repeat` calls search_many(queries), all queries in one call, after a
    small untimed call; `found` holds the ids of the last call."""
    search_many(np.ascontiguousarray(queries[:warmup]))
    out = Timings([], [], None)
    for _ in range(repeat):
        start, cpu = time.perf_counter(), cpu_clock()
        ids = search_many(queries)
        out.wall.append(time.perf_counter() - start)
        out.cpu.append(cpu_clock() - cpu)
    out.found = np.asarray(ids)
    return out


def ms_per_query(call_times: list[float], queries_per_call: int) -> float:
    """Median call time, in milliseconds per query."""
    return float(np.median(call_times)) * 1e3 / queries_per_call


class LoadMeter:
    """CPU time that processes other than this one and its waited-for children
    used over an interval, in cores: how busy the shared machine was while we
    measured (0 on a quiet machine, up to the CPU count)."""

    def __init__(self) -> None:
        self._start = self._read()

    @staticmethod
    def _read() -> tuple[float, float, float]:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        busy = (sum(fields[:8]) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")  # all but idle, iowait
        own = os.times()
        mine = own.user + own.system + own.children_user + own.children_system
        return time.perf_counter(), busy, mine

    def others_cores(self) -> float:
        wall0, busy0, mine0 = self._start
        wall1, busy1, mine1 = self._read()
        return max(0.0, ((busy1 - busy0) - (mine1 - mine0)) / max(wall1 - wall0, 1e-9))


def target_line(text: str, measured: float | None, limit: float, at_least: bool = False, unit: str = "x") -> str:
    """'target: <text>: <measured> (met / not met)'; `at_least` for targets
    the measured value must reach rather than stay under."""
    if measured is None or not np.isfinite(measured):
        return f"target: {text}: not measured"
    met = measured >= limit if at_least else measured <= limit
    shown = f"{measured:.3f}" if unit == "" else f"{measured:.2f}{unit}"
    return f"target: {text}: {shown} ({'met' if met else 'not met'})"


def fmt_rate(x: float) -> str:
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if x >= scale:
            return f"{x / scale:.3g}{unit}"
    return f"{x:.3g}"


def rss_bytes() -> int:
    """The process's current resident set size."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def rss_anon_bytes() -> int:
    """The process's anonymous resident memory (heap and anonymous mappings,
    not the pages of mapped files), from RssAnon in /proc/self/status."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise OSError("RssAnon not in /proc/self/status")


def peak_rss_bytes() -> int:
    """This process image's peak resident set size so far (VmHWM).

    Unlike ru_maxrss, it starts afresh at exec: a child's ru_maxrss starts at
    its parent's resident size at the time of the fork, which can hide the
    child's own peak.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return ru_maxrss_bytes()


def ru_maxrss_bytes() -> int:
    """getrusage's ru_maxrss (KiB on Linux), in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def write_report(out_dir: str, stem: str, text: str, report: dict) -> None:
    """Prints the Markdown report and writes it to <stem>.md, its figures to <stem>.json."""
    print(text)
    with open(os.path.join(out_dir, f"{stem}.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(out_dir, f"{stem}.json"), "w") as f:
        json.dump(report, f, indent=1)


def best_of(fn, repeat: int) -> float:
    """Shortest wall time of `repeat` calls, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def read_probe_bytes_per_s(nbytes: int, repeat: int = 5) -> float:
    """One-core read bandwidth: best of `repeat` timings of buf.view(uint64).sum()."""
    words = max(1, (nbytes + 7) // 8)
    buf = np.ones(words * 8, dtype=np.uint8)  # written once, so every page is resident
    view = buf.view(np.uint64)
    view.sum()
    seconds = best_of(view.sum, repeat)
    return words * 8 / seconds


def thread_affinities() -> dict[str, str]:
    """Allowed-CPU list of every thread of this process, by thread id."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/status") as f:
                for line in f:
                    if line.startswith("Cpus_allowed_list"):
                        out[tid] = line.split()[1]
        except OSError:
            pass
    return out


def blas_info() -> str:
    """Which BLAS kernel NumPy runs (threadpoolctl), or a note that it is unknown."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "threadpoolctl not installed"
    parts = []
    for pool in threadpool_info():
        if pool.get("user_api") == "blas":
            parts.append(
                f"{pool.get('internal_api')} {pool.get('version')} "
                f"{pool.get('architecture')} threads={pool.get('num_threads')}"
            )
    env = ", ".join(f"{k}={os.environ[k]}" for k in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE") if k in os.environ)
    return "; ".join(parts) + (f" (env: {env})" if env else "")
