"""Shared helpers of the benchmark scripts: data, memory readings, timing."""

from __future__ import annotations

import os
import resource
import time

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


def rss_bytes() -> int:
    """The process's current resident set size."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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
