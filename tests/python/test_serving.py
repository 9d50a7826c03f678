"""Serving an index from a read-only memory map: the same answers as in memory,
writes refused, atomic replacement under mapped readers, corrupted files refused
or served safely, and mapped indexes that travel as bytes."""

import pickle
import textwrap

import numpy as np
import pytest

import lodex

from conftest import SANITIZED, run_python

# Every kind of index a mapped file must serve: each metric with each
# rotation, with and without a center (which adds the row terms). The general
# rotation runs at a width that is no power of 2 and pads its codes.
KINDS = [{"metric": metric, "rotation": rotation, "center": center}
         for metric in ("ip", "cosine", "l2") for rotation in ("hadamard", "general") for center in (False, True)]

ROWS = 16384 + 37  # two chunks, the second ending in a partial block


def build(bits, use_qjl, kind, rows=ROWS):
    dim = 20 if kind.get("rotation") == "general" else 16
    center = np.linspace(-1, 1, dim, dtype=np.float32) if kind.get("center") else None
    if center is not None and kind["metric"] == "cosine":
        center /= np.float32(np.sqrt(dim))  # a mean of unit rows: norm at most 1
    index = lodex.Index(dim, bits, use_qjl, 5, **{**kind, "center": center})
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
    out += [a.tobytes() for a in index.search_range(queries, float(scores[0, 5]), allow=allow)]
    return out


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: "-".join(f"{v}" for v in k.values()))
@pytest.mark.parametrize("bits,use_qjl", [(2, False), (3, True), (4, False), (5, True)])
def test_mapped_answers_are_the_in_memory_ones(tmp_path, bits, use_qjl, kind):
    index = build(bits, use_qjl, kind)
    path = tmp_path / "index.ldx"
    index.save(str(path), mappable=True)
    rng = np.random.default_rng(9)
    queries = rng.standard_normal((5, index.config["dim"]), dtype=np.float32)
    originals = rng.standard_normal((9000, index.config["dim"]), dtype=np.float32)
    want = answers(index, queries, originals)
    for warm in (False, True):
        mapped = lodex.Index.load(str(path), mmap=True, warm=warm)
        assert mapped.read_only and not index.read_only
        assert answers(mapped, queries, originals) == want
    # A pickled mapped index arrives in memory (as bytes) and answers alike.
    for copy in (lodex.Index.load(str(path)), pickle.loads(pickle.dumps(mapped))):
        assert not copy.read_only and answers(copy, queries, originals) == want
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
    import os, random, resource, tempfile
    import numpy as np
    import lodex

    if {limit}:
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    good = open({path}, "rb").read()
    # On tmpfs where there is one: rewriting a file thousands of times on
    # ext4 waits for the disk each time.
    fd, path = tempfile.mkstemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else os.path.dirname({path}))
    os.close(fd)

    def outcome(mmap):
        try:
            index = lodex.Index.load(path, mmap=mmap)
        except (RuntimeError, ValueError) as e:
            return "refused: " + str(e)
        query = np.linspace(-1, 1, index.config["dim"], dtype=np.float32)  # a flip may change dim
        ids, scores = index.search_batch(query[None], 50, threads=1)
        middle = float(np.nan_to_num(scores[0, scores.shape[1] // 2])) if scores.size else 0.0
        ranged = index.search_range(query[None], middle, threads=1)
        return [len(index), ids.tobytes(), scores.tobytes(), index.to_bytes(), *(a.tobytes() for a in ranged)]

    def check(data):
        with open(path, "wb") as f:
            f.write(data)
        if data[:4] == b"LDXI":  # one bit turns the magic into the original format's
            assert "original layout" in outcome(True)
            try:  # whose reader calls rows outside the file a broken invariant
                return isinstance(outcome(False), list)
            except lodex.InternalFault:
                return False
        loaded, mapped = outcome(False), outcome(True)
        assert loaded == mapped, (len(data), loaded, mapped)
        return isinstance(loaded, list)

    opened = sum(check(good[:n]) for n in range(len(good) + 1))
    assert opened == 1, opened  # only the whole file
    # Every bit of the header, then random bits anywhere.
    rng = random.Random(1)
    bits = [*range(128 * 8), *(rng.randrange(8 * len(good)) for _ in range(3000))]
    flips = 0
    for bit in bits:
        data = bytearray(good)
        data[bit // 8] ^= 1 << bit % 8
        flips += check(bytes(data))
    os.remove(path)
    print(opened, flips)
    """
)


def test_truncated_and_flipped_files_are_refused_or_served_safely(tmp_path):
    # A file with every section: center, ids, norms, row terms, codes, QJL bits.
    index = build(3, True, {"metric": "l2", "rotation": "general", "center": True}, rows=40)
    path = tmp_path / "index.ldx"
    index.save(str(path), mappable=True)
    # AddressSanitizer reserves more address space than any useful limit.
    out = run_python(CORRUPTION.format(limit=not SANITIZED, path=repr(str(path))), timeout=600)
    opened, flips = map(int, out.split())
    assert opened == 1 and 2000 < flips < 4024
