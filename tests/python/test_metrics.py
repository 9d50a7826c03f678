"""Metrics, centring, the general rotation and range search through the binding:
each metric against its definition computed by hand or by NumPy, a centred index
against one of shifted rows, ranges against the full ranking, and every kind of
index through bytes, pickle and both file formats. (Bit-identity across kernel
levels and paths: tests/cpp/test_metrics.cpp and test_levels.py.)"""

import math
import pickle

import numpy as np
import pytest

import lodex

from conftest import plain_build_only

# The energy the codebook keeps (1 - D), which every metric but plain "ip" divides out.
KEPT = {2: 0.882512, 3: 0.965462, 4: 0.990499, 5: 0.997003}
ROTATIONS = [("hadamard", 64), ("general", 100)]


def data(rows, dim, seed, offset=0.0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((rows, dim), dtype=np.float32) + np.float32(offset)


def build(dim, bits, rows, **kind):
    index = lodex.Index(dim, bits, False, 7, **kind)
    index.add_batch(np.arange(rows), rows_of(kind, dim, rows))
    return index


def rows_of(kind, dim, rows):
    x = data(rows, dim, 1, offset=0.4)
    x[5] = 0  # a zero row scores about 0 and poisons nothing
    return x


def recall(found, truth):
    return np.mean([len(set(a.tolist()) & set(b.tolist())) / len(b) for a, b in zip(found, truth)])


@plain_build_only
@pytest.mark.parametrize("rotation,dim", ROTATIONS)
@pytest.mark.parametrize("bits", [2, 5])
def test_cosine_is_ip_over_vectors_normalised_by_hand(rotation, dim, bits):
    x, q = data(3000, dim, 2), data(40, dim, 3)
    x[7], q[4] = 0, 0
    unit = lambda v: v / np.maximum(np.linalg.norm(v, axis=1, keepdims=True), 1e-30).astype(np.float32)
    cos = lodex.Index(dim, bits, False, 1, metric="cosine", rotation=rotation)
    ip = lodex.Index(dim, bits, False, 1, rotation=rotation)
    cos.add_batch(np.arange(3000), x)
    ip.add_batch(np.arange(3000), unit(x))
    (ci, cs), (ii, iscore) = cos.search_batch(q, 10), ip.search_batch(unit(q), 10)
    same = ci == ii  # a near-tie may swap where one rounding differs
    assert same.mean() > 0.97
    np.testing.assert_allclose(cs[same], iscore[same] / KEPT[bits], rtol=2e-6, atol=1e-7)
    assert not np.isnan(cs).any() and (cs[4] == 0).all()


@plain_build_only
@pytest.mark.parametrize("rotation,dim", ROTATIONS)
@pytest.mark.parametrize("bits,floor,error", [(2, 0.42, 0.05), (3, 0.58, 0.027), (4, 0.75, 0.014), (5, 0.85, 0.0075)])
def test_l2_against_numpy(rotation, dim, bits, floor, error):
    x, q = data(5000, dim, 4, offset=0.5), data(50, dim, 5, offset=0.5)
    index = lodex.Index(dim, bits, False, 2, metric="l2", rotation=rotation)
    index.add_batch(np.arange(5000), x)
    exact = ((q.astype(np.float64)[:, None, :] - x[None]) ** 2).sum(-1)
    truth = np.argsort(exact, axis=1)[:, :10]
    ids, d2 = index.search_batch(q, 5000)
    assert recall(ids[:, :10], truth) >= floor
    assert (np.diff(d2, axis=1) >= 0).all(), "smallest distance first"
    # The estimate over every row: small, and unbiased once the shrink is undone.
    rel = d2 / np.take_along_axis(exact, ids.astype(np.int64), 1) - 1
    assert np.median(np.abs(rel)) < error and abs(rel.mean()) < 0.004
    ids, d2 = index.search_batch(q, 10, rerank=x, candidates=5000)
    assert (ids == truth).all()
    np.testing.assert_allclose(d2, np.take_along_axis(exact, truth, 1), rtol=1e-5)


@plain_build_only
@pytest.mark.parametrize("metric", ["ip", "l2"])
@pytest.mark.parametrize("rotation,dim", ROTATIONS)
def test_center_against_a_shifted_index(metric, rotation, dim):
    bits = 3
    x, q = data(4000, dim, 6, offset=1.0), data(30, dim, 7, offset=1.0)
    c = x.mean(axis=0)
    centred = lodex.Index(dim, bits, False, 3, metric=metric, rotation=rotation, center=c)
    shifted = lodex.Index(dim, bits, False, 3, metric=metric, rotation=rotation)
    centred.add_batch(np.arange(4000), x)
    shifted.add_batch(np.arange(4000), x - c)
    ids, scores = centred.search_batch(q, 10)
    sids, sscores = shifted.search_batch(q - c, 10)
    if metric == "l2":  # a shift changes no distance: the same codes, the same arithmetic
        assert ids.tobytes() == sids.tobytes() and scores.tobytes() == sscores.tobytes()
        np.testing.assert_array_equal(centred.get([0, 9]), shifted.get([0, 9]) + c)
        return
    # get() scales rows as the metric scores them: de-shrunk when centred.
    np.testing.assert_allclose(centred.get([0, 9]), shifted.get([0, 9]) / KEPT[bits] + c, rtol=1e-5, atol=1e-5)
    # Centred "ip": the shifted rows' estimate, de-shrunk, plus <c, x - c> and <q, c>.
    all_ids, all_scores = shifted.search_batch(q - c, 4000)
    by_id = np.empty_like(all_scores)
    np.put_along_axis(by_id, all_ids.astype(np.int64), all_scores, 1)
    est = by_id / KEPT[bits] + ((x - c) @ c)[None, :] + (q @ c)[:, None]
    got = np.take_along_axis(est, ids.astype(np.int64), 1)
    np.testing.assert_allclose(scores, got, rtol=1e-4, atol=1e-4 * np.abs(got).max())
    # And centring pays: off-centre rows lose much of their signal to the offset.
    truth = np.argsort(-(q @ x.T), axis=1)[:, :10]
    plain = lodex.Index(dim, bits, False, 3, rotation=rotation)
    plain.add_batch(np.arange(4000), x)
    assert recall(ids, truth) > recall(plain.search_batch(q, 10)[0], truth) + 0.05


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
@pytest.mark.parametrize("rotation,dim", ROTATIONS)
def test_range_is_the_full_ranking_cut_at_the_threshold(metric, rotation, dim):
    index = build(dim, 2, 3000, metric=metric, rotation=rotation)  # 2 bits: many tied scores
    q = data(12, dim, 8, offset=0.4)
    q[3] = 0
    allow = np.arange(0, 3000, 3)
    for options, live in (({}, np.arange(3000)), ({"allow": allow, "threads": 1}, allow)):
        ids, scores = index.search_batch(q, 3000, **options)
        for threshold in (float(scores[0, 9]), float(scores[1, 0]), -math.inf, math.inf):
            lims, got_ids, got_scores = index.search_range(q, threshold, **options)
            assert lims.dtype == got_ids.dtype == np.uint64 and got_scores.dtype == np.float32
            assert lims.shape == (13,) and lims[0] == 0 and lims[-1] == len(got_ids) == len(got_scores)
            for i in range(12):
                keep = scores[i][: len(live)] <= threshold if metric == "l2" else scores[i][: len(live)] >= threshold
                # Best first, equal scores in storage order (ids grow with it).
                order = np.lexsort((ids[i][: len(live)][keep], scores[i][: len(live)][keep] * (1 if metric == "l2" else -1)))
                assert got_ids[lims[i]:lims[i + 1]].tolist() == ids[i][: len(live)][keep][order].tolist()
                assert got_scores[lims[i]:lims[i + 1]].tobytes() == scores[i][: len(live)][keep][order].tobytes()
    with pytest.raises(ValueError, match="threshold must not be NaN"):
        index.search_range(q, math.nan)


KINDS = [{"metric": "cosine"}, {"metric": "l2", "rotation": "general"}, {"rotation": "general", "center": True},
         {"metric": "cosine", "rotation": "general", "center": True}, {"metric": "l2", "center": True}]


@pytest.mark.parametrize("kind,dim", [(kind, dim) for kind in KINDS for dim in (1, 3, 64, 100, 784, 1000)
                                      if kind.get("rotation") == "general" or dim in (1, 64)],
                         ids=lambda p: "-".join(f"{a}={b}" for a, b in p.items()) if isinstance(p, dict) else str(p))
def test_every_kind_travels_through_bytes_pickle_and_both_formats(tmp_path, kind, dim):
    kind = dict(kind)
    if kind.get("center"):
        kind["center"] = np.linspace(-1, 1, dim, dtype=np.float32)
        if kind.get("metric") == "cosine":
            kind["center"] /= np.float32(np.sqrt(dim))  # a mean of unit rows: norm at most 1
    index = build(dim, 4, 700, **kind)
    q = data(5, dim, 9)
    want = [index.search_batch(q, 10), index.search_range(q, float(index.search_batch(q, 3)[1][0, 2])),
            index.get([0, 699]), index.metric, index.rotation, repr(index)]
    # The general rotation keeps at most ceil((dim + 32) * bits / 8) code bytes per row.
    per_row = (len(index.to_bytes()) - len(build(dim, 4, 200, **kind).to_bytes())) / 500
    assert per_row <= math.ceil((dim + 32) * 4 / 8) + 20  # + the norm, the id, a row term, the file's alignment
    path = tmp_path / "i.ldx"
    copies = [lodex.Index.from_bytes(index.to_bytes()), pickle.loads(pickle.dumps(index))]
    for mappable in (False, True):
        index.save(str(path), mappable=mappable)
        copies.append(lodex.Index.load(str(path)))
        if mappable:
            copies.append(lodex.Index.load(str(path), mmap=True))
    for copy in copies:
        got = [copy.search_batch(q, 10), copy.search_range(q, float(want[1][2][2])), copy.get([0, 699]),
               copy.metric, copy.rotation, repr(copy)]
        assert pickle.dumps(got) == pickle.dumps(want)
        assert copy.to_bytes() == index.to_bytes()
        center = copy.center
        assert (center is None) == ("center" not in kind)
        if center is not None:
            assert center.tobytes() == kind["center"].tobytes()
            center[0] = 99  # a new array each time
            assert copy.center[0] != 99
    # get() undoes the rotation (R^T R = I) and the centre: 4-bit codes stay close to the rows.
    x = rows_of(kind, dim, 700)[[0, 699]]
    if kind.get("metric") != "cosine":
        assert np.linalg.norm(index.get([0, 699]) - x) < 0.2 * np.linalg.norm(x)


@pytest.mark.parametrize("kwargs,error,message", [
    ({"metric": "dot"}, ValueError, "metric must be 'ip', 'cosine' or 'l2', got 'dot'"),
    ({"metric": 1}, TypeError, "metric"),
    ({"rotation": "fft"}, ValueError, "rotation must be 'hadamard' or 'general', got 'fft'"),
    ({"center": np.zeros(63, np.float32)}, ValueError, "center has 63 values, the index has dimension 64"),
    ({"center": np.zeros(64)}, TypeError, "center"),
    ({"center": np.zeros((2, 32), np.float32)}, TypeError, "center"),
    ({"center": np.full(64, np.inf, np.float32)}, ValueError, "center must be finite"),
])
def test_bad_parameters_name_themselves(kwargs, error, message):
    with pytest.raises(error, match=message):
        lodex.Index(64, 4, False, 0, **kwargs)


def test_cosine_refuses_a_centre_longer_than_a_unit_mean_but_loads_one_already_saved():
    rows = data(200, 64, 3, offset=2.0)
    refusal = r'center has norm 1\d\.\d+, .* pass the mean of the normalised rows, or center="mean"'
    with pytest.raises(ValueError, match=refusal):
        lodex.Index(64, 4, False, 0, metric="cosine", center=rows.mean(axis=0))
    small = np.full(64, 0.1, np.float32)
    index = build(64, 4, 50, metric="cosine", center=small)
    # The same index with the centre ten times longer, as an older version saved and pickled it.
    long_bytes = index.to_bytes().replace(small.tobytes(), (small * 10).tobytes())
    long_pickle = pickle.dumps(index).replace(small.tobytes(), (small * 10).tobytes())
    for old in (lodex.Index.from_bytes(long_bytes), pickle.loads(long_pickle)):
        assert np.array_equal(old.center, small * 10) and old.size == 50


@pytest.mark.parametrize("metric", ["ip", "cosine", "l2"])
def test_center_mean_is_fixed_by_the_first_batch_as_a_given_centre(metric):
    x = data(300, 100, 4, offset=2.0)
    index = lodex.Index(100, 4, False, 0, metric=metric, rotation="general", center="mean")
    assert index.center is None and repr(index).endswith("center=mean)") and len(index.config) == 4
    waiting = pickle.loads(pickle.dumps(index))
    with pytest.raises(ValueError, match='the first batch of an index with center="mean" needs at least 2 rows, got 1'):
        index.add_batch([0], x[:1])
    with pytest.raises(ValueError, match="no batch was added yet"):
        index.to_bytes()
    index.add_batch(np.arange(300), x)
    seen = x / np.linalg.norm(x, axis=1, keepdims=True) if metric == "cosine" else x
    np.testing.assert_allclose(index.center, seen.astype(np.float64).sum(axis=0) / 300, rtol=1e-6, atol=1e-7)
    given = lodex.Index(100, 4, False, 0, metric=metric, rotation="general", center=index.center)
    for other in (given, waiting):
        other.add_batch(np.arange(300), x)
        assert other.to_bytes() == index.to_bytes() and "center" not in repr(other)
    if metric != "ip":
        assert index.search(x[7], 3)[0][0] == 7


def test_defaults_stay_as_they_were():
    with pytest.raises(ValueError, match="dimension 768 must be a power of 2"):
        lodex.Index(768, 4, False, 0)
    index = lodex.Index(768, 4, False, 0, rotation="general", metric="ip")
    assert repr(index) == "lodex.Index(dim=768, bits=4, size=0, use_qjl=false, rotation=general)"
    plain = lodex.Index(64, 4, False, 0, metric="ip", rotation="hadamard", center=None)
    assert "metric" not in repr(plain) and plain.center is None and len(plain.config) == 4


@pytest.mark.parametrize("scale", [2e18, 3e18])
def test_l2_past_float32_keeps_finite_distances_finite(scale):
    # |x|^2 of 2.3e38 and 5.5e38: 2 ip, n n or q2 overflows float32, the distances to x and x/2 do not.
    x = np.float32(scale) * data(1, 64, 9)[0]
    rows = np.vstack([data(300, 64, 1), x, x / 2])
    index = lodex.Index(64, 4, False, 3, metric="l2")
    index.add_batch(np.arange(302), rows)
    single = index.search(x, 2)
    ids, scores = index.search_batch(np.stack([rows[0], x, x]), 2)
    exact_ids, exact = index.search_batch(x[None], 2, rerank=rows)
    for got_ids, got in [(*zip(*single),), (ids[1], scores[1]), (ids[2], scores[2]), (exact_ids[0], exact[0])]:
        assert list(got_ids) == [300, 301] and np.isfinite(got).all() and 0 <= got[0] < got[1]
    assert exact[0, 0] == 0 and exact[0, 1] == pytest.approx(np.sum((x / 2).astype(np.float64) ** 2), rel=1e-6)
