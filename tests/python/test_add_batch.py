import numpy as np
import pytest

import lodex

from conftest import make_index


def test_batches_append_in_order_and_count(rng):
    index = make_index(dim=8)
    data = rng.standard_normal((5, 8)).astype(np.float32)
    assert index.add_batch([10, 11, 12], data[:3]) is None
    index.add_batch(ids=(13, 13), vectors=data[3:])
    assert index.size == 5
    assert repr(index) == "lodex.Index(dim=8, bits=4, size=5, use_qjl=false)"
    # Rows come back by id with their own data: each row is its own best match.
    for row, expected in zip(data, [10, 11, 12, 13, 13]):
        assert index.search(row, 1)[0][0] == expected


@pytest.mark.parametrize(
    "ids",
    [
        list(range(4)),
        tuple(range(4)),
        range(4),
        np.arange(4, dtype=np.int64),
        np.arange(4, dtype=np.uint64),
        np.arange(4, dtype=np.int32),
        np.arange(8, dtype=np.int64)[::2],
        [np.int16(0), np.uint8(1), True, 3],
    ],
    ids=["list", "tuple", "range", "int64", "uint64", "int32", "strided", "mixed"],
)
def test_ids_from_any_sequence(ids, rng):
    index = make_index(dim=4)
    index.add_batch(ids, rng.standard_normal((4, 4)).astype(np.float32))
    assert index.size == 4


def test_extreme_ids_round_trip(rng):
    index = make_index(dim=4)
    data = np.eye(4, dtype=np.float32)
    index.add_batch([0, 2**64 - 1, 2**63, 5], data)
    assert index.search(data[1], 1)[0][0] == 2**64 - 1
    assert index.search(data[2], 1)[0][0] == 2**63


@pytest.mark.parametrize(
    "ids, vectors, exc, message",
    [
        ("abc", np.zeros((3, 4), np.float32), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (5, np.zeros((1, 4), np.float32), TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        ({1: 2}, np.zeros((1, 4), np.float32), TypeError, "argument 'ids': 'dict' object cannot be converted to 'Sequence'"),
        ([1.5], np.zeros((1, 4), np.float32), TypeError, "argument 'ids': 'float' object cannot be interpreted as an integer"),
        ([-1], np.zeros((1, 4), np.float32), OverflowError, "can't convert negative int to unsigned"),
        (np.array([-1]), np.zeros((1, 4), np.float32), OverflowError, "can't convert negative int to unsigned"),
        ([2**64], np.zeros((1, 4), np.float32), OverflowError, None),
        ([0], np.zeros((1, 4), np.float64), TypeError, "argument 'vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ([0], np.zeros(4, np.float32), TypeError, "argument 'vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ([0], np.zeros((1, 4), ">f4"), TypeError, "argument 'vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ([0], [[0.0] * 4], TypeError, "argument 'vectors': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ([0], np.zeros((1, 5), np.float32), ValueError, "vector dimension 5 != index dimension 4"),
        ([], np.zeros((0, 5), np.float32), ValueError, "vector dimension 5 != index dimension 4"),
        ([1], np.zeros((0, 4), np.float32), ValueError, "ids length 1 != row count 0"),
        ([1, 2, 3], np.zeros((2, 4), np.float32), ValueError, "ids length 3 != row count 2"),
        ([0, 1], np.zeros((4, 2), np.float32).T, ValueError, "vectors array must be C-contiguous (row-major)"),
        ([0, 1], np.zeros((2, 4), np.float32, order="F"), ValueError, "vectors array must be C-contiguous (row-major)"),
        ([0, 1], np.zeros((2, 8), np.float32)[:, ::2], ValueError, "vectors array must be C-contiguous (row-major)"),
        ([0, 1], np.zeros((4, 4), np.float32)[::2], ValueError, "vectors array must be C-contiguous (row-major)"),
        ([0, 1], np.zeros((2, 4), np.float32)[::-1], ValueError, "vectors array must be C-contiguous (row-major)"),
    ],
)
def test_bad_input_leaves_index_untouched(ids, vectors, exc, message, rng):
    index = make_index(dim=4, rows=3, rng=rng)
    with pytest.raises(exc) as info:
        index.add_batch(ids, vectors)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert index.size == 3
    index.add_batch([7], np.ones((1, 4), np.float32))
    assert index.size == 4


def test_empty_batch_is_a_no_op():
    index = make_index(dim=4)
    assert index.add_batch([], np.zeros((0, 4), np.float32)) is None
    assert index.size == 0


@pytest.mark.parametrize(
    "vectors",
    [
        np.zeros((3, 8), np.float32)[1:2],  # one row: any row stride
        np.zeros((1, 16), np.float32)[:, :8],
    ],
)
def test_single_row_layouts_accepted(vectors):
    index = make_index(dim=8)
    index.add_batch([1], vectors)
    assert index.size == 1


def test_single_column_layout_accepted():
    index = make_index(dim=1, bits=2)
    column = np.zeros((3, 2), np.float32)[:, :1]  # column stride irrelevant, row stride 2 -> refused
    with pytest.raises(ValueError, match="C-contiguous"):
        index.add_batch([1, 2, 3], column)
    index.add_batch([1, 2, 3], np.zeros((3, 1), np.float32))
    assert index.size == 3


def test_non_finite_values_are_stored(rng):
    index = make_index(dim=8)
    data = rng.standard_normal((4, 8)).astype(np.float32)
    data[0, 3] = np.nan
    data[1, 0] = np.inf
    data[2] = 0.0
    data[3] = -np.inf
    index.add_batch([0, 1, 2, 3], data)
    assert index.size == 4
    assert len(index.search(rng.standard_normal(8).astype(np.float32), 10)) == 4


def test_keyword_binding_errors():
    index = make_index(dim=4)
    with pytest.raises(TypeError, match=r"^Index.add_batch\(\) missing 1 required positional argument: 'vectors'$"):
        index.add_batch([1])
    with pytest.raises(TypeError, match=r"^Index.add_batch\(\) got an unexpected keyword argument 'rows'$"):
        index.add_batch(ids=[1], rows=None)


def test_use_qjl_does_not_change_scores(rng):
    data = rng.standard_normal((50, 32)).astype(np.float32)
    plain, with_qjl = make_index(dim=32, use_qjl=False), make_index(dim=32, use_qjl=True)
    for index in (plain, with_qjl):
        index.add_batch(range(50), data)
    query = rng.standard_normal(32).astype(np.float32)
    assert plain.search(query, 50) == with_qjl.search(query, 50)


def test_readers_block_while_batch_runs():
    import threading

    index = make_index(dim=256, bits=5)
    data = np.random.default_rng(0).standard_normal((200_000, 256)).astype(np.float32)
    sizes = []
    worker = threading.Thread(target=index.add_batch, args=(range(200_000), data))
    worker.start()
    while worker.is_alive():
        sizes.append(index.size)
    worker.join()
    # A reader sees none or all of a batch, never a part of it.
    assert set(sizes) <= {0, 200_000}
    assert index.size == 200_000
