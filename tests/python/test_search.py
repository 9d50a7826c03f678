import math
import struct
import threading

import numpy as np
import pytest

import lodex

from conftest import SANITIZED, make_index, run_python


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def test_results_are_sorted_tuples_of_int_and_float(rng):
    index = make_index(dim=32, rows=100, rng=rng)
    results = index.search(rng.standard_normal(32).astype(np.float32), 10)
    assert isinstance(results, list) and len(results) == 10
    assert all(type(i) is int and type(s) is float for i, s in results)
    scores = [s for _, s in results]
    assert scores == sorted(scores, reverse=True)
    assert all(s == f32(s) for s in scores)  # exact doubles of float32 values


@pytest.mark.parametrize("k", [0, 1, 99, 100, 101, 2**64 - 1])
def test_result_count_is_min_of_k_and_size(k, rng):
    index = make_index(dim=16, rows=100, rng=rng)
    assert len(index.search(rng.standard_normal(16).astype(np.float32), k)) == min(k, 100)


def test_empty_index_and_zero_k_return_empty():
    index = make_index(dim=8)
    assert index.search(np.ones(8, np.float32), 5) == []
    assert make_index(dim=8, rows=3).search(np.ones(8, np.float32), 0) == []


@pytest.mark.parametrize("rows, k", [(0, 0), (0, 3), (5, 0), (5, 3)])
def test_length_is_checked_before_shortcuts(rows, k):
    index = make_index(dim=4, rows=rows)
    with pytest.raises(RuntimeError) as info:
        index.search(np.ones(3, np.float32), k)
    assert str(info.value) == "dimension mismatch: query has 3, index has 4"


@pytest.mark.parametrize(
    "query, k, exc, message",
    [
        ([1.0] * 8, 1, TypeError, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(8), 1, TypeError, "argument 'query': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones((1, 8), np.float32), 1, TypeError, "argument 'query': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(8, np.float32), 1.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (np.ones(8, np.float32), -1, OverflowError, "can't convert negative int to unsigned"),
        (np.ones(8, np.float32), 2**64, OverflowError, None),
        (np.ones(16, np.float32)[::2], 1, ValueError, "query must be a contiguous float32 array: The given array is not contiguous"),
        # The query's type is checked before k, and k before contiguity.
        ([1.0], "x", TypeError, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(16, np.float32)[::2], -1, OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_bad_arguments(query, k, exc, message):
    index = make_index(dim=8, rows=2)
    with pytest.raises(exc) as info:
        index.search(query, k)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_contiguous_slice_is_accepted(rng):
    index = make_index(dim=8, rows=20, rng=rng)
    longer = rng.standard_normal(24).astype(np.float32)
    assert index.search(longer[8:16], 3) == index.search(longer[8:16].copy(), 3)


def test_keyword_arguments(rng):
    index = make_index(dim=8, rows=20, rng=rng)
    q = rng.standard_normal(8).astype(np.float32)
    assert index.search(query=q, k=4) == index.search(q, 4) == index.search(k=4, query=q)


def test_worked_example_score():
    # dim 2, bits 2 and seed 0: the sign vector is (+1, +1); a stored row of
    # (1, 0) and a query of (1, 0) give a score of the centroid table entries
    # selected by the row's codes, scaled by norm / dim.
    index = lodex.Index(2, 2, False, 0)
    index.add_batch([9], np.array([[1.0, 0.0]], np.float32))
    [(row_id, score)] = index.search(np.array([1.0, 0.0], np.float32), 1)
    assert row_id == 9
    # Rotated row (0.7071, 0.7071) * sqrt(2) = (1, 1) -> codes 3, 3 (both > 0.9816).
    top = f32(1.5104)
    assert score == f32(f32(top * 1.0 + top * 1.0) * f32(1.0 * 0.5))


def test_scores_repeat_bit_for_bit(rng):
    index = make_index(dim=128, bits=3, rows=5000, rng=rng)
    q = rng.standard_normal(128).astype(np.float32)
    first = index.search(q, 5000)
    for _ in range(3):
        assert index.search(q, 5000) == first


@pytest.mark.parametrize("query_sign", [1, -1])  # with seed 7: +0.0, then -0.0
def test_zero_rows_score_signed_zero(query_sign):
    # A zero row scores (table sum) x (0 x scale): a zero with the sign of the
    # sum. A row of norm 1e-12 (at most 1e-10) gets the same codes and keeps
    # its norm, so its tiny score shows the sign that sum has.
    index = make_index(dim=8, bits=2)
    index.add_batch([1, 2], np.array([np.zeros(8), [1e-12] + [0] * 7], np.float32))
    scores = dict(index.search(query_sign * np.ones(8, np.float32), 2))
    assert scores[1] == 0.0 and scores[2] != 0.0
    assert math.copysign(1.0, scores[1]) == math.copysign(1.0, scores[2])


def test_nan_query_returns_nan_scores(rng):
    index = make_index(dim=16, rows=30, rng=rng)
    q = np.ones(16, np.float32)
    q[3] = np.nan
    results = index.search(q, 10)
    assert len(results) == 10 and all(np.isnan(s) for _, s in results)


def test_non_finite_rows_mixed_in_never_hang(rng):
    index = make_index(dim=16)
    data = rng.standard_normal((200, 16)).astype(np.float32)
    data[::7, 2] = np.nan
    data[3::11, 5] = np.inf
    with np.errstate(over="ignore"):
        data[5::13] *= np.float32(3e38)  # norms overflow to infinity
    index.add_batch(range(200), data)
    q = rng.standard_normal(16).astype(np.float32)
    for k in (1, 10, 199, 200, 500):
        assert len(index.search(q, k)) == min(k, 200)


def first_signs(dim, bits, use_qjl, seeds=range(16)):
    """The rotation's sign for coordinate 0, per seed, as search shows it.

    A zero row's codes all pick the centroid just below zero; against the
    query e0, whose rotation is sign[0] in every coordinate, it scores
    (negative centroid x dim x sign[0]) x 0: a zero of sign -sign[0].
    """
    signs = []
    for seed in seeds:
        index = lodex.Index(dim, bits, use_qjl, seed)
        index.add_batch([0], np.zeros((1, dim), np.float32))
        e0 = np.zeros(dim, np.float32)
        e0[0] = 1
        [(_, score)] = index.search(e0, 1)
        signs.append(-math.copysign(1.0, score))
    return signs


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
def test_same_seed_same_results_whatever_the_width(rng, bits):
    # QJL bits widen every row but never enter a score: the same results, bit for bit.
    data = rng.standard_normal((300, 64)).astype(np.float32)
    q = rng.standard_normal(64).astype(np.float32)
    plain, with_qjl = lodex.Index(64, bits, False, 5), lodex.Index(64, bits, True, 5)
    plain.add_batch(range(300), data)
    with_qjl.add_batch(range(300), data)
    assert plain.search(q, 300) == with_qjl.search(q, 300)
    # Scores differ from one bit width to the next; the rotation does not:
    # it is a function of dim and seed alone.
    for dim in (1, 64):
        reference = first_signs(dim, 2, False)
        assert sorted(set(reference)) == [-1.0, 1.0]  # the probe does see the seed
        assert first_signs(dim, bits, False) == first_signs(dim, bits, True) == reference


def test_recall_against_exact_inner_products(rng):
    data = rng.standard_normal((4000, 64)).astype(np.float32)
    queries = rng.standard_normal((20, 64)).astype(np.float32)
    index = make_index(dim=64, bits=5)
    index.add_batch(range(4000), data)
    exact = np.argsort(-(queries @ data.T), axis=1)[:, :10]
    hits = sum(len({i for i, _ in index.search(q, 10)} & set(e)) for q, e in zip(queries, exact))
    assert hits / 200 > 0.7


def test_duplicate_ids_are_separate_candidates():
    index = make_index(dim=4)
    index.add_batch([5, 5], np.array([[1, 0, 0, 0], [1, 0, 0, 0]], np.float32))
    assert [i for i, _ in index.search(np.array([1, 0, 0, 0], np.float32), 5)] == [5, 5]


def test_concurrent_searches_match_solo_results(rng):
    index = make_index(dim=64, rows=20000, rng=rng)
    queries = rng.standard_normal((8, 64)).astype(np.float32)
    expected = [index.search(q, 10) for q in queries]
    results = [None] * 8

    def run(i):
        for _ in range(5):
            results[i] = index.search(queries[i], 10)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


# Every row of 5,000 matching 400 queries: 2,000,000 matches, 24 MB returned.
# The search may add at most twice that to the peak resident memory (holding
# its matches in copies, it added five times); under an address-space limit
# it fails cleanly and leaves the index usable.
RANGE_CHILD = """
import resource
import numpy as np
import lodex

def status(field):  # not ru_maxrss: a child's counts the parent's before exec
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

rng = np.random.default_rng(0)
index = lodex.Index(32, 4, False, 0, metric="{metric}")
index.add_batch(np.arange(5000), rng.standard_normal((5000, 32), dtype=np.float32))
q = rng.standard_normal((400, 32), dtype=np.float32)
everything = float("{threshold}")
solo = index.search_range(q[7:8], everything, threads={threads})
if {limit}:
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + 8 * 2**20, hard))
    try:
        index.search_range(q, everything, threads={threads})
    except MemoryError:
        pass
    else:
        raise SystemExit("the matches fitted after all: lower the allowance")
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    again = index.search_range(q[7:8], everything, threads={threads})
    assert all(a.tobytes() == b.tobytes() for a, b in zip(again, solo))
else:
    before = status("VmRSS")
    lims, ids, scores = index.search_range(q, everything, threads={threads})
    grown = status("VmHWM") - before
    assert lims[-1] == 2_000_000 and grown < 2 * (ids.nbytes + scores.nbytes), grown
    del index  # the arrays own their values
    mine = slice(int(lims[7]), int(lims[8]))
    assert ids[mine].tobytes() == solo[1].tobytes() and scores[mine].tobytes() == solo[2].tobytes()
"""


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator aborts instead of failing, and adds its own memory")
@pytest.mark.parametrize("limit", [0, 1])
@pytest.mark.parametrize("metric,threshold,threads", [("ip", "-inf", 1), ("l2", "inf", 2)])
def test_range_holds_about_its_output_and_fails_cleanly(limit, metric, threshold, threads):
    run_python(RANGE_CHILD.format(metric=metric, threshold=threshold, threads=threads, limit=limit))
