import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lodex

CLASS_DOC = (
    "Quantized vector index.\n\nStores vectors at 2-5 bits per coordinate using a seeded random rotation\n"
    "and Lloyd-Max scalar quantization. Supports asymmetric search with\nfull-precision queries against compressed "
    "storage.\n\n# Examples (Python)\n```python\nimport numpy as np\nimport lodex\n\nindex = lodex.Index(dim=128, "
    "bits=4, use_qjl=False, seed=42)\nvectors = np.random.randn(100, 128).astype(np.float32)\nindex.add_batch(ids="
    "list(range(100)), vectors=vectors)\nresults = index.search(query=vectors[0], k=10)\n```"
)

METHOD_DOCS = {
    "add_batch": (
        "($self, ids, vectors)",
        "Add a batch of vectors to the index.\n\nTrue zero-copy: reads numpy memory directly via a raw pointer passed\n"
        "through the GIL boundary. The `PyReadonlyArray2` parameter keeps the\nnumpy buffer alive (strong refcount) "
        "and prevents mutation (READONLY\nflag) for the duration of the call.\n\nArgs:\n    ids: List of unique "
        "integer IDs, one per vector.\n    vectors: numpy float32 array of shape (n, dim), C-contiguous.",
    ),
    "search": (
        "($self, query, k)",
        "Search for the k nearest vectors to the query.\n\nAccepts a numpy float32 array (avoids Python iterator "
        "overhead).\nReleases the GIL during search \u2014 multiple threads can search\nconcurrently via the RwLock "
        "shared read lock.\n\nArgs:\n    query: numpy float32 array of length dim.\n    k: Number of results to "
        "return.\n\nReturns:\n    List of (id, score) tuples, sorted by descending similarity.",
    ),
    "save": ("($self, path)", "Save the index to a .ldx file.\n\nReleases the GIL during I/O."),
    "load": ("(path)", "Load an index from a .ldx file.\n\nReleases the GIL during I/O."),
}


LATER_METHODS = ["search_batch", "remove", "get", "to_bytes", "from_bytes", "__reduce__", "search_range"]


def test_module_surface():
    assert lodex.__doc__ == "Python module entry point for lodex."
    assert lodex.__all__ == ["Index"]
    # The fault class is reachable but not exported; _from_bytes is what a
    # pickled index is rebuilt with; _arguments holds the converters the Dask
    # layer checks arguments with.
    assert [name for name in vars(lodex) if not name.startswith("__")] == [
        "_from_bytes", "simd_level", "Index", "InternalFault", "_arguments"
    ]
    assert lodex.InternalFault.__bases__ == (BaseException,)


class ItemsOnly:
    """A sequence with items but no length."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


ROWS = np.zeros((4, 8), np.float32)
# Each private converter beside an Index call that fails in it.
REFUSALS = {
    "u64": (lambda a: a.to_u64(-1, "k"), lambda index: index.search(ROWS[0], -1)),
    "path": (lambda a: a.to_path(3, "path"), lambda index: index.save(3)),
    "ids": (lambda a: a.convert_ids("12", "ids"), lambda index: index.remove("12")),
    "array": (lambda a: a.as_float32_array(ROWS[0], 2, "queries"), lambda index: index.search_batch(ROWS[0], 1)),
    "layout": (
        lambda a: a.as_row_major_matrix(ROWS[:, ::2], "queries"), lambda index: index.search_batch(ROWS[:, ::2], 1)
    ),
    "batch": (lambda a: a.to_batch([1, 2], ROWS, 8), lambda index: index.add_batch([1, 2], ROWS)),
    "batch-unsized": (
        lambda a: a.to_batch(ItemsOnly([1]), ROWS, 8), lambda index: index.add_batch(ItemsOnly([1]), ROWS)
    ),
}


@pytest.mark.parametrize("convert, call", REFUSALS.values(), ids=REFUSALS.keys())
def test_private_converters_raise_what_index_raises(convert, call):
    with pytest.raises(Exception) as converted:
        convert(lodex._arguments)
    with pytest.raises(Exception) as called:
        call(lodex.Index(8, 4, False, 0))
    assert (type(converted.value), str(converted.value)) == (type(called.value), str(called.value))


def test_private_converters_return_what_they_convert():
    ids, vectors = lodex._arguments.to_batch(range(4), ROWS, 8)
    assert ids.dtype == np.uint64 and ids.tolist() == [0, 1, 2, 3] and vectors is ROWS


def test_type_identity_and_docs():
    assert lodex.Index.__name__ == "Index"
    assert lodex.Index.__module__ == "builtins"
    assert lodex.Index.__text_signature__ == "(dim, bits, use_qjl, seed)"
    assert lodex.Index.__doc__ == CLASS_DOC
    # The original members keep their order, and every later one follows them.
    members = [n for n in vars(lodex.Index) if not n.startswith("__") or n == "__reduce__"]
    assert members == [*METHOD_DOCS, *LATER_METHODS, "size", "config", "metric", "rotation", "center", "read_only"]


@pytest.mark.parametrize("name", METHOD_DOCS)
def test_method_docs(name):
    signature, doc = METHOD_DOCS[name]
    method = getattr(lodex.Index, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_property_docs_and_read_only():
    assert lodex.Index.size.__doc__ == "Number of stored vectors."
    assert lodex.Index.config.__doc__ == "Index configuration as a Python dict."
    index = lodex.Index(8, 2, False, 0)
    for name in ("size", "config"):
        with pytest.raises(AttributeError):
            setattr(index, name, 3)


def test_reimport_gives_same_module():
    first = sys.modules.pop("lodex")
    try:
        import lodex as again

        assert again is first
        assert again.__all__ == ["Index"]
    finally:
        sys.modules["lodex"] = first


def test_subinterpreter_refused():
    code = textwrap.dedent(
        """
        import _interpreters, lodex
        interp = _interpreters.create()
        try:
            err = _interpreters.run_string(interp, "import lodex")
        finally:
            _interpreters.destroy(interp)
        print(err.type.__name__ if err else "imported")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ImportError"


def test_internal_fault_is_base_exception():
    with pytest.raises(BaseException) as info:
        lodex.Index(1 << 61, 4, False, 0)
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "capacity overflow"
    assert type(info.value).__bases__ == (BaseException,)
