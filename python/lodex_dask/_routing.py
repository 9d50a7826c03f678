"""Which shard holds a row: a fixed function of its id, recorded by name in every manifest.

Nothing here may change how an id routes: saved collections depend on it.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

ROUTING = "splitmix64"

_U64 = np.uint64


def route(ids: NDArray[np.uint64], shards: int) -> NDArray[np.intp]:
    """The shard of each id: splitmix64's finalizer of the id, modulo the shard count.

    Mixing first spreads ids that share a pattern (consecutive ones, or multiples of the shard
    count) evenly. Saved collections depend on this function: it must never change.
    """
    z = ids.astype(_U64, copy=True)
    with np.errstate(over="ignore"):
        z += _U64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> _U64(30))) * _U64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> _U64(27))) * _U64(0x94D049BB133111EB)
    z ^= z >> _U64(31)
    return (z % _U64(shards)).astype(np.intp)


def split(shard_of: NDArray[np.intp], shards: int) -> list[NDArray[np.intp]]:
    """Row numbers of each shard, in their original order (so rows of one id keep theirs)."""
    order = np.argsort(shard_of, kind="stable")
    ends = np.cumsum(np.bincount(shard_of, minlength=shards))
    return np.split(order, ends[:-1])
