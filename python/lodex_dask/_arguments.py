"""Checks lodex.Index makes in C++, repeated with the same types, texts and order where the
coordinator must look at an argument before any shard does (to split rows, or to refuse a call
that would reach some shards only).

No lodex object is touched here: each function only checks and converts a value.
"""

from __future__ import annotations

import operator
import os
from typing import Any, NamedTuple, NoReturn

import numpy as np
from numpy.typing import NDArray

_U64 = np.uint64


def _type_name(obj: object) -> str:
    return type(obj).__name__


def _argument_error(name: str, exc: TypeError) -> NoReturn:
    # Index names the argument in a conversion's TypeError; other errors pass unchanged.
    raise TypeError(f"argument '{name}': {exc}") from exc.__cause__


def _u64(value: int) -> int:
    """`value` when it fits an unsigned 64-bit id, else the OverflowError Python's C API raises."""
    if value < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if value >> 64:
        raise OverflowError("int too big to convert")
    return value


def integer(obj: Any, name: str) -> int:
    """An unsigned 64-bit integer argument (k, say): an int or anything with __index__."""
    try:
        value = obj if isinstance(obj, int) else operator.index(obj)
    except TypeError as exc:
        _argument_error(name, exc)
    return _u64(value)


# The most ids a plausible batch holds: beside a `vectors` that fails its checks, Index converts
# no more than this many claimed ids before raising that failure.
PLAUSIBLE_IDS = 1 << 24


def ids(obj: Any, name: str, rows: int | None = None, too_many: Exception | None = None) -> NDArray[np.uint64]:
    """Ids as Index converts them: any sequence but str whose elements are integers in
    0 .. 2**64-1. Before any element is looked at, a claimed length is checked against `rows`
    (when known), and `too_many` is raised for more than PLAUSIBLE_IDS."""
    if isinstance(obj, str):
        raise TypeError(f"argument '{name}': Can't extract `str` to `Vec`")
    if isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise TypeError(f"argument '{name}': '{_type_name(obj)}' object cannot be converted to 'Sequence'")
    # A length only when the type has one; an error its __len__ raises is the caller's.
    length = len(obj) if hasattr(type(obj), "__len__") else None
    if rows is not None and length is not None and length != rows:
        raise ValueError(f"ids length {length} != row count {rows}")
    if too_many is not None and length is not None and length > PLAUSIBLE_IDS:
        raise too_many
    # Arrays and plain containers of integers convert in one step; anything else, and every
    # error, takes the element-by-element route that raises Index's own messages.
    if isinstance(obj, (np.ndarray, list, tuple, range)):
        array = obj if isinstance(obj, np.ndarray) else np.asarray(obj)
        if array.ndim == 1 and array.dtype.kind in "iu" and not (array.dtype.kind == "i" and (array < 0).any()):
            return array.astype(_U64, copy=False)
    try:
        items = iter(obj)
    except TypeError as exc:
        _argument_error(name, exc)
    values = []
    while True:
        try:
            item = next(items)
        except StopIteration:
            break
        except TypeError as exc:
            _argument_error(name, exc)
        try:
            value = item if isinstance(item, int) else operator.index(item)
        except TypeError as exc:
            _argument_error(name, exc)
        values.append(_u64(value))
    return np.array(values, dtype=_U64)


def float32_array(obj: object, ndim: int, name: str) -> NDArray[np.float32]:
    """A NumPy array of `ndim` dimensions and native float32 values, or Index's TypeError."""
    if not (isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == np.float32):
        raise TypeError(f"argument '{name}': '{_type_name(obj)}' object cannot be converted to 'PyArray<T, D>'")
    return obj


def row_major(array: NDArray[np.float32]) -> bool:
    """Whether Index reads the matrix in place as one run: each axis longer than one has the
    byte stride of a C-contiguous array."""
    rows, cols = array.shape
    cols_ok = cols == 1 or array.strides[1] == 4
    rows_ok = rows == 1 or array.strides[0] == cols * 4
    return rows == 0 or cols == 0 or (cols_ok and rows_ok)


def not_contiguous(name: str) -> ValueError:
    return ValueError(f"{name} must be a contiguous float32 array: The given array is not contiguous")


def dimension_mismatch(width: int, dim: int) -> RuntimeError:
    return RuntimeError(f"dimension mismatch: query has {width}, index has {dim}")


def batch(ids_obj: Any, vectors_obj: Any, dim: int) -> tuple[NDArray[np.uint64], NDArray[np.float32]]:
    """add_batch's arguments in Index's order: the ids, then `vectors`, then the length. A length
    the ids claim is weighed first: beside a `vectors` that passes its checks another length is
    the length error at once; beside one that fails them, too many ids are that failure at once."""
    try:
        matrix: NDArray[np.float32] | None = vectors(vectors_obj, dim)
        failure = None
    except (TypeError, ValueError) as exc:
        matrix, failure = None, exc
    values = ids(ids_obj, "ids", None if matrix is None else matrix.shape[0], failure)
    matrix = vectors(vectors_obj, dim)
    if len(values) != matrix.shape[0]:
        raise ValueError(f"ids length {len(values)} != row count {matrix.shape[0]}")
    return values, matrix


def vectors(obj: Any, dim: int) -> NDArray[np.float32]:
    """add_batch's `vectors`, checked in Index's order: its type, its width, its layout."""
    array = float32_array(obj, 2, "vectors")
    if array.shape[1] != dim:
        raise ValueError(f"vector dimension {array.shape[1]} != index dimension {dim}")
    if not row_major(array):
        raise ValueError("vectors array must be C-contiguous (row-major)")
    return array


class Search(NamedTuple):
    queries: NDArray[np.float32]
    k: int
    allow: NDArray[np.uint64] | None
    threads: int | None
    rerank: str | None  # the originals' .npy file, as an absolute path
    candidates: int | None


def search(
    obj: Any,
    k: object,
    allow: object,
    dim: int,
    threads: object = None,
    rerank: object = None,
    candidates: object = None,
) -> Search:
    """search_batch's arguments, in Index's order: every type first (the array's, k's, allow's,
    threads', rerank's, candidates'), then the array's layout, then the values: candidates
    against rerank and k, the width. The threads count is each shard's Index's to check: it
    depends on the worker's pool."""
    array = float32_array(obj, 2, "queries")
    count = integer(k, "k")
    allowed = None if allow is None else ids(allow, "allow")
    thread_count = None if threads is None else integer(threads, "threads")
    path = None if rerank is None else npy_path(rerank, "rerank")
    wanted = None if candidates is None else integer(candidates, "candidates")
    if not row_major(array):
        raise not_contiguous("queries")
    if wanted is not None and path is None:
        raise ValueError("candidates applies only with rerank")
    if wanted is not None and wanted < count:
        raise ValueError(f"candidates ({wanted}) must be at least k ({count})")
    if array.shape[1] != dim:
        raise dimension_mismatch(array.shape[1], dim)
    return Search(array, count, allowed, thread_count, path, wanted)


def queries(obj: Any, k: object, allow: object, dim: int) -> tuple[NDArray[np.float32], int, NDArray[np.uint64] | None]:
    """search_batch's arguments without the keywords past `allow`."""
    checked = search(obj, k, allow, dim)
    return checked.queries, checked.k, checked.allow


def npy_path(obj: object, name: str) -> str:
    """A path (str or os.PathLike) every worker opens as it is: made absolute here, since workers
    resolve relative paths against their own working directory."""
    if not isinstance(obj, (str, os.PathLike)):
        raise TypeError(f"argument '{name}': '{_type_name(obj)}' object is not the path of a .npy file")
    return os.path.abspath(os.fsdecode(obj))


def query(obj: Any, k: object, dim: int) -> tuple[NDArray[np.float32], int]:
    """search's arguments, in Index's order."""
    array = float32_array(obj, 1, "query")
    count = integer(k, "k")
    if len(array) > 1 and array.strides[0] != 4:
        raise not_contiguous("query")
    if len(array) != dim:
        raise dimension_mismatch(len(array), dim)
    return array, count


def directory(obj: object) -> str:
    if not isinstance(obj, str):
        raise TypeError(f"argument 'directory': '{_type_name(obj)}' object cannot be converted to 'PyString'")
    # Workers resolve relative paths against their own working directory.
    return os.path.abspath(obj)
