"""The ranking rule of lodex.Index, once in Python: merging the shards' lists by it.

Best first: the highest score for "ip" and "cosine", the smallest for "l2" (a squared distance);
a NaN ranks below every number and level with other NaNs; equal ranks keep their order. This is
the only place the Dask layer orders scores.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray


def sort_keys(scores: NDArray[np.float32], metric: str = "ip") -> NDArray[np.float32]:
    """Keys whose ascending order is the metric's best-first order.

    NumPy's sorts place NaN after every number; negating a score turns ascending into
    descending and leaves a NaN a NaN (and +0.0 and -0.0 equal, as they rank in Index).
    """
    return scores if metric == "l2" else -scores


def ranking(scores: NDArray[np.float32], metric: str = "ip") -> NDArray[np.intp]:
    """The positions of each row's scores, best first, by Index's rule (a stable sort)."""
    return np.argsort(sort_keys(scores, metric), axis=-1, kind="stable")


def merge_top_k(
    parts: Sequence[tuple[NDArray[np.uint64], NDArray[np.float32]]], k: int, metric: str = "ip"
) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
    """The best k of each query over every shard's (ids, scores), each row sorted best first.

    Each shard's list is its own exact top-k, so the overall top-k is among them. Equal scores
    keep shard order. (A partition would be quicker for hundreds of shards, but would break ties
    at the k-th score arbitrarily.)
    """
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    order = ranking(scores, metric)[:, : min(k, ids.shape[1])]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)


def merge_ranges(
    parts: Sequence[tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.float32]]],
    queries: int,
    metric: str = "ip",
) -> tuple[NDArray[np.uint64], NDArray[np.uint64], NDArray[np.float32]]:
    """Every shard's (lims, ids, scores) range answer as one: each query's rows from all shards,
    best first, equal scores in shard order; lims[i]:lims[i + 1] is query i's run."""
    owner = np.concatenate(
        [np.repeat(np.arange(queries), (lims[1:] - lims[:-1]).astype(np.intp)) for lims, _, _ in parts]
        or [np.empty(0, dtype=np.int64)]
    )
    ids = np.concatenate([p[1] for p in parts] or [np.empty(0, dtype=np.uint64)])
    scores = np.concatenate([p[2] for p in parts] or [np.empty(0, dtype=np.float32)])
    # lexsort is stable and sorts by its last key first: by query, then best first, then shard order.
    order = np.lexsort((sort_keys(scores, metric), owner))
    lims = np.zeros(queries + 1, dtype=np.uint64)
    np.cumsum(np.bincount(owner, minlength=queries), out=lims[1:])
    return lims, ids[order], scores[order]


def rank_candidates(
    ids: NDArray[np.uint64], exact: NDArray[np.float32], k: int, metric: str
) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
    """Re-ranking's last step, as Index takes it: each query's candidates, in their compressed
    order, ordered again by their exact scores (equal ones keeping candidate order), the best k kept."""
    order = ranking(exact, metric)[:, : min(k, ids.shape[1])]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(exact, order, axis=1)
