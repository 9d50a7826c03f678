"""The numbers behind the cosine and squared-L2 scores and behind centring.

A float32 NumPy model of lodex's row encoder (seeded sign flip and
Walsh-Hadamard rotation over the power-of-two width, Lloyd-Max codes, bfloat16
norm) and of its score, sum_j centroid(code_j) * (H D q)_j * norm / width,
measured at 2-5 bits against exact float64 results:

  1. the shrink: the score is on average (1 - D) times the inner product, D the
     codebook's mean squared error on N(0, 1); cosine (unit rows and queries)
     and squared L2 (|q|^2 + n^2 - 2 * score) with and without dividing the
     score by (1 - D), on Gaussian rows and Fashion-MNIST;
  2. centring: rows stored as x - c. "kept": the query is scored as it is and
     q.c is added; "shifted": (q - c) is scored (as it is, or over 1 - D), and
     the row's exact c.(x - c), kept beside it in bfloat16, float16 or float32,
     and q.c are added. On
     Gaussian rows offset by 3.0 in every coordinate and on Fashion-MNIST
     (c the mean row; for cosine the mean of the normalised rows).

Each cell is "recall@10 / error": the error is the RMS difference between the
estimated and the exact score, over the RMS spread of the exact scores of one
query's rows (so 0.1 means noise a tenth of the spread the ranking sees).

    python benchmarks/metrics_study.py            # 60,000 rows, 1,000 queries (some minutes)
    python benchmarks/metrics_study.py --quick    # 10,000 rows, 200 queries
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import load_fashion_mnist, make_data, make_queries  # noqa: E402

K = 10
BITS = (2, 3, 4, 5)
# Positive halves of the Lloyd-Max centroids for N(0, 1) (lodex's codebook).
POSITIVE_CENTROIDS = {
    2: [0.4528, 1.5104],
    3: [0.2451, 0.756, 1.344, 2.152],
    4: [0.1284, 0.3881, 0.6568, 0.9423, 1.2562, 1.618, 2.069, 2.7326],
    5: [0.063, 0.1895, 0.3172, 0.4473, 0.5806, 0.7184, 0.862, 1.013,
        1.1735, 1.3463, 1.5352, 1.746, 1.9882, 2.2788, 2.6548, 3.2288],
}
MIN_NORM = np.float32(1e-10)


def centroids(bits: int) -> np.ndarray:
    half = np.array(POSITIVE_CENTROIDS[bits], dtype=np.float32)
    return np.concatenate([-half[::-1], half])


def boundaries(bits: int) -> np.ndarray:
    c = centroids(bits)
    return ((c[:-1] + c[1:]) / np.float32(2)).astype(np.float32)


def kept_energy(bits: int) -> float:
    """1 - D = E[centroid^2] under N(0, 1): the bins' masses times their
    centroids squared (Lloyd-Max centroids are the bins' conditional means,
    so E[centroid * value] is the same number and the score shrinks by it)."""
    c = centroids(bits).astype(np.float64)
    edges = [-math.inf, *boundaries(bits).astype(np.float64), math.inf]
    cdf = [0.5 * (1.0 + math.erf(e / math.sqrt(2.0))) for e in edges]
    return sum((cdf[i + 1] - cdf[i]) * c[i] ** 2 for i in range(len(c)))


def bf16(x: np.ndarray) -> np.ndarray:
    """float32 -> bfloat16 (round to nearest, ties to even) -> float32."""
    b = np.ascontiguousarray(x, dtype=np.float32).view(np.uint32).astype(np.uint64)
    up = ((b >> 15) & 1) & (((b & 0x17FFF) != 0).astype(np.uint64))
    return (((b >> 16) + up) << 16).astype(np.uint32).view(np.float32)


def store(x: np.ndarray, kind: str) -> np.ndarray:
    """A per-row float as it would be kept: bf16, f16 or f32."""
    if kind == "bf16":
        return bf16(x)
    if kind == "f16":
        with np.errstate(over="ignore"):
            return x.astype(np.float16).astype(np.float32)
    return x.astype(np.float32)


class Model:
    """Encoder and score of one index: width a power of two, seeded signs."""

    def __init__(self, dim: int, seed: int = 42) -> None:
        self.dim = dim
        self.width = 1 << max(0, (dim - 1).bit_length())
        self.signs = np.random.default_rng(seed).choice(np.array([-1.0, 1.0], dtype=np.float32), self.width)

    def rotate(self, x: np.ndarray) -> np.ndarray:
        """H D x over the padded width, unscaled (natural-order butterflies)."""
        y = np.zeros((len(x), self.width), dtype=np.float32)
        y[:, : self.dim] = x
        y *= self.signs
        h = 1
        while h < self.width:
            v = y.reshape(len(y), -1, 2, h)
            a, b = v[:, :, 0, :].copy(), v[:, :, 1, :].copy()
            v[:, :, 0, :] = a + b
            v[:, :, 1, :] = a - b
            h *= 2
        return y

    def encode(self, x: np.ndarray, bits: int) -> tuple[np.ndarray, np.ndarray]:
        """(centroid values of the codes, float32 norms before narrowing)."""
        norm = np.sqrt(np.sum(x * x, axis=1, dtype=np.float32))
        ok = norm > MIN_NORM
        unit = np.zeros_like(x)
        unit[ok] = x[ok] / norm[ok, None]
        y = self.rotate(unit)
        # (y / sqrt(width)) * sqrt(width): the encoder's two roundings.
        root = np.float32(math.sqrt(self.width))
        y = (y * (np.float32(1.0) / root)) * root
        codes = np.searchsorted(boundaries(bits), y, side="left")
        return centroids(bits)[codes], norm

    def sums(self, q: np.ndarray, values: np.ndarray) -> np.ndarray:
        """The scan's sums: centroid values times the unscaled rotated query."""
        return self.rotate(q) @ values.T

    def scale(self, sums: np.ndarray, norms: np.ndarray) -> np.ndarray:
        """sum * (norm * 1 / width): the estimate of <q_i, x_j>."""
        return sums * (norms * np.float32(1.0 / self.width))[None, :]


def normalise(x: np.ndarray) -> np.ndarray:
    """Rows over their norms; rows of norm at most 1e-10 become zero."""
    norm = np.sqrt(np.sum(x * x, axis=1, dtype=np.float32))
    out = np.zeros_like(x)
    ok = norm > MIN_NORM
    out[ok] = x[ok] / norm[ok, None]
    return out


def top_k(scores: np.ndarray, largest: bool) -> np.ndarray:
    s = -scores if largest else scores
    return np.argpartition(s, K, axis=1)[:, :K]


class Truth:
    """Exact float64 scores of one metric, their top-K and their spread."""

    def __init__(self, scores: np.ndarray, largest: bool) -> None:
        self.scores = scores
        self.largest = largest
        self.top = top_k(scores, largest)
        self.spread = float(np.sqrt(np.mean(np.var(scores, axis=1))))

    def evaluate(self, est: np.ndarray) -> tuple[float, float]:
        """(recall@K, RMS error over the RMS within-query spread of the truth)."""
        found = top_k(est, self.largest)
        recall = np.mean([len(set(a) & set(b)) / K for a, b in zip(found, self.top)])
        err = np.sqrt(np.mean((est.astype(np.float64) - self.scores) ** 2))
        return float(recall), float(err / self.spread)


class Table:
    def __init__(self, title: str) -> None:
        self.title = title
        self.rows: dict[str, dict[int, str]] = {}

    def add(self, name: str, bits: int, cell: tuple[float, float] | str) -> None:
        text = cell if isinstance(cell, str) else f"{cell[0]:.3f} / {cell[1]:.3f}"
        self.rows.setdefault(name, {})[bits] = text

    def print(self) -> None:
        width = max(len(n) for n in self.rows)
        print(f"\n{self.title}")
        print(f"  {'':{width}}  " + "  ".join(f"{f'{b} bits':>15}" for b in BITS))
        for name, cells in self.rows.items():
            print(f"  {name:{width}}  " + "  ".join(f"{cells.get(b, ''):>15}" for b in BITS))


def truths(x: np.ndarray, q: np.ndarray) -> dict[str, Truth]:
    """Exact scores and top-K per metric, in float64."""
    x64, q64 = x.astype(np.float64), q.astype(np.float64)
    ip = q64 @ x64.T
    xn, qn = np.linalg.norm(x64, axis=1), np.linalg.norm(q64, axis=1)
    cos = ip / np.maximum(qn[:, None] * xn[None, :], 1e-300)
    l2 = qn[:, None] ** 2 + xn[None, :] ** 2 - 2.0 * ip
    return {"ip": Truth(ip, True), "cosine": Truth(cos, True), "l2": Truth(l2, False)}


def metric_study(name: str, x: np.ndarray, q: np.ndarray, t: dict[str, Truth]) -> None:
    """Study 1: the shrink and the cosine / L2 formulas, no centring."""
    model = Model(x.shape[1])
    table = Table(f"{name}: metrics, recall@{K} / error (no centring)")
    q2 = np.sum(q * q, axis=1, dtype=np.float32)
    xu, qu = normalise(x), normalise(q)
    two = np.float32(2)
    for bits in BITS:
        keep = np.float32(kept_energy(bits))
        values, norm = model.encode(x, bits)
        sums = model.sums(q, values)
        del values
        nb = bf16(norm)
        ip = model.scale(sums, nb)
        slope = float(np.sum(ip.astype(np.float64) * t["ip"].scores) / np.sum(t["ip"].scores ** 2))
        table.add("shrink: 1 - D (codebook)", bits, f"{kept_energy(bits):.4f}")
        table.add("shrink: measured slope", bits, f"{slope:.4f}")
        table.add("ip (today)", bits, t["ip"].evaluate(ip))
        # Squared L2 from the bf16 norm, the score as it is or divided by
        # 1 - D, and (for comparison) with the float32 norm in both places.
        table.add("l2, score as is", bits, t["l2"].evaluate(q2[:, None] + (nb * nb)[None, :] - two * ip))
        table.add("l2, score / (1 - D)", bits, t["l2"].evaluate(q2[:, None] + (nb * nb)[None, :] - two * (ip / keep)))
        exact = q2[:, None] + (norm * norm)[None, :] - two * (model.scale(sums, norm) / keep)
        table.add("l2, score / (1 - D), f32 norm", bits, t["l2"].evaluate(exact))
        del sums, ip, exact
        # Cosine: unit rows (stored norm 1, or 0 for a zero row), a unit query.
        values, unorm = model.encode(xu, bits)
        stored = np.where(unorm > MIN_NORM, np.float32(1), np.float32(0)).astype(np.float32)
        cos = model.scale(model.sums(qu, values), stored)
        del values
        table.add("cosine, score as is", bits, t["cosine"].evaluate(cos))
        table.add("cosine, score / (1 - D)", bits, t["cosine"].evaluate(cos / keep))
        print(f"  {name}: {bits} bits done", file=sys.stderr, flush=True)
    table.print()


def centring_study(name: str, x: np.ndarray, q: np.ndarray, t: dict[str, Truth]) -> None:
    """Study 2: rows stored shifted by their mean, the query kept or shifted."""
    model = Model(x.shape[1])
    table = Table(f"{name}: centring, recall@{K} / error")
    c = x.mean(axis=0, dtype=np.float64).astype(np.float32)
    xc, qc = x - c, q - c
    qdotc = (q @ c)[:, None]
    row_term = (xc @ c).astype(np.float32)
    xu, qu = normalise(x), normalise(q)
    cu = xu.mean(axis=0, dtype=np.float64).astype(np.float32)
    xuc, quc = xu - cu, qu - cu
    unit_row_term = (xuc @ cu).astype(np.float32)
    qc2 = np.sum(qc * qc, axis=1, dtype=np.float32)
    q2 = np.sum(q * q, axis=1, dtype=np.float32)
    two = np.float32(2)
    for bits in BITS:
        keep = np.float32(kept_energy(bits))
        values, norm = model.encode(x, bits)
        nb = bf16(norm)
        ip = model.scale(model.sums(q, values), nb)
        del values
        table.add("ip: plain", bits, t["ip"].evaluate(ip))
        l2 = q2[:, None] + (nb * nb)[None, :] - two * (ip / keep)
        table.add("l2: plain, score / (1 - D)", bits, t["l2"].evaluate(l2))
        del ip, l2
        values, norm = model.encode(xc, bits)
        nb = bf16(norm)
        table.add("ip: centred, query kept", bits, t["ip"].evaluate(model.scale(model.sums(q, values), nb) + qdotc))
        shifted = model.scale(model.sums(qc, values), nb)
        del values
        est = shifted + bf16(row_term)[None, :] + qdotc
        table.add("ip: centred, query shifted, score as is, bf16", bits, t["ip"].evaluate(est))
        for kind in ("bf16", "f16", "f32"):
            est = shifted / keep + store(row_term, kind)[None, :] + qdotc
            table.add(f"ip: centred, query shifted, / (1 - D), {kind}", bits, t["ip"].evaluate(est))
        est = qc2[:, None] + (nb * nb)[None, :] - two * (shifted / keep)
        table.add("l2: centred, score / (1 - D)", bits, t["l2"].evaluate(est))
        del shifted, est
        values, norm = model.encode(xu, bits)
        stored = np.where(norm > MIN_NORM, np.float32(1), np.float32(0)).astype(np.float32)
        cos = model.scale(model.sums(qu, values), stored) / keep
        del values
        table.add("cosine: plain, score / (1 - D)", bits, t["cosine"].evaluate(cos))
        values, norm = model.encode(xuc, bits)
        sums = model.sums(quc, values)
        del values
        for kind in ("bf16", "f32"):
            cos = model.scale(sums, bf16(norm)) / keep + store(unit_row_term, kind)[None, :] + (qu @ cu)[:, None]
            table.add(f"cosine: centred (unit-row mean), shifted, {kind}", bits, t["cosine"].evaluate(cos))
        del sums, cos
        print(f"  {name}: {bits} bits done", file=sys.stderr, flush=True)
    table.print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10,000 rows and 200 queries")
    parser.add_argument("--dim", type=int, default=768, help="width of the Gaussian rows (default 768)")
    args = parser.parse_args()
    rows, queries = (10_000, 200) if args.quick else (60_000, 1_000)
    start = time.time()

    print("1 - D per width (the score's mean shrink):", ", ".join(f"{b} bits {kept_energy(b):.6f}" for b in BITS))
    gauss = make_data("gaussian", rows, args.dim)
    gauss_q = make_queries("gaussian", queries, rows, args.dim)
    train, test = load_fashion_mnist(rows, queries)
    train, test = np.ascontiguousarray(train[:, :784]), np.ascontiguousarray(test[:, :784])

    metric_study(f"Gaussian {rows}x{args.dim}", gauss, gauss_q, truths(gauss, gauss_q))
    fashion = truths(train, test)
    metric_study(f"Fashion-MNIST {rows}x784", train, test, fashion)
    offset = np.float32(3.0)
    shifted, shifted_q = gauss + offset, gauss_q + offset
    centring_study(f"Gaussian {rows}x{args.dim} + 3.0", shifted, shifted_q, truths(shifted, shifted_q))
    centring_study(f"Fashion-MNIST {rows}x784", train, test, fashion)
    print(f"\n({time.time() - start:.0f} s)")


if __name__ == "__main__":
    main()
