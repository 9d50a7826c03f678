"""Hostile and extreme input: non-finite values, empty batches, extreme ids,
dimensions and k, arrays laid out or placed oddly in memory, and paths that
cannot be read or written.

Every case checks three things: the exact outcome (the result, or the
exception class and its text), that nothing already stored was lost, and that
the index still adds, searches and saves afterwards.
"""

import math
import pathlib
import struct

import numpy as np
import pytest

import lodex

U64_MAX = 2**64 - 1
DIM = 16


def same_results(a, b):
    """Equal (id, score) lists, a NaN score matching a NaN score."""
    return len(a) == len(b) and all(
        ia == ib and (sa == sb or (math.isnan(sa) and math.isnan(sb))) for (ia, sa), (ib, sb) in zip(a, b)
    )


class Populated:
    """An index holding 40 rows, with what it answered before the bad input."""

    def __init__(self, tmp_path, dim=DIM, bits=4, use_qjl=False):
        rng = np.random.default_rng(5)
        self.index = lodex.Index(dim, bits, use_qjl, 11)
        self.data = rng.standard_normal((40, dim)).astype(np.float32)
        self.index.add_batch(range(40), self.data)
        self.query = rng.standard_normal(dim).astype(np.float32)
        self.before = self.index.search(self.query, 40)
        self.saved = tmp_path / "before.ldx"
        self.index.save(str(self.saved))
        self.tmp_path = tmp_path

    def assert_intact(self, extra_rows=0):
        """The first 40 rows answer as before, and the index still works."""
        index = self.index
        assert index.size == 40 + extra_rows
        found = index.search(self.query, index.size)
        original = [(i, s) for i, s in found if i < 40]
        assert sorted(original) == sorted(self.before)
        after = self.tmp_path / "after.ldx"
        index.save(str(after))
        assert after.read_bytes()[52 : 52 + 8 * 40] == self.saved.read_bytes()[52 : 52 + 8 * 40]
        index.add_batch([10**6], self.data[:1])
        assert index.size == 41 + extra_rows
        scores = dict(index.search(self.data[0], index.size))
        assert scores[10**6] == scores[0]  # the same vector again, the same score


@pytest.fixture
def populated(tmp_path):
    return Populated(tmp_path)


# ----------------------------------------------------------------- values


@pytest.mark.parametrize(
    "value",
    [np.nan, -np.nan, np.inf, -np.inf, np.float32(3e38), np.float32(1e-45), -0.0],
    ids=["nan", "negative-nan", "inf", "negative-inf", "norm-overflows", "subnormal", "negative-zero"],
)
@pytest.mark.parametrize("where", ["one-coordinate", "whole-row"])
def test_non_finite_and_extreme_rows_are_stored(populated, tmp_path, value, where):
    rows = np.ones((3, DIM), np.float32)
    if where == "whole-row":
        rows[1] = value
    else:
        rows[1, 5] = value
    if where == "whole-row" and value == np.float32(3e38):
        # Finite, but its norm is past the largest a bfloat16 holds.
        with pytest.raises(ValueError, match="^row 1 has a norm above"):
            populated.index.add_batch([100, 101, 102], rows)
        populated.assert_intact()
        return
    populated.index.add_batch([100, 101, 102], rows)
    # Every row stays and every search still returns min(k, size) entries.
    assert len(populated.index.search(populated.query, 1000)) == 43
    # A save and load keeps the rows (a NaN norm included) byte for byte.
    path = tmp_path / "special.ldx"
    populated.index.save(str(path))
    loaded = lodex.Index.load(str(path))
    assert loaded.size == 43
    again = tmp_path / "again.ldx"
    loaded.save(str(again))
    assert again.read_bytes() == path.read_bytes()
    assert same_results(loaded.search(populated.query, 43), populated.index.search(populated.query, 43))
    populated.assert_intact(extra_rows=3)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf], ids=["nan", "inf", "negative-inf"])
def test_non_finite_query_returns_every_row(populated, value):
    query = populated.query.copy()
    query[3] = value
    results = populated.index.search(query, 25)
    assert len(results) == 25
    # One infinite coordinate reaches every rotated coordinate: no finite score survives.
    assert all(not math.isfinite(score) for _, score in results)
    populated.assert_intact()


# ------------------------------------------------------------- zero rows


@pytest.mark.parametrize(
    "ids",
    [[], (), range(0), np.array([], np.uint64), np.array([], np.int64)],
    ids=["list", "tuple", "range", "uint64", "int64"],
)
@pytest.mark.parametrize(
    "vectors",
    [
        np.zeros((0, DIM), np.float32),
        np.zeros((0, 2 * DIM), np.float32)[:, ::2],  # strided, but there is no row to read
        np.zeros((DIM, 0), np.float32).T,
        np.zeros((0, DIM), np.float32, order="F"),
    ],
    ids=["plain", "strided", "transposed", "fortran"],
)
def test_zero_row_batches_change_nothing(populated, ids, vectors):
    assert populated.index.add_batch(ids, vectors) is None
    populated.assert_intact()


@pytest.mark.parametrize(
    "vectors, message",
    [
        (np.zeros((0, 0), np.float32), "vector dimension 0 != index dimension 16"),
        (np.zeros((0, DIM - 1), np.float32), "vector dimension 15 != index dimension 16"),
    ],
)
def test_zero_row_batch_of_the_wrong_width(populated, vectors, message):
    with pytest.raises(ValueError) as info:
        populated.index.add_batch([], vectors)
    assert str(info.value) == message
    populated.assert_intact()


def test_zero_row_batch_on_a_loaded_index(populated):
    loaded = lodex.Index.load(str(populated.saved))
    loaded.add_batch([], np.zeros((0, DIM), np.float32))
    assert loaded.size == 40
    assert loaded.search(populated.query, 40) == populated.before


# ------------------------------------------------------------ extreme ids


@pytest.mark.parametrize(
    "ids",
    [[0, U64_MAX], np.array([0, U64_MAX], np.uint64), (np.uint64(0), np.uint64(U64_MAX))],
    ids=["int", "uint64-array", "uint64-scalars"],
)
def test_extreme_ids_survive_save_and_load(tmp_path, ids):
    index = lodex.Index(8, 3, True, 0)
    index.add_batch(ids, np.eye(2, 8, dtype=np.float32))
    path = tmp_path / "ids.ldx"
    index.save(str(path))
    assert path.read_bytes()[52:68] == struct.pack("<QQ", 0, U64_MAX)
    loaded = lodex.Index.load(str(path))
    for source in (index, loaded):
        top = [source.search(np.eye(8, dtype=np.float32)[row], 1)[0][0] for row in (0, 1)]
        assert top == [0, U64_MAX] and all(type(i) is int for i in top)


@pytest.mark.parametrize(
    "ids, exc, message",
    [
        ([U64_MAX + 1], OverflowError, None),
        (np.array([-1], np.int32), OverflowError, "can't convert negative int to unsigned"),
        ([0, -1], OverflowError, "can't convert negative int to unsigned"),
        ([0, 2**100], OverflowError, None),
    ],
)
def test_ids_past_either_end_are_refused(populated, ids, exc, message):
    with pytest.raises(exc) as info:
        populated.index.add_batch(ids, np.ones((len(ids), DIM), np.float32))
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    populated.assert_intact()


# ------------------------------------------------------ extreme dimensions


@pytest.mark.parametrize(
    "dim, bits, use_qjl",
    [(1, 2, False), (1, 3, True), (1, 4, False), (1, 5, True), (2**16, 2, False), (2**16, 5, True)],
)
def test_extreme_dimensions_round_trip(tmp_path, dim, bits, use_qjl):
    rng = np.random.default_rng(dim + bits)
    data = rng.standard_normal((5, dim)).astype(np.float32)
    index = lodex.Index(dim, bits, use_qjl, 3)
    index.add_batch(range(5), data)
    assert index.size == 5
    path = tmp_path / "dim.ldx"
    index.save(str(path))
    code_bytes = (dim * bits + 7) // 8
    assert path.stat().st_size == 52 + 5 * (10 + code_bytes + ((dim + 7) // 8 if use_qjl else 0))
    loaded = lodex.Index.load(str(path))
    assert loaded.config == index.config
    for row in data[:2]:
        assert loaded.search(row, 5) == index.search(row, 5)
    if dim > 1:  # one coordinate quantized to 2 bits cannot tell rows apart
        assert index.search(data[2], 1)[0][0] == 2
    with pytest.raises(ValueError) as info:
        index.add_batch([9], np.ones((1, dim + 1), np.float32))
    assert str(info.value) == f"vector dimension {dim + 1} != index dimension {dim}"
    with pytest.raises(RuntimeError) as info:
        index.search(np.ones(dim * 2, np.float32), 1)
    assert str(info.value) == f"dimension mismatch: query has {dim * 2}, index has {dim}"
    assert index.size == 5


# ------------------------------------------------------------------- k


@pytest.mark.parametrize("k", [U64_MAX, np.uint64(U64_MAX)], ids=["int", "uint64"])
@pytest.mark.parametrize("rows", [0, 1, 17])
def test_largest_k_returns_every_row(k, rows, tmp_path):
    index = lodex.Index(8, 2, False, 1)
    index.add_batch(range(rows), np.random.default_rng(rows).standard_normal((rows, 8)).astype(np.float32))
    query = np.ones(8, np.float32)
    results = index.search(query, k)
    assert len(results) == rows
    assert sorted(i for i, _ in results) == list(range(rows))
    index.save(str(tmp_path / "k.ldx"))
    assert lodex.Index.load(str(tmp_path / "k.ldx")).search(query, k) == results
    with pytest.raises(RuntimeError) as info:
        index.search(np.ones(4, np.float32), k)
    assert str(info.value) == "dimension mismatch: query has 4, index has 8"


# ------------------------------------------------------------------ paths


def test_empty_file_is_refused_and_left_alone(populated, tmp_path):
    empty = tmp_path / "empty.ldx"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError) as info:
        lodex.Index.load(str(empty))
    assert str(info.value) == "invalid .ldx file: file too small"
    assert empty.read_bytes() == b""
    populated.index.save(str(empty))  # an empty file is simply replaced
    assert lodex.Index.load(str(empty)).search(populated.query, 40) == populated.before
    populated.assert_intact()


def test_directory_as_the_save_path(populated, tmp_path):
    target = tmp_path / "dir"
    target.mkdir()
    (target / "inside.txt").write_text("kept")
    for path in (str(target), str(target) + "/"):
        with pytest.raises(OSError) as info:
            populated.index.save(path)
        assert type(info.value) is OSError
        assert str(info.value) == "I/O error: Is a directory (os error 21)"
    assert [p.name for p in target.iterdir()] == ["inside.txt"]
    assert (target / "inside.txt").read_text() == "kept"
    populated.assert_intact()


@pytest.mark.parametrize("method", ["save", "load"])
def test_parent_that_is_a_regular_file(populated, tmp_path, method):
    parent = tmp_path / "plain.ldx"
    populated.index.save(str(parent))
    content = parent.read_bytes()
    with pytest.raises(OSError) as info:
        if method == "save":
            populated.index.save(str(parent / "child.ldx"))
        else:
            lodex.Index.load(str(parent / "child.ldx"))
    assert str(info.value) == "I/O error: Not a directory (os error 20)"
    assert parent.read_bytes() == content  # the file in the way is untouched
    assert sorted(p.name for p in tmp_path.iterdir()) == ["before.ldx", "plain.ldx"]
    populated.assert_intact()


@pytest.mark.parametrize("method", ["save", "load"])
def test_empty_path(populated, method):
    with pytest.raises(OSError) as info:
        populated.index.save("") if method == "save" else lodex.Index.load("")
    assert str(info.value) == "I/O error: No such file or directory (os error 2)"
    populated.assert_intact()


# ---------------------------------------------------------- truncated files


@pytest.mark.parametrize("bits", [2, 3, 4, 5])
@pytest.mark.parametrize("use_qjl", [False, True])
def test_truncation_at_every_byte(tmp_path, bits, use_qjl):
    index = lodex.Index(8, bits, use_qjl, 2)
    index.add_batch([5, 6], np.random.default_rng(bits).standard_normal((2, 8)).astype(np.float32))
    full = tmp_path / "full.ldx"
    index.save(str(full))
    data = full.read_bytes()
    cut = tmp_path / "cut.ldx"
    for n in range(len(data)):
        cut.write_bytes(data[:n])
        with pytest.raises(BaseException) as info:
            lodex.Index.load(str(cut))
        if n < 52:
            assert type(info.value) is RuntimeError
            assert str(info.value) == "invalid .ldx file: file too small"
        else:
            # A row outside the file is an internal fault, which must not be
            # mistaken for an ordinary error: it derives from BaseException only.
            assert type(info.value).__bases__ == (BaseException,)
            assert str(n) in str(info.value), "the message names the file's length"
    assert index.size == 2
    assert lodex.Index.load(str(full)).search(np.ones(8, np.float32), 2) == index.search(np.ones(8, np.float32), 2)


# --------------------------------------------------- arrays oddly in memory


def structured_field():
    record = np.zeros(4, dtype=[("v", "<f4", (DIM,)), ("flag", "u1")])
    return record["v"]  # byte strides (4 * DIM + 1, 4)


def column_stride(nbytes, rows=4):
    base = np.zeros(rows * DIM * 2, np.float32)
    return np.lib.stride_tricks.as_strided(base, shape=(rows, DIM), strides=(DIM * nbytes, nbytes))


def vector_stride(nbytes):
    base = np.zeros(DIM * 2, np.float32)
    return np.lib.stride_tricks.as_strided(base, shape=(DIM,), strides=(nbytes,))


@pytest.mark.parametrize("vectors", [structured_field(), column_stride(5), column_stride(2)],
                         ids=["structured-field", "5-byte-columns", "2-byte-columns"])
def test_strides_that_are_not_whole_floats_are_refused(vectors):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(ValueError, match=r"^vectors array must be C-contiguous \(row-major\)$"):
        index.add_batch(range(len(vectors)), vectors)
    with pytest.raises(ValueError, match="^queries must be a contiguous float32 array"):
        index.search_batch(vectors, 1)
    with pytest.raises(ValueError, match="^rerank must be a contiguous float32 array"):
        index.search_batch(np.zeros((1, DIM), np.float32), 1, rerank=vectors)
    assert index.size == 0


@pytest.mark.parametrize("nbytes", [5, 2, 0])
def test_query_strides_that_are_not_whole_floats_are_refused(nbytes):
    index = lodex.Index(DIM, 4, False, 0)
    with pytest.raises(ValueError, match="^query must be a contiguous float32 array"):
        index.search(vector_stride(nbytes), 1)


def misaligned(array):
    """The same float32 values at an address that is no multiple of 4."""
    raw = np.zeros(array.nbytes + 1, np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float32, count=array.size, offset=1).reshape(array.shape)
    view[...] = array
    assert not view.flags.aligned
    return view


def test_misaligned_arrays_read_as_their_aligned_copies():
    rng = np.random.default_rng(8)
    rows = rng.standard_normal((300, DIM)).astype(np.float32)
    queries = rng.standard_normal((4, DIM)).astype(np.float32)
    plain, odd = lodex.Index(DIM, 4, False, 3), lodex.Index(DIM, 4, False, 3)
    plain.add_batch(range(300), rows)
    odd.add_batch(range(300), misaligned(rows))
    assert odd.to_bytes() == plain.to_bytes()
    assert odd.search(misaligned(queries[0]), 5) == plain.search(queries[0], 5)
    for got, want in zip(odd.search_batch(misaligned(queries), 5, rerank=misaligned(rows)),
                         plain.search_batch(queries, 5, rerank=rows)):
        assert np.array_equal(got, want)


# Each refusal keeps its type and message and carries a note naming what it got and the fix;
# the last goes through lodex._arguments, as ShardedIndex's checks do.
NOTES = {
    "float64": (lambda ix: ix.add_batch([0, 1], np.zeros((2, DIM))), TypeError,
                "argument 'vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
                "float64 array of shape (2, 16)", "vectors.astype(np.float32)"),
    "2-D-query": (lambda ix: ix.search(np.zeros((1, DIM), np.float32), 1), TypeError,
                  "argument 'query': 'ndarray' object cannot be converted to 'PyArray<T, D>'", "(1, 16)",
                  "search_batch"),
    "list": (lambda ix: ix.add_batch([0], [[0.0] * DIM]), TypeError,
             "argument 'vectors': 'list' object cannot be converted to 'PyArray<T, D>'", "list",
             "np.asarray(vectors, dtype=np.float32)"),
    "path": (lambda ix: ix.save(pathlib.Path("i.ldx")), TypeError, "cannot be converted to 'PyString'", "Path",
             "str(path)"),
    "int-flag": (lambda ix: lodex.Index(DIM, 4, 0, 0), TypeError,
                 "argument 'use_qjl': 'int' object cannot be converted to 'PyBool'", "int 0",
                 "use_qjl=False or use_qjl=True"),
    "dimension": (lambda ix: lodex.Index(784, 4, False, 0), ValueError, "dimension 784 must be a power of 2", "784",
                  'rotation="general"'),
    "through-_arguments": (lambda ix: lodex._arguments.as_float32_array(np.zeros(3, np.int64), 1, "center"), TypeError,
                           "argument 'center': 'ndarray' object cannot be converted to 'PyArray<T, D>'", "int64",
                           "center.astype(np.float32)"),
}


@pytest.mark.parametrize("call,error,message,received,fix", NOTES.values(), ids=NOTES.keys())
def test_refusals_carry_a_note_naming_the_fix_and_keep_their_message(call, error, message, received, fix):
    with pytest.raises(error) as caught:
        call(lodex.Index(DIM, 4, False, 0))
    assert message in str(caught.value) and caught.value.args == (str(caught.value),)
    [note] = caught.value.__notes__
    assert received in note and fix in note and note not in str(caught.value)
