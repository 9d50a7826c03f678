"""Serving an index from a read-only memory map: the same answers as in memory,
writes refused, atomic replacement under mapped readers, corrupted files refused
or served safely, and mapped indexes that travel as bytes."""

import pickle
import textwrap

import numpy as np
import pytest

import lodex

from conftest import SANITIZED, run_python

# Keyword arguments of lodex.Index beyond the four parameters, one entry per
# kind of index (metric, rotation, center) that a mapped file must serve.
KINDS = [{}]

ROWS = 16384 + 37  # two chunks, the second ending in a partial block


def build(bits, use_qjl, kind, rows=ROWS, dim=16):
    index = lodex.Index(dim, bits, use_qjl, 5, **kind)
    rng = np.random.default_rng(bits)
    index.add_batch(np.arange(rows) % 9000, rng.standard_normal((rows, dim), dtype=np.float32))
    return index


def answers(index, queries, originals):
    """Everything a reader can ask, as comparable values."""
    allow = np.arange(0, 9000, 7)
    out = [index.search(queries[0], 25), len(index), 8999 in index, 9000 in index, index.to_bytes(),
           index.to_bytes(mappable=True), index.get([3, 8999, 0]).tobytes()]
    for options in ({}, {"allow": allow}, {"allow": allow[:20]}, {"threads": 1},
                    {"rerank": originals, "candidates": 40}):
        ids, scores = index.search_batch(queries, 10, **options)
        out += [ids.tobytes(), scores.tobytes()]
    return out


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("bits,use_qjl", [(2, False), (3, True), (4, False), (5, True)])
def test_mapped_answers_are_the_in_memory_ones(tmp_path, bits, use_qjl, kind):
    index = build(bits, use_qjl, kind)
    path = tmp_path / "index.ldx"
    index.save(str(path), mappable=True)
    queries = np.random.default_rng(9).standard_normal((5, 16), dtype=np.float32)
    originals = np.random.default_rng(10).standard_normal((9000, 16), dtype=np.float32)
    want = answers(index, queries, originals)
    for warm in (False, True):
        mapped = lodex.Index.load(str(path), mmap=True, warm=warm)
        assert mapped.read_only and not index.read_only
        assert answers(mapped, queries, originals) == want
    loaded = lodex.Index.load(str(path))
    assert not loaded.read_only and answers(loaded, queries, originals) == want
    assert path.read_bytes() == want[5]


def test_writes_are_refused_and_change_nothing(tmp_path):
    path = tmp_path / "index.ldx"
    build(4, False, {}, rows=100).save(str(path), mappable=True)
    before = path.read_bytes()
    mapped = lodex.Index.load(str(path), mmap=True)
    for call in (lambda: mapped.add_batch([1], np.ones((1, 16), np.float32)), lambda: mapped.remove([1, 2])):
        with pytest.raises(ValueError, match="read-only memory map of .*index.ldx"):
            call()
    assert len(mapped) == 100 and mapped.to_bytes(mappable=True) == before == path.read_bytes()


def test_save_over_a_mapped_file_leaves_its_readers_the_old_rows(tmp_path):
    path = str(tmp_path / "index.ldx")
    old, new = build(4, False, {}, rows=300), build(3, False, {}, rows=200)
    old.save(path, mappable=True)
    mapped = lodex.Index.load(path, mmap=True)
    query = np.ones(16, np.float32)
    want = mapped.search(query, 50)
    new.save(path, mappable=True)
    assert mapped.search(query, 50) == want and mapped.to_bytes() == old.to_bytes()
    assert lodex.Index.load(path, mmap=True).to_bytes() == new.to_bytes()
    mapped.save(path, mappable=True)  # over the very file a new mapping now serves
    assert lodex.Index.load(path, mmap=True).search(query, 50) == want


def test_mapped_index_travels_as_bytes_and_arrives_in_memory(tmp_path):
    path = tmp_path / "index.ldx"
    index = build(5, True, {}, rows=500)
    index.save(str(path), mappable=True)
    mapped = lodex.Index.load(str(path), mmap=True)
    for copy in (pickle.loads(pickle.dumps(mapped)), lodex.Index.from_bytes(mapped.to_bytes(mappable=True))):
        assert not copy.read_only and copy.to_bytes() == index.to_bytes()
        copy.add_batch([7], np.ones((1, 16), np.float32))
        assert len(copy) == 501 and len(mapped) == 500


def test_mapping_needs_the_mappable_format(tmp_path):
    path = tmp_path / "plain.ldx"
    build(4, False, {}, rows=10).save(str(path))
    assert path.read_bytes()[:4] == b"LDXI"
    with pytest.raises(ValueError, match="save it with mappable=True"):
        lodex.Index.load(str(path), mmap=True)
    with pytest.raises(ValueError, match="warm applies only with mmap=True"):
        lodex.Index.load(str(path), warm=True)


# Every truncation and many single-bit flips of a small mappable file, opened
# both ways under an address-space limit: each is refused with a lodex error
# or opens, and then both ways give the same answers, finite or NaN.
CORRUPTION = textwrap.dedent(
    """
    import random, resource
    import numpy as np
    import lodex

    if {limit}:
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    path = {path}
    good = open(path, "rb").read()
    query = np.linspace(-1, 1, 16, dtype=np.float32)

    def outcome(mmap):
        try:
            index = lodex.Index.load(path, mmap=mmap)
        except (RuntimeError, ValueError) as e:
            return "refused: " + str(e)
        ids, scores = index.search_batch(query[None], 50)
        return [len(index), ids.tobytes(), scores.tobytes(), index.to_bytes()]

    def check(data):
        with open(path, "wb") as f:
            f.write(data)
        loaded, mapped = outcome(False), outcome(True)
        assert loaded == mapped, (len(data), loaded, mapped)
        return isinstance(loaded, list)

    opened = sum(check(good[:n]) for n in range(len(good) + 1))
    assert opened == 1, opened  # only the whole file
    rng = random.Random(1)
    flips = 0
    for _ in range(3000):
        at = rng.randrange(len(good))
        data = bytearray(good)
        data[at] ^= 1 << rng.randrange(8)
        flips += check(bytes(data))
    print(opened, flips)
    """
)


def test_truncated_and_flipped_files_are_refused_or_served_safely(tmp_path):
    index = build(3, True, {}, rows=40)
    path = tmp_path / "index.ldx"
    index.save(str(path), mappable=True)
    # AddressSanitizer reserves more address space than any useful limit.
    out = run_python(CORRUPTION.format(limit=not SANITIZED, path=repr(str(path))), timeout=600)
    opened, flips = map(int, out.split())
    assert opened == 1 and 0 < flips < 3000
