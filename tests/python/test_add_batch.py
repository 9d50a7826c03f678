import collections.abc

import numpy as np
import pytest

import lodex

from conftest import SANITIZED, make_index, run_python


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
        # vectors' own checks come before the length
        ([1, 2, 3], np.zeros((2, 4)), TypeError, "argument 'vectors': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ([1, 2, 3], np.zeros((2, 5), np.float32, order="F"), ValueError, "vector dimension 5 != index dimension 4"),
        ([1, 2, 3], np.zeros((2, 4), np.float32, order="F"), ValueError, "vectors array must be C-contiguous (row-major)"),
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


class ClaimsLength(collections.abc.Sequence):
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        raise AssertionError("no element may be read once the length is known to be wrong")


@pytest.mark.parametrize(
    "ids, vectors, message",
    [
        (range(2**62), np.zeros((1, 8), np.float32), f"ids length {2**62} != row count 1"),
        (np.broadcast_to(np.int64(0), (2**40,)), np.zeros((1, 8), np.float32), f"ids length {2**40} != row count 1"),
        (ClaimsLength(2**40), np.zeros((1, 8), np.float32), f"ids length {2**40} != row count 1"),
        (ClaimsLength(0), np.zeros((1, 8), np.float32), "ids length 0 != row count 1"),
        # Beside a vectors that fails its own checks, that failure, without converting the ids.
        (ClaimsLength(2**40), np.zeros((1, 8), np.float32, order="F")[:, ::2], "vector dimension 4 != index dimension 8"),
        (range(2**62), np.zeros((2, 8), np.float32, order="F"), "vectors array must be C-contiguous (row-major)"),
    ],
    ids=["range", "broadcast-array", "object", "too-short", "bad-width", "not-contiguous"],
)
def test_a_claimed_length_is_checked_before_conversion(ids, vectors, message):
    index = lodex.Index(8, 4, False, 0)
    with pytest.raises(ValueError) as info:
        index.add_batch(ids, vectors)
    assert str(info.value) == message
    assert index.size == 0


class FailingLength(collections.abc.Sequence):
    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        raise IndexError(i)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), ValueError("no length today"), TypeError("typed")])
def test_errors_of_the_ids_own_len_propagate(error):
    index = lodex.Index(8, 4, False, 0)
    with pytest.raises(type(error)) as info:
        index.add_batch(FailingLength(error), np.zeros((0, 8), np.float32))
    assert info.value is error


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator aborts instead of failing")
def test_out_of_memory_while_converting_or_adding_is_a_memory_error():
    # A 500 MB address-space allowance beyond what the interpreter already
    # uses: the batch cannot fit, and must fail cleanly with nothing stored.
    run_python(
        """
        import resource
        import numpy as np
        import lodex

        def vm_bytes():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        index = lodex.Index(256, 5, False, 0)
        index.add_batch(range(10), np.ones((10, 256), np.float32))
        before = index.search(np.ones(256, np.float32), 10)
        vectors = np.zeros((200_000, 256), np.float32)  # 200 MB, never touched
        limit = vm_bytes() + 16 * 2**20  # the rows need 34 MB
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
        for ids in (range(200_000), np.arange(200_000)):
            try:
                index.add_batch(ids, vectors)
            except MemoryError:
                pass
            else:
                raise SystemExit("the batch fitted after all: raise the batch size")
            assert index.size == 10, index.size
            assert index.search(np.ones(256, np.float32), 10) == before
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        index.add_batch(range(5), np.ones((5, 256), np.float32))
        assert index.size == 15
        """
    )


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's allocator aborts instead of failing")
def test_running_out_of_memory_at_a_new_chunk_leaves_the_index_usable():
    # The first row of an empty index opens the store's first chunk, whose
    # reservation (16,384 rows of 512 bytes) does not fit a 4 MB allowance.
    # The rows added once memory is back must be stored and searched as in
    # a fresh index.
    run_python(
        """
        import resource
        import numpy as np
        import lodex

        def vm_bytes():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        index = lodex.Index(1024, 4, False, 0)
        vectors = np.zeros((200_000, 1024), np.float32)  # never touched
        rows = np.random.default_rng(1).standard_normal((20, 1024)).astype(np.float32)
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 4 * 2**20, hard))
        try:
            index.add_batch(range(200_000), vectors)
        except MemoryError:
            pass
        else:
            raise SystemExit("the batch fitted after all: lower the allowance")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert index.size == 0, index.size
        index.add_batch(range(20), rows)
        fresh = lodex.Index(1024, 4, False, 0)
        fresh.add_batch(range(20), rows)
        assert index.to_bytes() == fresh.to_bytes()
        assert index.search(rows[3], 5) == fresh.search(rows[3], 5)
        """
    )


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


@pytest.mark.parametrize("metric", ["ip", "cosine"])
def test_a_row_whose_sum_of_squares_overflows_keeps_its_norm(metric, rng):
    # |3e18 v|^2 overflows float32, |3e18 v| does not.
    v = rng.standard_normal(64).astype(np.float32)
    huge = np.float32(3e18) * v
    index = lodex.Index(64, 4, False, 0, metric=metric)
    index.add_batch([0, 1], np.stack([v, huge]))
    scores = dict(index.search(v, 2))
    exact = float(v @ huge) if metric == "ip" else 1.0
    assert scores[1] == pytest.approx(exact, rel=0.05)
    want = (huge if metric == "ip" else v / np.linalg.norm(v)).astype(np.float64)
    got = index.get([1]).astype(np.float64)
    assert np.linalg.norm(got - want) < 0.2 * np.linalg.norm(want)


def test_a_row_beyond_the_largest_storable_norm_is_refused(rng):
    index = make_index(dim=64)
    rows = np.stack([rng.standard_normal(64), np.full(64, 1e38)]).astype(np.float32)
    with pytest.raises(ValueError, match=r"^row 1 has a norm above 3\.3895314e\+38, the largest norm"):
        index.add_batch([0, 1], rows)
    assert index.size == 0


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
