"""search_batch: many queries in one call, each row exactly what search returns.

Rows are compared with search's own (id, score) list, score bits included, on
Gaussian, clustered and duplicate-heavy data, for dims from 1 to 2048 and k
from 1 to past the row count.
"""

import math

import numpy as np
import pytest

import lodex


def batch_as_lists(ids, scores):
    return [list(zip(row_ids.tolist(), row_scores.astype(np.float64).tolist())) for row_ids, row_scores in zip(ids, scores)]


def same(a, b):
    """Equal (id, score) lists, NaN matching NaN."""
    return len(a) == len(b) and all(
        ia == ib and (sa == sb or (math.isnan(sa) and math.isnan(sb))) for (ia, sa), (ib, sb) in zip(a, b)
    )


def make_rows(kind, rows, dim, rng):
    if kind == "gaussian":
        return rng.standard_normal((rows, dim)).astype(np.float32)
    if kind == "clustered":
        centres = rng.standard_normal((8, dim)).astype(np.float32) * 4
        noise = rng.standard_normal((rows, dim)).astype(np.float32) * 0.05
        return centres[rng.integers(0, 8, rows)] + noise
    # duplicates: a handful of distinct rows, each stored many times
    distinct = rng.standard_normal((5, dim)).astype(np.float32)
    return distinct[rng.integers(0, 5, rows)]


# The C++ tests run the whole matrix of data, widths and dims; these few
# cases show that the binding hands every row its own query and results.
@pytest.mark.parametrize(
    "kind, bits, dim", [("gaussian", 3, 1), ("duplicates", 2, 8), ("gaussian", 4, 64), ("clustered", 5, 2048)]
)
def test_rows_equal_single_searches(kind, bits, dim, rng):
    rows = 3000 if dim <= 64 else 400
    data = make_rows(kind, rows, dim, rng)
    index = lodex.Index(dim, bits, False, 17)
    index.add_batch(range(rows), data)
    queries = np.concatenate([data[:3], rng.standard_normal((3, dim)).astype(np.float32)])
    for k in (1, 10, rows, rows + 5):
        ids, scores = index.search_batch(queries, k)
        assert ids.shape == scores.shape == (len(queries), min(k, rows))
        for got, query in zip(batch_as_lists(ids, scores), queries):
            assert same(got, index.search(query, k))


def test_result_arrays_are_new_contiguous_uint64_and_float32(rng):
    index = lodex.Index(16, 4, False, 1)
    index.add_batch(range(50), rng.standard_normal((50, 16)).astype(np.float32))
    ids, scores = index.search_batch(rng.standard_normal((4, 16)).astype(np.float32), 3)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    for array in (ids, scores):
        assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable


@pytest.mark.parametrize(
    "n, k, rows, shape",
    [(0, 5, 10, (0, 5)), (3, 0, 10, (3, 0)), (3, 5, 0, (3, 0)), (0, 0, 0, (0, 0)), (2, 2**64 - 1, 10, (2, 10))],
)
def test_empty_shapes(n, k, rows, shape, rng):
    index = lodex.Index(8, 3, False, 2)
    if rows:
        index.add_batch(range(rows), rng.standard_normal((rows, 8)).astype(np.float32))
    ids, scores = index.search_batch(np.zeros((n, 8), np.float32), k)
    assert ids.shape == scores.shape == shape


def test_ids_past_two_to_the_63_stay_unsigned(rng):
    index = lodex.Index(8, 4, False, 3)
    index.add_batch([2**64 - 1, 2**63], rng.standard_normal((2, 8)).astype(np.float32))
    ids, _ = index.search_batch(rng.standard_normal((1, 8)).astype(np.float32), 2)
    assert sorted(ids[0].tolist()) == [2**63, 2**64 - 1]


def test_nan_query_row_still_gets_k_results(rng):
    index = lodex.Index(8, 4, False, 3)
    index.add_batch(range(20), rng.standard_normal((20, 8)).astype(np.float32))
    queries = rng.standard_normal((2, 8)).astype(np.float32)
    queries[1, 3] = np.nan
    ids, scores = index.search_batch(queries, 5)
    assert ids.shape == (2, 5) and np.isnan(scores[1]).all() and not np.isnan(scores[0]).any()


def test_same_answers_with_one_thread_and_with_all_on_tied_rows():
    index = lodex.Index(16, 4, False, 5)
    index.add_batch(range(100_000), np.ones((100_000, 16), np.float32))
    queries = np.ones((2, 16), np.float32)
    one = index.search_batch(queries, 5, threads=1)
    every = index.search_batch(queries, 5)
    assert np.array_equal(one[0], every[0]) and np.array_equal(one[1], every[1])
    assert batch_as_lists(*one)[0] == index.search(queries[0], 5)


def fortran(rows, cols):
    return np.asfortranarray(np.zeros((rows, cols), np.float32))


def field_of_structured(rows, cols):
    record = np.zeros(rows, dtype=[("v", "<f4", (cols,)), ("flag", "u1")])
    return record["v"]  # byte strides (4 * cols + 1, 4)


PYARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIGUOUS = "queries must be a contiguous float32 array: The given array is not contiguous"


@pytest.mark.parametrize(
    "queries, k, exc, message",
    [
        (np.zeros(8, np.float32), 1, TypeError, "argument 'queries': " + PYARRAY.format("ndarray")),
        (np.zeros((2, 8)), 1, TypeError, "argument 'queries': " + PYARRAY.format("ndarray")),
        ([[0.0] * 8], 1, TypeError, "argument 'queries': " + PYARRAY.format("list")),
        (fortran(3, 8), 1, ValueError, NOT_CONTIGUOUS),
        (np.zeros((3, 16), np.float32)[:, ::2], 1, ValueError, NOT_CONTIGUOUS),
        (field_of_structured(3, 8), 1, ValueError, NOT_CONTIGUOUS),
        (np.zeros((3, 4), np.float32), 1, RuntimeError, "dimension mismatch: query has 4, index has 8"),
        (np.zeros((0, 4), np.float32), 0, RuntimeError, "dimension mismatch: query has 4, index has 8"),
        (np.zeros((1, 8), np.float32), -1, OverflowError, None),
        (np.zeros((1, 8), np.float32), 2**64, OverflowError, None),
        (np.zeros((1, 8), np.float32), 1.5, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ],
    ids=["1-d", "float64", "list", "fortran", "strided", "structured-field", "width", "width-n0", "negative-k", "huge-k", "float-k"],
)
def test_bad_arguments(queries, k, exc, message, rng):
    index = lodex.Index(8, 4, False, 1)
    index.add_batch(range(5), rng.standard_normal((5, 8)).astype(np.float32))
    with pytest.raises(exc) as info:
        index.search_batch(queries, k)
    if message is not None:
        assert str(info.value) == message
    assert index.size == 5


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"threads": 0}, ValueError, None),
        ({"threads": 10**6}, ValueError, None),
        ({"threads": -1}, OverflowError, None),
        ({"allow": "abc"}, TypeError, "argument 'allow': Can't extract `str` to `Vec`"),
        ({"allow": [-1]}, OverflowError, None),
        ({"candidates": 10}, ValueError, "candidates applies only with rerank"),
        ({"colour": 1}, TypeError, "Index.search_batch() got an unexpected keyword argument 'colour'"),
    ],
)
def test_bad_keywords(kwargs, exc, message):
    index = lodex.Index(8, 4, False, 1)
    with pytest.raises(exc) as info:
        index.search_batch(np.zeros((1, 8), np.float32), 1, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_keyword_only_and_positional_binding():
    index = lodex.Index(8, 4, False, 1)
    queries = np.zeros((1, 8), np.float32)
    assert index.search_batch(queries=queries, k=0)[0].shape == (1, 0)
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        index.search_batch(queries, 1, None)


# 40,000 rows (three pieces of the scan) holding 400 exact copies of each of
# 100 vectors, stored in a shuffled order of ids.
TIED_ROWS, TIED_DIM = 40_000, 16


@pytest.fixture(scope="module", params=["ip", "l2"])
def tied(request):
    rng = np.random.default_rng(11)
    index = lodex.Index(TIED_DIM, 3, False, 2, metric=request.param)
    ids = rng.permutation(TIED_ROWS).astype(np.uint64)
    vectors = rng.standard_normal((100, TIED_DIM)).astype(np.float32)[np.arange(TIED_ROWS) % 100]
    index.add_batch(ids, vectors)
    originals = np.empty_like(vectors)
    originals[ids] = vectors
    position = np.empty(TIED_ROWS, np.int64)
    position[ids] = np.arange(TIED_ROWS)
    return index, request.param, originals, position, rng.standard_normal((3, TIED_DIM)).astype(np.float32)


@pytest.mark.parametrize("threads", [1, None])
@pytest.mark.parametrize("path", ["search", "batch", "range", "allow", "allow_few", "rerank"])
def test_equal_scores_come_in_storage_order_and_k_cuts_a_prefix(tied, path, threads):
    index, metric, originals, position, queries = tied
    allow = {"allow": np.arange(0, TIED_ROWS, 2)} if path == "allow" else {}
    allow = {"allow": np.arange(0, TIED_ROWS, 20)} if path == "allow_few" else allow
    rerank = {"rerank": originals, "candidates": TIED_ROWS} if path == "rerank" else {}
    full_ids, full_scores = index.search_batch(queries, TIED_ROWS, threads=threads, **allow, **rerank)
    for i in range(len(queries)):
        keys = full_scores[i] if metric == "ip" else -full_scores[i]
        pos = position[full_ids[i]]
        assert np.all((keys[:-1] > keys[1:]) | ((keys[:-1] == keys[1:]) & (pos[:-1] < pos[1:])))
    for k in (1, 30, 401, 1234):
        if path == "search":
            got = [index.search(q, k) for q in queries]
            ids = np.array([[i for i, _ in row] for row in got], np.uint64)
            scores = np.array([[s for _, s in row] for row in got], np.float32)
        elif path == "range":
            lims, ids, scores = index.search_range(queries[:1], float(full_scores[0, k - 1]), threads=threads)
            k = len(ids)
            ids, scores = ids[None], scores[None]
        else:
            ids, scores = index.search_batch(queries, k, threads=threads, **allow, **rerank)
        assert np.array_equal(ids, full_ids[: len(ids), :k]) and np.array_equal(scores, full_scores[: len(ids), :k])
