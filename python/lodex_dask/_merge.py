"""The ranking rule of lodex.Index, once in Python: merging the shards' top-k lists by it.

Best first by score; a NaN ranks below every number and level with other NaNs; equal ranks
keep their order. This is the only place the Dask layer orders scores.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray


def ranking(scores: NDArray[np.float32]) -> NDArray[np.intp]:
    """The positions of each row's scores, best first, by Index's rule.

    NumPy's sort already places NaN after every number, and a stable sort keeps the order of
    equal keys; negating the scores turns its ascending order into Index's descending one
    (a NaN stays a NaN, and +0.0 and -0.0 stay equal, as they rank in Index).
    """
    return np.argsort(-scores, axis=-1, kind="stable")


def merge_top_k(
    parts: Sequence[tuple[NDArray[np.uint64], NDArray[np.float32]]], k: int
) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
    """The best k of each query over every shard's (ids, scores), each row sorted best first.

    Each shard's list is its own exact top-k, so the overall top-k is among them. Equal scores
    keep shard order. (A partition would be quicker for hundreds of shards, but would break ties
    at the k-th score arbitrarily.)
    """
    ids = np.concatenate([p[0] for p in parts], axis=1)
    scores = np.concatenate([p[1] for p in parts], axis=1)
    order = ranking(scores)[:, : min(k, ids.shape[1])]
    return np.take_along_axis(ids, order, axis=1), np.take_along_axis(scores, order, axis=1)
