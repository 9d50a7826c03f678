"""The coordinator's argument checks, where it must look at an argument before any shard does (to
split rows, or to refuse a call that would reach some shards only).

Each conversion is Index's own (lodex._arguments) and each value check an empty Index's of the
same parameters, so every type, text and order is Index's; only the checks of what Index does
not take (a .npy path, a directory) are written here. No shard is touched.
"""

from __future__ import annotations

import os
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

import lodex
from lodex import _arguments as index_arguments


class Search(NamedTuple):
    queries: NDArray[np.float32]
    k: int
    allow: NDArray[np.uint64] | None
    threads: int | None
    rerank: str | None  # the originals' .npy file, as an absolute path
    candidates: int | None


def search(
    probe: lodex.Index,
    obj: Any,
    k: object,
    allow: object,
    threads: object = None,
    rerank: object = None,
    candidates: object = None,
) -> Search:
    """search_batch's arguments, in Index's order: every type first (the array's, k's, allow's,
    threads', rerank's, candidates'), then the array's layout, then the values, which `probe` (an
    empty Index of the same parameters) checks: candidates against rerank and k, the width. The
    threads count is each shard's Index's to check: it depends on the worker's pool."""
    array = index_arguments.as_float32_array(obj, 2, "queries")
    count = index_arguments.to_u64(k, "k")
    allowed = None if allow is None else index_arguments.convert_ids(allow, "allow")
    thread_count = None if threads is None else index_arguments.to_u64(threads, "threads")
    path = None if rerank is None else npy_path(rerank, "rerank")
    wanted = None if candidates is None else index_arguments.to_u64(candidates, "candidates")
    index_arguments.as_row_major_matrix(array, "queries")
    # No originals for an empty index to read: a stand-in of the right width lets it check the rest.
    originals = None if path is None else np.empty((0, probe.config["dim"]), dtype=np.float32)
    probe.search_batch(array, count, rerank=originals, candidates=wanted)
    return Search(array, count, allowed, thread_count, path, wanted)


def npy_path(obj: object, name: str) -> str:
    """A path (str or os.PathLike) every worker opens as it is: made absolute here, since workers
    resolve relative paths against their own working directory."""
    if not isinstance(obj, (str, os.PathLike)):
        raise TypeError(f"argument '{name}': '{type(obj).__name__}' object is not the path of a .npy file")
    return os.path.abspath(os.fsdecode(obj))


def directory(obj: object) -> str:
    # Workers resolve relative paths against their own working directory.
    return os.path.abspath(index_arguments.to_path(obj, "directory"))
