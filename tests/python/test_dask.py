"""lodex_dask.ShardedIndex on a two-worker local Dask cluster: answers equal to one Index over the
same rows, the same argument checks, routing, add_batch's failure semantics, save and load, lost
workers and time-outs. The cluster listens on 127.0.0.1 only and is closed when the module ends.
"""

import concurrent.futures
import contextlib
import json
import operator
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import lodex

from conftest import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED,
    reason="a Dask cluster leaves daemon threads running at exit, in this process and in every worker, "
    "and LeakSanitizer reports what their frames hold, which CPython never frees; this layer is pure "
    "Python over Index calls the rest of the suite checks there (the README and example runs cover "
    "shards under the sanitizers with leak checks off)",
)
distributed = pytest.importorskip("distributed")
import lodex_dask  # noqa: E402  (needs distributed, checked above)
from lodex_dask import LostShardsError, PartialBatchError, ShardedIndex, ShardTimeoutError, route  # noqa: E402

# The helpers below that run inside workers travel by value: the workers cannot import this file.
cloudpickle = pytest.importorskip("cloudpickle")
cloudpickle.register_pickle_by_value(sys.modules[__name__])

DIM = 32
BITS = 4
SEED = 11
WAIT = 60  # seconds: the bound on every wait in this file; no test comes near it


@pytest.fixture(scope="module")
def client():
    # No dashboard, and the scheduler's HTTP server on a free loopback port: the default one
    # (8787) may be taken by another cluster on the machine.
    cluster = distributed.LocalCluster(
        host="127.0.0.1", n_workers=2, threads_per_worker=1, processes=True,
        dashboard_address="127.0.0.1:0", scheduler_kwargs={"dashboard": False},
    )
    with cluster, distributed.Client(cluster, timeout=WAIT) as client:
        client.wait_for_workers(2, timeout=WAIT)
        yield client


def on_worker(client, address, function, *args):
    """Runs function(*args) in the process of the worker at `address`."""
    return client.submit(function, *args, workers=[address], pure=False).result(timeout=WAIT)


def swap_shard_method(name, replacement):
    """In a worker: Shard.<name> becomes `replacement`, or its own method again when that is None."""
    from lodex_dask._shard import Shard

    originals = Shard.__dict__.get("originals_in_test", {})
    if replacement is None:
        setattr(Shard, name, originals.pop(name))
    else:
        originals.setdefault(name, Shard.__dict__[name])
        Shard.originals_in_test = originals
        setattr(Shard, name, replacement)


@contextlib.contextmanager
def broken(client, workers, name, replacement):
    """Shard.<name> replaced on these workers for the duration. A builtin replacement stays
    unbound, so shard.name(*args) calls replacement(*args)."""
    for worker in workers:
        on_worker(client, worker, swap_shard_method, name, replacement)
    try:
        yield
    finally:
        for worker in workers:
            on_worker(client, worker, swap_shard_method, name, None)


def rows_for(ids, seed=5):
    return np.random.default_rng(seed).standard_normal((len(ids), DIM)).astype(np.float32)


def both(client, ids, vectors, shards=3):
    """One Index and a ShardedIndex over the same rows (three shards: one worker holds two)."""
    single = lodex.Index(DIM, BITS, False, SEED)
    single.add_batch(ids, vectors)
    sharded = ShardedIndex(client, shards, DIM, BITS, False, SEED, timeout=WAIT)
    sharded.add_batch(ids, vectors)
    return single, sharded


def ids_routed(counts, shards=3):
    """Ids of which exactly counts[s] go to shard s."""
    candidates = np.arange(200_000, dtype=np.uint64)
    where = route(candidates, shards)
    return np.concatenate([candidates[where == s][:n] for s, n in enumerate(counts)])


@pytest.fixture(scope="module")
def pair(client):
    ids = np.random.default_rng(2).permutation(4_000).astype(np.uint64) * 7 + 3
    vectors = rows_for(ids)
    single, sharded = both(client, ids, vectors)
    return single, sharded, ids


QUERIES = np.random.default_rng(9).standard_normal((25, DIM)).astype(np.float32)


def assert_same(expected, got):
    """The same shapes, types and score bits; the same ids wherever scores are distinct.

    Rows with equal scores may come in either order, so ids are compared as a set within each run
    of equal scores (except a run the cut at k ends, which may hold different ones of the tied).
    """
    assert got[0].dtype == np.uint64 and got[1].dtype == np.float32
    assert got[0].shape == expected[0].shape and got[1].shape == expected[1].shape
    assert got[1].tobytes() == expected[1].tobytes()  # the very same score bits
    for want_ids, got_ids, scores in zip(expected[0], got[0], expected[1]):
        starts = np.flatnonzero(np.r_[True, scores[1:] != scores[:-1]])
        for start, end in zip(starts, np.r_[starts[1:], len(scores)]):
            if end < len(scores) or end - start == 1:
                assert sorted(want_ids[start:end]) == sorted(got_ids[start:end])


# ------------------------------------------------------------------ routing


def splitmix64(state):
    """Reference splitmix64 step in Python integers: the next state's output."""
    mask = (1 << 64) - 1
    z = (state + 0x9E3779B97F4A7C15) & mask
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
    return z ^ (z >> 31)


def test_routing_is_splitmix64_and_balances_consecutive_ids():
    # 0xE220A8397B1DCDAF is splitmix64's well-known first output from state 0.
    assert splitmix64(0) == 0xE220A8397B1DCDAF
    ids = np.array([0, 1, 2**32, 2**63, 2**64 - 1, 12345], dtype=np.uint64)
    big = (1 << 62) + 57
    assert route(ids, big).tolist() == [splitmix64(int(i)) % big for i in ids]
    counts = np.bincount(route(np.arange(30_000, dtype=np.uint64), 3))
    assert counts.min() > 9_500 and counts.max() < 10_500


# ------------------------------------------------------------------ merging


@pytest.mark.parametrize("metric", ["ip", "l2"])
@pytest.mark.parametrize("shards, per_shard, k", [(2, 5, 5), (3, 4, 100), (40, 6, 5), (40, 6, 1), (5, 0, 3)])
def test_merge_takes_the_best_k_with_ties_in_shard_order_and_nan_last(shards, per_shard, k, metric):
    sign = 1 if metric == "l2" else -1  # "l2" ranks the smallest first
    rng = np.random.default_rng(shards * 100 + k)
    parts = []
    for s in range(shards):
        # Few distinct values, so that many scores tie across shards; some NaN.
        scores = rng.integers(0, 6, (4, per_shard)).astype(np.float32)
        scores[rng.random(scores.shape) < 0.1] = np.nan
        scores = sign * np.sort(sign * scores, axis=1)  # each shard's list is sorted, NaN last
        ids = (np.arange(per_shard, dtype=np.uint64) + 1000 * s)[None, :].repeat(4, axis=0)
        parts.append((ids, scores))
    got_ids, got_scores = lodex_dask.merge_top_k(parts, k, metric)
    # Reference: every candidate ranked by (score best first, NaN last; then shard, then position).
    for q in range(4):
        candidates = [(float(p[1][q, i]), s, i, int(p[0][q, i])) for s, p in enumerate(parts) for i in range(per_shard)]
        candidates.sort(key=lambda c: (np.isnan(c[0]), sign * c[0] if not np.isnan(c[0]) else 0, c[1], c[2]))
        best = candidates[:k]
        assert got_ids[q].tolist() == [c[3] for c in best]
        assert np.array_equal(got_scores[q], np.array([c[0] for c in best], np.float32), equal_nan=True)
    assert got_ids.dtype == np.uint64 and got_scores.dtype == np.float32


# ------------------------------------------------------------------ answers


@pytest.mark.parametrize("k", [0, 1, 10, 4_000, 10**6])
def test_search_batch_equals_one_index(pair, k):
    single, sharded, _ = pair
    assert_same(single.search_batch(QUERIES, k), sharded.search_batch(QUERIES, k))


@pytest.mark.parametrize(
    "allow",
    [
        lambda ids: ids[::37],  # a few rows of every shard
        lambda ids: [int(i) for i in ids[:5]] + [10**12, 2**64 - 1],  # a list, with ids no row has
        lambda ids: np.array([], dtype=np.int64),  # nothing allowed: shape (n, 0)
        lambda ids: ids,  # everything
    ],
    ids=["sample", "list-with-absent", "empty", "all"],
)
@pytest.mark.parametrize("k", [3, 200])
def test_allow_equals_one_index(pair, allow, k):
    single, sharded, ids = pair
    allowed = allow(ids)
    assert_same(single.search_batch(QUERIES, k, allow=allowed), sharded.search_batch(QUERIES, k, allow=allowed))


def test_search_equals_one_index(pair):
    single, sharded, _ = pair
    for query in QUERIES[:5]:
        got = sharded.search(query, 7)
        assert got == single.search(query, 7)
        assert all(type(i) is int and type(s) is float for i, s in got)


def test_zero_queries(pair):
    single, sharded, _ = pair
    empty = np.zeros((0, DIM), np.float32)
    assert_same(single.search_batch(empty, 5), sharded.search_batch(empty, 5))


@pytest.mark.parametrize("counts", [(3_000, 30, 0), (0, 0, 1), (0, 0, 0)], ids=["uneven-and-empty", "one-row", "all-empty"])
def test_uneven_and_empty_shards(client, counts):
    ids = ids_routed(counts)
    single, sharded = both(client, ids, rows_for(ids, seed=sum(counts)))
    assert len(sharded) == sum(counts)
    # k above every shard's size, and above all rows together.
    for k in (40, sum(counts) + 5):
        assert_same(single.search_batch(QUERIES, k), sharded.search_batch(QUERIES, k))


def test_remove_len_and_membership(client):
    ids = np.arange(400, dtype=np.uint64) * 3 + 1
    ids[::8] = 5  # one id on 50 rows
    single, sharded = both(client, ids, rows_for(ids, seed=3))
    doomed = np.concatenate([ids[1:200:3], [5, 777_777]]).astype(np.int64)
    gone = int(np.isin(ids, doomed).sum())
    assert sharded.remove(doomed) == single.remove(doomed) == gone
    assert len(sharded) == sharded.size == len(single) == 400 - gone
    assert_same(single.search_batch(QUERIES, 50), sharded.search_batch(QUERIES, 50))
    assert 5 not in sharded and int(ids[-1]) in sharded and np.uint64(ids[-1]) in sharded
    assert all((v in sharded) is False for v in ("5", 2.0, -1, 2**64, None))
    assert sharded.remove([]) == 0
    assert bool(ShardedIndex(client, 2, DIM, BITS, False, SEED))


# ------------------------------------------------------------------ metrics, ranges, re-ranking, maps

EMBEDDINGS = {
    "ip": {},
    "cosine-general": {"metric": "cosine", "rotation": "general"},
    "l2-centred": {"metric": "l2", "center": np.linspace(-1, 1, DIM, dtype=np.float32)},
    "cosine-mean": {"metric": "cosine", "rotation": "general", "center": "mean"},
}
THRESHOLDS = {"ip": 5.0, "cosine": 0.35, "l2": 45.0}  # a few dozen rows per query


def assert_same_ranges(expected, got):
    """Range answers as assert_same compares top-k lists, query by query, lims first."""
    assert [a.dtype for a in got] == [np.uint64, np.uint64, np.float32] and np.array_equal(expected[0], got[0])
    for lo, hi in zip(expected[0][:-1].tolist(), expected[0][1:].tolist()):
        assert_same((expected[1][None, lo:hi], expected[2][None, lo:hi]), (got[1][None, lo:hi], got[2][None, lo:hi]))


@pytest.mark.parametrize("options", EMBEDDINGS.values(), ids=EMBEDDINGS.keys())
def test_every_metric_range_get_and_rerank_equal_one_index_also_from_mapped_shards(client, tmp_path, options):
    ids = np.random.default_rng(3).permutation(2_000).astype(np.uint64)
    vectors = rows_for(ids)
    originals = np.zeros((2_000, DIM), np.float32)
    originals[ids] = vectors  # row `id` holds the original of that id
    np.save(tmp_path / "originals.npy", originals)
    single = lodex.Index(DIM, BITS, False, SEED, **options)
    single.add_batch(ids, vectors)
    built = ShardedIndex(client, 3, DIM, BITS, False, SEED, timeout=WAIT, **options)
    built.add_batch(ids, vectors)
    built.save(str(tmp_path / "mapped"), mappable=True)
    mapped = ShardedIndex.load(client, str(tmp_path / "mapped"), timeout=WAIT, mmap=True)
    allow = ids[::3]
    for sharded in (built, mapped):
        tail = [repr(index).partition("use_qjl=false")[2] for index in (single, sharded)]
        assert (sharded.metric, sharded.rotation, tail[1]) == (single.metric, single.rotation, tail[0])
        assert str(sharded.center) == str(single.center)
        assert_same(single.search_batch(QUERIES, 10), sharded.search_batch(QUERIES, 10))
        assert_same(single.search_batch(QUERIES, 7, allow=allow), sharded.search_batch(QUERIES, 7, allow=allow, threads=1))
        # Exact scores, merged exactly: with candidates == k, re-ranking each shard's own best
        # would differ from one Index on most queries.
        for k, candidates, allowed in ((10, None, None), (5, 5, allow), (5, 5, None)):
            assert_same(
                single.search_batch(QUERIES, k, allow=allowed, rerank=originals, candidates=candidates),
                sharded.search_batch(QUERIES, k, allow=allowed, rerank=tmp_path / "originals.npy", candidates=candidates),
            )
        threshold = THRESHOLDS[single.metric]
        assert_same_ranges(single.search_range(QUERIES, threshold), sharded.search_range(QUERIES, threshold))
        assert_same_ranges(single.search_range(QUERIES, threshold, allow=allow), sharded.search_range(QUERIES, threshold, allow=allow))
        assert np.array_equal(sharded.get(ids[[5, 0, 5]]), single.get(ids[[5, 0, 5]]))
        assert len(sharded) == 2_000 and int(ids[7]) in sharded and 2_000 not in sharded
    # A read-only map refuses changes as Index does, before any row travels, and keeps its rows.
    assert mapped.read_only and not built.read_only
    for change in (lambda: mapped.add_batch(ids[:2], vectors[:2]), lambda: mapped.remove(ids[:50])):
        with pytest.raises(ValueError, match="read-only memory map of .*shard-"):
            change()
    assert len(mapped) == 2_000
    # Originals too short: the first candidate past them is named, as Index names it.
    short = originals[:1_000]
    np.save(tmp_path / "short.npy", short)
    assert raised(lambda: mapped.search_batch(QUERIES, 5, rerank=str(tmp_path / "short.npy"))) == raised(
        lambda: single.search_batch(QUERIES, 5, rerank=short)
    )


# ------------------------------------------------------------------ argument checks


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


GOOD = rows_for(range(4))
WIDE = rows_for(range(8)).reshape(4, 2 * DIM)

BAD_ADDS = {
    "ids-str": ("abcd", GOOD),
    "ids-not-sequence": (5, GOOD),
    "ids-negative": ([1, -2, 3, 4], GOOD),
    "ids-float": ([1, 2.5, 3, 4], GOOD),
    "ids-float-array": (np.arange(4.0), GOOD),
    "ids-negative-array": (np.array([1, -2, 3, 4]), GOOD),
    "ids-generator": ((i for i in range(4)), GOOD),
    "ids-too-big": ([1, 2, 3, 2**64], GOOD),
    "length": ([1, 2, 3], GOOD),
    "length-before-dtype": ([1, 2, 3], GOOD.astype(np.float64)),
    "float64": ([1, 2, 3, 4], GOOD.astype(np.float64)),
    "one-dimensional": ([1, 2, 3, 4], GOOD[0]),
    "list": ([1, 2, 3, 4], GOOD.tolist()),
    "big-endian": ([1, 2, 3, 4], GOOD.astype(">f4")),
    "dimension": ([1, 2, 3, 4], WIDE),
    "strided": ([1, 2, 3, 4], WIDE[:, ::2]),
    "fortran": ([1, 2, 3, 4], np.asfortranarray(GOOD)),
}


@pytest.mark.parametrize("ids, vectors", BAD_ADDS.values(), ids=BAD_ADDS.keys())
def test_add_batch_checks_as_index_does_and_changes_nothing(pair, ids, vectors):
    single, sharded, _ = pair
    before = len(sharded)
    assert raised(lambda: sharded.add_batch(ids, vectors)) == raised(lambda: single.add_batch(ids, vectors))
    assert len(sharded) == before


BAD_SEARCHES = {
    "k-negative": lambda index: index.search_batch(QUERIES, -1),
    "k-float": lambda index: index.search_batch(QUERIES, 2.0),
    "queries-1d": lambda index: index.search_batch(QUERIES[0], 2),
    "queries-dim": lambda index: index.search_batch(WIDE, 2),
    "queries-strided": lambda index: index.search_batch(WIDE[:, ::2], 2),
    "allow-str": lambda index: index.search_batch(QUERIES, 2, allow="12"),
    "allow-negative": lambda index: index.search_batch(QUERIES, 2, allow=[3, -3]),
    "allow-float-array": lambda index: index.search_batch(QUERIES, 2, allow=np.arange(3.0)),
    "k-too-big": lambda index: index.search_batch(QUERIES, 2**64),
    "queries-none-but-wide": lambda index: index.search_batch(np.zeros((0, 2 * DIM), np.float32), 2),
    "query-strided": lambda index: index.search(WIDE[0][::2], 2),
    "query-2d": lambda index: index.search(QUERIES, 2),
    "query-dim": lambda index: index.search(WIDE[0], 2),
    "remove-float": lambda index: index.remove([1.5]),
    "remove-str": lambda index: index.remove("1"),
    "threads-float": lambda index: index.search_batch(QUERIES, 2, threads=1.5),
    "threads-zero": lambda index: index.search_batch(QUERIES, 2, threads=0),
    "candidates-alone": lambda index: index.search_batch(QUERIES, 2, candidates=5),
    "range-nan": lambda index: index.search_range(QUERIES, float("nan")),
    "range-str": lambda index: index.search_range(QUERIES, "1"),
    "range-dim": lambda index: index.search_range(WIDE, 1.0, allow=[1]),
    "range-allow": lambda index: index.search_range(QUERIES, 1.0, allow=[-1]),
    "get-absent": lambda index: index.get([3, 10**15, 10**16]),
    "get-str": lambda index: index.get("3"),
}


@pytest.mark.parametrize("call", BAD_SEARCHES.values(), ids=BAD_SEARCHES.keys())
def test_other_calls_check_as_index_does(pair, call):
    single, sharded, _ = pair
    assert raised(lambda: call(sharded)) == raised(lambda: call(single))


@pytest.mark.parametrize(
    "args, error",
    [((0, DIM, BITS, False, SEED), ValueError), ((2, 24, BITS, False, SEED), ValueError), ((2, DIM, 7, False, SEED), ValueError),
     ((2, DIM, BITS, 1, SEED), TypeError), ((2.0, DIM, BITS, False, SEED), TypeError)],
)
def test_construction_checks(client, args, error):
    with pytest.raises(error):
        ShardedIndex(client, *args)


# ------------------------------------------------------------------ add_batch failures and progress


def test_commit_failing_on_one_worker_names_exactly_the_shards_that_took_the_batch(client):
    sharded = ShardedIndex(client, 3, DIM, BITS, False, SEED, timeout=WAIT)
    failing = sharded.shard_workers[1]  # holds shard 1 only; the other worker holds shards 0 and 2
    assert sharded.shard_workers.count(failing) == 1
    ids = ids_routed((10, 10, 10))
    # commit(token) becomes operator.index(token): a TypeError on that worker only.
    with broken(client, [failing], "commit", operator.index), pytest.raises(PartialBatchError) as info:
        sharded.add_batch(ids, rows_for(ids))
    assert (info.value.applied, info.value.shards, info.value.unanswered) == ((0, 2), (1,), ())
    assert isinstance(info.value.__cause__, TypeError)
    assert len(sharded) == 20
    assert [int(i) in sharded for i in ids[::10]] == [True, False, True]
    sharded.add_batch(ids[10:20], rows_for(ids[10:20]))  # the failed shard is whole and takes rows again
    assert len(sharded) == 30


@pytest.mark.parametrize("step", ["stage", "commit"])
def test_a_batch_no_shard_takes_changes_nothing_and_raises_the_shards_error(client, step):
    sharded = ShardedIndex(client, 2, DIM, BITS, False, SEED, timeout=WAIT)
    sharded.add_batch(range(10), rows_for(range(10)))
    with broken(client, set(sharded.shard_workers), step, operator.index), pytest.raises(TypeError):
        sharded.add_batch(range(10, 50), rows_for(range(40)))
    assert len(sharded) == 10
    sharded.add_batch(range(10, 50), rows_for(range(40)))  # nothing was left half-staged
    assert len(sharded) == 50


def test_large_batch_streams_in_pieces_with_a_progress_bar(client, monkeypatch, capsys):
    monkeypatch.setattr(lodex_dask._index, "CHUNK_BYTES", 50 * (DIM * 4 + 8))  # 50 rows a piece: many rounds
    ids = np.arange(2_000, dtype=np.uint64)
    vectors = rows_for(ids)
    single, sharded = both(client, ids, vectors)
    assert "adding rows" not in capsys.readouterr().err  # not a terminal: no bar unless asked
    again = ShardedIndex(client, 3, DIM, BITS, False, SEED, timeout=WAIT)
    again.add_batch(ids, vectors, progress=True)
    assert "adding rows" in capsys.readouterr().err
    assert_same(single.search_batch(QUERIES, 20), sharded.search_batch(QUERIES, 20))
    assert_same(single.search_batch(QUERIES, 20), again.search_batch(QUERIES, 20))


def test_progress_without_tqdm_shows_no_bar(client, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm now fails
    sharded = ShardedIndex(client, 2, DIM, BITS, False, SEED, timeout=WAIT)
    sharded.add_batch(range(50), rows_for(range(50)), progress=True)
    assert len(sharded) == 50 and "adding rows" not in capsys.readouterr().err


def test_a_shard_that_does_not_answer_times_out(client):
    sharded = ShardedIndex(client, 1, DIM, BITS, False, SEED, timeout=0.5)
    # contains(key) becomes time.sleep(key): the shard sleeps 2 s, four times the time-out, and
    # would answer None (not in) after that. Later calls to that worker wait for the sleep to end.
    with broken(client, sharded.shard_workers, "contains", time.sleep):
        with pytest.raises(ShardTimeoutError) as info:
            2 in sharded  # noqa: B015
    assert info.value.shards == (0,)


# ------------------------------------------------------------------ files


def test_save_load_round_trip_and_a_second_save_replaces_the_first(client, pair, tmp_path, capsys):
    single, sharded, ids = pair
    directory = str(tmp_path / "collection")
    sharded.save(directory)
    first = set(os.listdir(directory))
    sharded.save(directory, keep_previous=True)  # the files of the save replaced stay, for their readers
    kept = set(os.listdir(directory))
    sharded.save(directory)
    files = set(os.listdir(directory))
    assert len(kept) == 8 and first < kept
    assert len(files) == 5 and not kept & files - {"manifest.json", "save.lock"}  # the old shard files went
    manifest = json.loads((tmp_path / "collection" / "manifest.json").read_text())
    assert [s["rows"] for s in manifest["shards"]] == np.bincount(route(ids, 3)).tolist()
    assert (manifest["routing"], manifest["dim"], manifest["bits"], manifest["seed"]) == ("splitmix64", DIM, BITS, SEED)
    loaded = ShardedIndex.load(client, directory, timeout=WAIT, progress=True)
    assert "loading shards" in capsys.readouterr().err
    assert len(loaded) == len(single)
    assert loaded.config == single.config
    assert_same(single.search_batch(QUERIES, 10), loaded.search_batch(QUERIES, 10))
    with pytest.raises(TypeError):
        sharded.save(tmp_path / "path-object")


def corrupt(directory, change):
    path = os.path.join(directory, "manifest.json")
    with open(path) as f:
        manifest = json.load(f)
    change(manifest)
    with open(path, "w") as f:
        json.dump(manifest, f)


def test_a_saved_cosine_centre_longer_than_one_still_loads(client, tmp_path):
    """Saved before Index refused such a centre: the manifest and the files both hold it."""
    small = np.full(DIM, 0.01, np.float32)
    built = ShardedIndex(client, 2, DIM, BITS, False, SEED, metric="cosine", center=small, timeout=WAIT)
    built.add_batch(np.arange(50), rows_for(range(50)))
    built.save(str(tmp_path / "s"))
    corrupt(str(tmp_path / "s"), lambda m: m.update(center=(small * 100).tolist()))
    for path in (tmp_path / "s").glob("*.ldx"):
        path.write_bytes(path.read_bytes().replace(small.tobytes(), (small * 100).tobytes()))
    loaded = ShardedIndex.load(client, str(tmp_path / "s"), timeout=WAIT)
    assert np.array_equal(loaded.center, small * 100) and len(loaded) == 50


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda m: m["shards"][1].update(file="shard-00001-00000000.ldx"), FileNotFoundError, r"shard 1 \("),
        (lambda m: m.update(version=99), ValueError, "version 99"),
        (lambda m: m.update(routing="modulo"), ValueError, "routing 'modulo'"),
        (lambda m: m.pop("bits"), ValueError, "bits missing"),
        (lambda m: m.update(shards=[]), ValueError, "no shard list"),
        (lambda m: m["shards"].pop(), ValueError, "shard_count 3, but 2"),
        (lambda m: m["shards"][0].update(rows=1), ValueError, "shard 0 .* holds"),
        (lambda m: m["shards"][0].update(file="../elsewhere.ldx"), ValueError, "shard 0 needs"),
        # Whichever misplaced shard reports first names itself and the shard its id routes to. A
        # version 3 manifest's file names carry no shard count: only the ids tell a shard left out.
        (lambda m: m["shards"].reverse(), ValueError, r"shard [02] .* routes to shard [20] of 3"),
        (lambda m: (m["shards"].pop(), m.update(shard_count=2, version=3)), ValueError, "routes to shard [01] of 2"),
        # A mapped load reads no more than a page of ids, and still finds a file out of place.
        (lambda m: m["shards"].reverse(), ValueError, r"shard [02] .* routes to shard [20] of 3"),
        (lambda m: (m["shards"].pop(), m.update(shard_count=2, version=3)), ValueError, "routes to shard [01] of 2"),
        (lambda m: m["shards"][2].update(bytes=m["shards"][2]["bytes"] + 1), ValueError, "bytes long"),
        # One shard left: every id routes to shard 0, and only its file's name tells.
        (lambda m: m.update(shard_count=1, shards=m["shards"][:1]), ValueError, "shard_count 1, but shard 0 is shard-00000-of-00003-"),
        (lambda m: None, ValueError, "not saved with mappable=True"),
        (lambda m: m.update(center=[1.0]), ValueError, "center has 1 values"),  # Index's own check
    ],
    ids=["missing-file", "version", "routing", "field", "no-shards", "shard-count", "row-count", "file-name",
         "swapped-files", "a-shard-left-out", "mapped-swapped-files", "mapped-a-shard-left-out", "mapped-length",
         "one-shard-left", "map-an-unmappable-save", "center"],
)
def test_load_refuses_a_bad_manifest_clearly(client, pair, tmp_path, request, change, error, message):
    directory = str(tmp_path)
    case = request.node.callspec.id
    mapped = case.startswith("mapped")
    pair[1].save(directory, mappable=mapped)
    corrupt(directory, change)
    with pytest.raises(error, match=message):
        ShardedIndex.load(client, directory, timeout=WAIT, mmap=mapped or case == "map-an-unmappable-save")


@pytest.mark.parametrize("count, old, new, version, message", [
    (1, "-of-00003-", "-of-00001-", 4, r"shard-00001-of-00003-\w+\.ldx belongs to the same save but is not listed"),
    (3, "-of-00003-", "-", 3, None),  # the names of a version 3 save load as they did
], ids=["left-out-and-renamed", "old-names"])
def test_the_files_of_a_save_tell_a_list_left_short(client, pair, tmp_path, count, old, new, version, message):
    pair[1].save(str(tmp_path))
    shards = json.loads((tmp_path / "manifest.json").read_text())["shards"][:count]
    for shard in shards:
        os.rename(tmp_path / shard["file"], tmp_path / shard["file"].replace(old, new))
        shard["file"] = shard["file"].replace(old, new)
    corrupt(str(tmp_path), lambda m: m.update(shard_count=count, shards=shards, version=version))
    with pytest.raises(ValueError, match=message) if message else contextlib.nullcontext():
        assert len(ShardedIndex.load(client, str(tmp_path), timeout=WAIT)) == len(pair[1])


def test_load_checks_checksums_when_asked_and_reads_first_version_manifests(client, pair, tmp_path):
    directory = str(tmp_path)
    pair[1].save(directory)
    with open(os.path.join(directory, "manifest.json")) as f:
        path = os.path.join(directory, json.load(f)["shards"][0]["file"])
    with open(path, "r+b") as f:  # one bit of the last row's codes: the file still loads
        f.seek(-1, os.SEEK_END)
        last = f.read(1)[0]
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last ^ 1]))
    assert len(ShardedIndex.load(client, directory, timeout=WAIT)) == len(pair[1])
    with pytest.raises(ValueError, match=f"shard 0 \\({re.escape(path)}\\): sha256"):
        ShardedIndex.load(client, directory, timeout=WAIT, verify=True)
    # Older manifests: version 2 records no metric, rotation, centre, mappability nor lengths.
    corrupt(directory, lambda m: ([m.pop(key) for key in ("metric", "rotation", "center", "mappable")],
                                  m.update(version=2), [s.pop("bytes") for s in m["shards"]]))
    assert len(ShardedIndex.load(client, directory, timeout=WAIT)) == len(pair[1])
    corrupt(directory, lambda m: (m.update(version=1), [s.pop("sha256") for s in m["shards"]]))
    assert len(ShardedIndex.load(client, directory, timeout=WAIT)) == len(pair[1])
    with pytest.raises(ValueError, match="no checksums"):
        ShardedIndex.load(client, directory, timeout=WAIT, verify=True)


@pytest.mark.parametrize("damage", [lambda data: data[:-10], lambda data: data[:20] + (2**40).to_bytes(8, "little") + data[28:]],
                         ids=["truncated", "row-count-2**40"])
def test_load_of_a_damaged_shard_raises_at_once_what_index_load_raises(client, pair, tmp_path, damage):
    directory = str(tmp_path)
    pair[1].save(directory)
    with open(os.path.join(directory, "manifest.json")) as f:
        path = os.path.join(directory, json.load(f)["shards"][1]["file"])
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(damage(data))
    with pytest.raises(BaseException) as single:
        lodex.Index.load(path)
    # The time-out is far above a load, so waiting it out would surface as ShardTimeoutError.
    with pytest.raises(type(single.value), match=re.escape(str(single.value))) as sharded:
        ShardedIndex.load(client, directory, timeout=20)
    assert any(f"shard 1 from {path}" in note for note in sharded.value.__notes__)


def test_concurrent_saves_into_one_directory_leave_one_of_them_whole(client, tmp_path):
    ids = np.arange(600, dtype=np.uint64)
    one = ShardedIndex(client, 3, DIM, BITS, False, SEED, timeout=WAIT)
    one.add_batch(ids, rows_for(ids))
    two = ShardedIndex(client, 2, DIM, BITS, False, SEED, timeout=WAIT)
    two.add_batch(ids[:400], rows_for(ids[:400], seed=6))
    directory = str(tmp_path)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for _ in range(4):
            list(pool.map(lambda index: index.save(directory), (one, two)))
            loaded = ShardedIndex.load(client, directory, timeout=WAIT)
            winner = one if loaded.shards == 3 else two
            assert_same(winner.search_batch(QUERIES, 10), loaded.search_batch(QUERIES, 10))
            assert sum(name.endswith(".ldx") for name in os.listdir(directory)) == winner.shards


def test_a_save_waits_for_a_save_in_another_process(client, pair, tmp_path):
    directory = str(tmp_path)
    pair[1].save(directory)
    # A process holding the directory's save lock until its stdin closes.
    hold = "import sys, lodex_dask._manifest as m\nwith m.save_lock(sys.argv[1], 60):\n print(flush=True); sys.stdin.read()"
    with subprocess.Popen([sys.executable, "-c", hold, directory], stdin=subprocess.PIPE, stdout=subprocess.PIPE) as holder:
        try:
            holder.stdout.readline()
            quick = ShardedIndex(client, 1, DIM, BITS, False, SEED, timeout=1)
            with pytest.raises(TimeoutError, match="another save"):
                quick.save(directory)
        finally:
            holder.stdin.close()  # the holder exits, and its lock goes with it
    assert len(ShardedIndex.load(client, directory, timeout=WAIT)) == len(pair[1])  # untouched
    quick.save(directory)
    assert len(ShardedIndex.load(client, directory, timeout=WAIT)) == 0


def test_load_of_something_else_fails_clearly(client, tmp_path):
    with pytest.raises(FileNotFoundError):
        ShardedIndex.load(client, str(tmp_path), timeout=WAIT)
    (tmp_path / "manifest.json").write_text("{not json")
    with pytest.raises(ValueError, match="not JSON"):
        ShardedIndex.load(client, str(tmp_path), timeout=WAIT)


# ------------------------------------------------------------------ a lost worker


@pytest.mark.parametrize("mapped", [False, True], ids=["read", "mapped"])
def test_a_killed_worker_fails_every_call_clearly_and_a_load_restores(client, tmp_path, mapped):
    ids = np.arange(3_000, dtype=np.uint64)
    single, sharded = both(client, ids, rows_for(ids))
    directory = str(tmp_path)
    sharded.save(directory, mappable=mapped)
    victim = sharded.shard_workers[0]
    doomed = tuple(s for s, w in enumerate(sharded.shard_workers) if w == victim)
    os.kill(on_worker(client, victim, os.getpid), signal.SIGKILL)
    calls = [
        lambda: sharded.search_batch(QUERIES, 5),
        lambda: sharded.search(QUERIES[0], 5),
        lambda: len(sharded),
        lambda: sharded.add_batch([1], rows_for([1])),
        lambda: sharded.remove([1]),
        lambda: sharded.save(directory),
    ]
    for call in calls:
        with pytest.raises(LostShardsError) as info:
            call()
        assert info.value.shards == doomed
        assert victim in str(info.value)
    # The last save is whole, and the cluster (its nanny restarted the worker) loads it again.
    client.wait_for_workers(2, timeout=WAIT)
    loaded = ShardedIndex.load(client, directory, timeout=WAIT, mmap=mapped)
    assert victim not in loaded.shard_workers and loaded.read_only == mapped
    assert_same(single.search_batch(QUERIES, 10), loaded.search_batch(QUERIES, 10))


# ------------------------------------------------------------------ packaging


def test_installed_package_is_current_and_typed():
    source = os.path.join(os.path.dirname(__file__), "..", "..", "python", "lodex_dask")
    names = sorted(n for n in os.listdir(source) if n.endswith(".py") or n == "py.typed")
    installed = os.path.dirname(lodex_dask.__file__)
    assert "py.typed" in names and set(os.listdir(installed)) - {"__pycache__"} == set(names)
    for name in names:
        with open(os.path.join(source, name), "rb") as want, open(os.path.join(installed, name), "rb") as have:
            assert have.read() == want.read(), f"{installed}/{name} is stale: reinstall the package"
    site = os.path.dirname(installed)
    assert not {"lodex_dask.py", "lodex_dask-stubs"} & set(os.listdir(site)), "a module or stub of the old layout ships"
