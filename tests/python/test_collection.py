"""Managing the rows of an index: remove, len and `in`, allow-lists, get,
re-ranking against the original vectors, and moving an index as bytes or
through pickle.
"""

import copy
import multiprocessing
import pickle
import threading

import numpy as np
import pytest

import lodex

from conftest import run_python

DIM = 32


def build(rows=None, ids=None, bits=4, seed=3, rng=None):
    rng = rng or np.random.default_rng(8)
    rows = rng.standard_normal((200, DIM)).astype(np.float32) if rows is None else rows
    index = lodex.Index(DIM, bits, False, seed)
    index.add_batch(range(len(rows)) if ids is None else ids, rows)
    return index, rows


def exact_float32_scores(query, rows):
    """sum_j q[j] * x[j] in float32, coordinate by coordinate: the re-ranker's arithmetic."""
    acc = np.zeros(len(rows), np.float32)
    for j in range(rows.shape[1]):
        acc = acc + query[j] * rows[:, j]
    return acc


# --------------------------------------------------------------------- remove


def test_remove_takes_every_row_of_an_id_and_counts_them(rng):
    index, rows = build(ids=[7, 1, 7, 2, 7] * 4, rows=rng.standard_normal((20, DIM)).astype(np.float32))
    assert index.remove([7, 999]) == 12
    assert len(index) == index.size == 8
    assert 7 not in index and 1 in index
    ids, _ = index.search_batch(rows, 20)
    assert set(ids.ravel().tolist()) == {1, 2}


@pytest.mark.parametrize("ids", [[], [10**9], np.array([], np.int64)])
def test_removing_nothing_changes_nothing(ids):
    index, rows = build()
    before = index.to_bytes()
    assert index.remove(ids) == 0
    assert index.to_bytes() == before


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
def test_file_after_remove_equals_a_rebuilt_one(bits, rng):
    rows = rng.standard_normal((40_000, DIM)).astype(np.float32)
    doomed = rng.choice(40_000, 13_000, replace=False)
    index, _ = build(rows, bits=bits)
    assert index.remove(np.sort(doomed)[::-1].copy()) == 13_000
    survivors = np.setdiff1d(np.arange(40_000), doomed)
    rebuilt, _ = build(rows[survivors], ids=survivors, bits=bits)
    assert index.to_bytes() == rebuilt.to_bytes()
    queries = rng.standard_normal((3, DIM)).astype(np.float32)
    for got, want in zip(index.search_batch(queries, 10), rebuilt.search_batch(queries, 10)):
        assert np.array_equal(got, want)


def test_remove_everything_then_add_the_same_ids_again(rng):
    index, rows = build()
    assert index.remove(range(200)) == 200
    assert len(index) == 0 and index.search(rows[0], 5) == []
    index.add_batch([5, 6], rows[:2])
    assert index.search(rows[0], 1)[0][0] == 5 and len(index) == 2


def test_failed_remove_removes_nothing():
    index, _ = build()
    before = index.to_bytes()
    with pytest.raises(TypeError):
        index.remove([1, 2, "x"])
    with pytest.raises(OverflowError):
        index.remove([1, -1])
    assert index.to_bytes() == before


def test_concurrent_searches_see_all_or_nothing_of_a_removal(rng):
    rows = rng.standard_normal((30_000, DIM)).astype(np.float32)
    index, _ = build(rows)
    query = rows[:1]
    # Removals begun and ended so far: a search that saw removals[1] == f
    # ended ones when it started and removals[0] == s > f begun ones when it
    # ended overlapped removal f.
    removals = [0, 0]
    seen, overlapped, searching, stop = set(), [], threading.Event(), threading.Event()

    def search():
        while not stop.is_set():
            ended = removals[1]
            searching.set()
            ids, _ = index.search_batch(query, 10**9)  # every row: the count is what the search saw
            seen.add(ids.shape[1])
            if removals[0] > ended:
                overlapped.append(ids.shape[1])

    threads = [threading.Thread(target=search) for _ in range(2)]
    for t in threads:
        t.start()
    for start in range(0, 10_000, 1000):
        searching.clear()
        searching.wait()  # a search is under way: this removal lands while it runs
        removals[0] += 1
        index.remove(range(start, start + 1000))
        removals[1] += 1
    stop.set()
    for t in threads:
        t.join()
    assert overlapped, "no search overlapped a removal"
    assert seen <= {30_000 - n for n in range(0, 10_001, 1000)}


# ------------------------------------------------------------- len, in, truth


@pytest.mark.parametrize(
    "value, present",
    [(3, True), (np.uint64(3), True), (np.int32(199), True), (200, False), (-1, False), (2**64, False),
     ("3", False), (3.0, False), (None, False)],
)
def test_membership(value, present):
    index, _ = build()
    assert (value in index) is present


def test_len_and_truth():
    index = lodex.Index(8, 4, False, 0)
    assert len(index) == 0 and bool(index) is True
    index.add_batch([1, 1], np.zeros((2, 8), np.float32))
    assert len(index) == 2


# ------------------------------------------------------------------ allow-lists


@pytest.mark.parametrize("allowed_count", [0, 1, 37, 1000, 5000])
def test_allow_equals_an_index_of_only_the_allowed_rows(allowed_count, rng):
    rows = rng.standard_normal((5000, DIM)).astype(np.float32)
    index, _ = build(rows)
    allowed = np.sort(rng.choice(5000, allowed_count, replace=False))
    only, _ = build(rows[allowed], ids=allowed)
    queries = rng.standard_normal((4, DIM)).astype(np.float32)
    # Ids no row has are simply never matched; duplicates in the list count once.
    allow = np.concatenate([allowed, allowed[:3], [10**12]]).astype(np.uint64)
    for k in (1, 10, 6000):
        got = index.search_batch(queries, k, allow=allow)
        want = only.search_batch(queries, k)
        assert got[0].shape == (4, min(k, allowed_count))
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])


def test_allow_keeps_every_row_of_an_allowed_id():
    index, _ = build(ids=[4] * 100 + [5] * 100)
    ids, _ = index.search_batch(np.ones((1, DIM), np.float32), 1000, allow=[4])
    assert ids.shape == (1, 100) and set(ids[0].tolist()) == {4}


# --------------------------------------------------------------------------- get


# Mean squared error of each width's Lloyd-Max code on a standard Gaussian:
# a decoded row's relative squared error sits near it.
DISTORTION = {2: 0.1175, 3: 0.03454, 4: 0.009497, 5: 0.002499}


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
def test_get_is_the_stored_approximation(bits, rng):
    rows = rng.standard_normal((2000, DIM)).astype(np.float32) * 3
    index, _ = build(rows, bits=bits)
    decoded = index.get(np.arange(2000))
    assert decoded.shape == (2000, DIM) and decoded.dtype == np.float32
    error = np.sum((decoded - rows) ** 2) / np.sum(rows**2)
    assert error < 1.3 * DISTORTION[bits]
    # Its inner product with a query is the row's search score, to float32 accuracy.
    for query in rng.standard_normal((5, DIM)).astype(np.float32):
        ids, scores = index.search_batch(query[None, :], 2000)
        products = decoded[ids[0].astype(np.int64)].astype(np.float64) @ query.astype(np.float64)
        scale = np.abs(decoded[ids[0].astype(np.int64)]).astype(np.float64) @ np.abs(query).astype(np.float64)
        assert np.all(np.abs(products - scores[0]) <= 1e-5 * scale + 1e-30)


def test_get_takes_the_first_row_of_an_id_and_names_a_missing_one(rng):
    rows = rng.standard_normal((3, DIM)).astype(np.float32)
    index, _ = build(rows, ids=[9, 4, 9])
    assert np.array_equal(index.get([9, 9, 4]), index.get([9, 9, 4])[[0, 1, 2]])
    assert np.array_equal(index.get([9])[0], index.get(np.array([9], np.uint64))[0])
    assert index.get([]).shape == (0, DIM)
    with pytest.raises(KeyError) as info:
        index.get([4, 77, 78])
    assert info.value.args == (77,)


# ------------------------------------------------------------------------ rerank


def test_rerank_is_the_exact_top_k_of_the_candidates(tmp_path, rng):
    rows = rng.standard_normal((20_000, DIM)).astype(np.float32)
    index, _ = build(rows)
    source = np.memmap(tmp_path / "vectors.f32", dtype=np.float32, mode="w+", shape=rows.shape)
    source[:] = rows
    source.flush()
    queries = rng.standard_normal((6, DIM)).astype(np.float32)
    ids, scores = index.search_batch(queries, 10, rerank=source, candidates=40)
    candidates, _ = index.search_batch(queries, 40)
    for q in range(len(queries)):
        exact = exact_float32_scores(queries[q], rows[candidates[q].astype(np.int64)])
        order = np.argsort(-exact, kind="stable")[:10]
        assert np.array_equal(ids[q], candidates[q][order])
        assert np.array_equal(scores[q], exact[order])
    # With 4 * k candidates re-ranked the exact top 10 is nearly always found.
    truth = np.argsort(-(queries @ rows.T), axis=1)[:, :10]
    recall = np.mean([len(set(t) & set(i.tolist())) / 10 for t, i in zip(truth, ids)])
    assert recall >= 0.95


def test_rerank_reads_only_the_candidates_rows_of_a_misaligned_map(tmp_path):
    # A 256 MiB matrix at byte offset 2 of its file, only its first 2,000 rows
    # written (the rest a hole): re-ranking must read the candidates' rows,
    # not copy the whole map.
    path = tmp_path / "vectors.f32"
    with open(path, "wb") as f:
        f.write(bytes(2) + np.random.default_rng(3).standard_normal((2000, DIM)).astype(np.float32).tobytes())
        f.truncate(2 + 2**28)
    out = run_python(
        f"""
        import numpy as np
        import lodex

        def peak_kib():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))

        mapped = np.memmap({str(path)!r}, np.float32, "r", offset=2, shape=(2**28 // ({DIM} * 4), {DIM}))
        rows = np.array(mapped[:2000])
        index = lodex.Index({DIM}, 4, False, 3)
        index.add_batch(range(2000), rows)
        queries = rows[:20] + 0.5
        before = peak_kib()
        got = index.search_batch(queries, 10, rerank=mapped)
        grown = peak_kib() - before
        want = index.search_batch(queries, 10, rerank=rows)
        print(grown, all(np.array_equal(a, b) for a, b in zip(got, want)))
        """
    )
    grown_kib, same = out.split()
    assert same == "True"
    assert int(grown_kib) < 16 * 1024


@pytest.mark.parametrize(
    "source, kwargs, message",
    [
        (np.zeros((150, DIM), np.float32), {}, "rerank has no row for id 1"),
        (np.zeros((200, DIM // 2), np.float32), {}, "rerank vectors have 16 columns, the index has dimension 32"),
        (np.zeros((200, DIM), np.float32), {"candidates": 3}, "candidates (3) must be at least k (5)"),
        (np.asfortranarray(np.zeros((200, DIM), np.float32)), {},
         "rerank must be a contiguous float32 array: The given array is not contiguous"),
    ],
)
def test_rerank_errors(source, kwargs, message):
    index, _ = build(ids=[1] + list(range(199)))
    with pytest.raises(ValueError) as info:
        index.search_batch(np.ones((1, DIM), np.float32), 5, rerank=source, **kwargs)
    assert str(info.value).startswith(message)


# ------------------------------------------------------------ bytes and pickle


@pytest.mark.parametrize("use_qjl", [False, True])
def test_to_bytes_is_the_saved_file(tmp_path, use_qjl, rng):
    index = lodex.Index(DIM, 3, use_qjl, 4)
    index.add_batch(range(300), rng.standard_normal((300, DIM)).astype(np.float32))
    index.save(str(tmp_path / "a.ldx"))
    data = index.to_bytes()
    assert data == (tmp_path / "a.ldx").read_bytes()
    for form in (data, bytearray(data), memoryview(data), np.frombuffer(data, np.uint8)):
        again = lodex.Index.from_bytes(form)
        assert again.config == index.config and again.to_bytes() == data


@pytest.mark.parametrize("cut", [0, 10, 51, 52 + 8 * 300 - 1, -1])
def test_truncated_bytes_fail_as_a_truncated_file_does(tmp_path, cut, rng):
    index, _ = build()
    data = index.to_bytes()[:cut]
    path = tmp_path / "cut.ldx"
    path.write_bytes(data)
    with pytest.raises(BaseException) as from_file:
        lodex.Index.load(str(path))
    with pytest.raises(BaseException) as from_bytes:
        lodex.Index.from_bytes(data)
    assert type(from_bytes.value) is type(from_file.value)
    assert str(from_bytes.value).replace(str(len(data)), "N") == str(from_file.value).replace(str(len(data)), "N")


def test_from_bytes_wants_a_buffer():
    with pytest.raises(TypeError, match="argument 'data'"):
        lodex.Index.from_bytes("LDXI")


def child_search(index, queries):
    return index.search_batch(queries, 5)


@pytest.mark.parametrize("how", ["pickle", "deepcopy", "copy", "spawn"])
def test_an_index_moves_and_answers_the_same(how, rng):
    index, rows = build()
    queries = rows[:4]
    if how == "pickle":
        moved = [pickle.loads(pickle.dumps(index, protocol=p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    elif how == "deepcopy":
        moved = [copy.deepcopy(index)]
    elif how == "copy":
        moved = [copy.copy(index)]
    else:
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            got = pool.apply(child_search, (index, queries))
        want = index.search_batch(queries, 5)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
        return
    for other in moved:
        assert other is not index and other.to_bytes() == index.to_bytes()
        other.add_batch([1000], rows[:1])  # independent of the original
        assert len(other) == 201 and len(index) == 200
