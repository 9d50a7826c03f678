// Every docstring and text signature of the module, in one place. Each text
// is part of the module's published surface (help(), inspect.signature), so
// they change only on purpose. Nothing here is code.
#pragma once

namespace lodex::python::doc {

inline constexpr char kModule[] = "Python module entry point for lodex.";

inline constexpr char kInternalFault[] = "A broken internal invariant of lodex (never an ordinary error).";

inline constexpr char kFromBytesFunction[] = "_from_bytes(data)\n--\n\nIndex.from_bytes under a name pickles can find.";

inline constexpr char kSimdLevel[] =
    "simd_level()\n--\n\nThe vector instruction level searches run at: \"scalar\", \"avx2\", \"avx512\",\n"
    "\"avx512vnni\", \"avx512vbmi\", \"neon\" or \"neondot\". The best this machine\n"
    "supports, unless the environment variable LODEX_SIMD capped it at import.\n"
    "Answers are the same at every level.";

inline constexpr char kIndex[] =
    "Index(dim, bits, use_qjl, seed)\n--\n\n"
    "Quantized vector index.\n\n"
    "Stores vectors at 2-5 bits per coordinate using a seeded random rotation\n"
    "and Lloyd-Max scalar quantization. Supports asymmetric search with\n"
    "full-precision queries against compressed storage.\n\n"
    "# Examples (Python)\n"
    "```python\n"
    "import numpy as np\n"
    "import lodex\n\n"
    "index = lodex.Index(dim=128, bits=4, use_qjl=False, seed=42)\n"
    "vectors = np.random.randn(100, 128).astype(np.float32)\n"
    "index.add_batch(ids=list(range(100)), vectors=vectors)\n"
    "results = index.search(query=vectors[0], k=10)\n"
    "```";

// The Index methods, in the order of the class's method table.

inline constexpr char kAddBatch[] =
    "add_batch($self, ids, vectors)\n--\n\n"
    "Add a batch of vectors to the index.\n\n"
    "True zero-copy: reads numpy memory directly via a raw pointer passed\n"
    "through the GIL boundary. The `PyReadonlyArray2` parameter keeps the\n"
    "numpy buffer alive (strong refcount) and prevents mutation (READONLY\n"
    "flag) for the duration of the call.\n\n"
    "Args:\n"
    "    ids: List of unique integer IDs, one per vector.\n"
    "    vectors: numpy float32 array of shape (n, dim), C-contiguous.";

inline constexpr char kSearch[] =
    "search($self, query, k)\n--\n\n"
    "Search for the k nearest vectors to the query.\n\n"
    "Accepts a numpy float32 array (avoids Python iterator overhead).\n"
    "Releases the GIL during search \xe2\x80\x94 multiple threads can search\n"
    "concurrently via the RwLock shared read lock.\n\n"
    "Args:\n"
    "    query: numpy float32 array of length dim.\n"
    "    k: Number of results to return.\n\n"
    "Returns:\n"
    "    List of (id, score) tuples, sorted by descending similarity.";

inline constexpr char kSave[] =
    "save($self, path)\n--\n\nSave the index to a .ldx file.\n\nReleases the GIL during I/O.";

inline constexpr char kLoad[] = "load(path)\n--\n\nLoad an index from a .ldx file.\n\nReleases the GIL during I/O.";

inline constexpr char kSearchBatch[] =
    "search_batch($self, queries, k, *, allow=None, threads=None, rerank=None, candidates=None)\n--\n\n"
    "Search for the k best rows of every query in one call.\n\n"
    "Row i of the result holds what search(queries[i], k) returns, with the\n"
    "same float32 scores. The GIL is released and the index read once for\n"
    "the whole batch, on the worker pool.\n\n"
    "Args:\n"
    "    queries: numpy float32 array of shape (n, dim), C-contiguous.\n"
    "    k: Number of results per query.\n"
    "    allow: Ids (a sequence or an integer array); only rows with one of\n"
    "        them are searched, and every query gets min(k, such rows) results.\n"
    "    threads: Use at most this many of the pool's threads (default all).\n"
    "    rerank: float32 array whose row `id` is the original vector of the\n"
    "        row with that id (a numpy.memmap of them on disk, typically).\n"
    "        The best `candidates` rows by compressed score are scored again\n"
    "        by their exact float32 score (the index's metric) against the\n"
    "        query, and the best k by that exact score are returned with it.\n"
    "    candidates: Rows per query to re-rank (default 4 * k).\n\n"
    "Returns:\n"
    "    (ids, scores): numpy uint64 and float32 arrays of shape (n, m),\n"
    "    m = min(k, searchable rows), each row best first: by descending\n"
    "    score, or by ascending distance for metric \"l2\".";

inline constexpr char kRemove[] =
    "remove($self, ids)\n--\n\n"
    "Remove every row whose id is in ids; return how many rows went.\n\n"
    "Ids no row has are ignored. The rows are compacted at once, so their\n"
    "memory and scan time come back before this returns; that costs time in\n"
    "proportion to the index's size, so remove many ids per call rather\n"
    "than one at a time.";

inline constexpr char kGet[] =
    "get($self, ids)\n--\n\n"
    "Decode the first row of each id.\n\n"
    "Returns a float32 array of shape (len(ids), dim). Each row is the\n"
    "approximation the index stores (codebook values, norm, the inverse\n"
    "rotation), not the vector that was added. Raises KeyError naming the\n"
    "first id that no row has.";

inline constexpr char kToBytes[] =
    "to_bytes($self, *, mappable=False)\n--\n\nThe bytes of the .ldx file that save would write.";

inline constexpr char kFromBytes[] =
    "from_bytes(data)\n--\n\n"
    "An index from the bytes of a .ldx file (bytes or any buffer).\n\n"
    "Checks and errors are those of load.";

inline constexpr char kReduce[] = "__reduce__($self)\n--\n\nPickle support: the index travels as its .ldx bytes.";

inline constexpr char kSearchRange[] =
    "search_range($self, queries, threshold, *, allow=None, threads=None)\n--\n\n"
    "Every row scoring at least threshold (at most, for metric \"l2\"), for every query.\n\n"
    "The scores are those search_batch gives; a row is returned exactly when\n"
    "its score passes the threshold (a NaN score never does). The GIL is\n"
    "released and the index read once for the whole batch, on the worker pool.\n\n"
    "Args:\n"
    "    queries: numpy float32 array of shape (n, dim), C-contiguous.\n"
    "    threshold: A number, not NaN.\n"
    "    allow: Ids (a sequence or an integer array); only rows with one of\n"
    "        them are searched.\n"
    "    threads: Use at most this many of the pool's threads (default all).\n\n"
    "Returns:\n"
    "    (lims, ids, scores): query i's results are ids[lims[i]:lims[i + 1]]\n"
    "    (uint64) and scores[lims[i]:lims[i + 1]] (float32), best first, equal\n"
    "    scores in storage order; lims is uint64 of shape (n + 1,).";

// The Index properties.

inline constexpr char kSize[] = "Number of stored vectors.";
inline constexpr char kConfig[] = "Index configuration as a Python dict.";
inline constexpr char kMetric[] = "The metric searches score by: \"ip\", \"cosine\" or \"l2\".";
inline constexpr char kRotation[] = "The rotation rows are coded with: \"hadamard\" or \"general\".";
inline constexpr char kCenter[] = "A new float32 array of the centre rows are shifted by, or None.";
inline constexpr char kReadOnly[] = "Whether the index is served from a read-only memory map (load(path, mmap=True)).";

// lodex._arguments, private: the binding's converters for the Dask layer.

inline constexpr char kArgumentsModule[] =
    "The argument converters of lodex.Index, each raising exactly what the Index methods raise.";

inline constexpr char kToU64[] = "to_u64(obj, name, /)\n--\n\nAn int or anything with __index__, in 0 .. 2**64-1.";

inline constexpr char kToPath[] = "to_path(obj, name, /)\n--\n\nA str, as the path of a file.";

inline constexpr char kConvertIds[] =
    "convert_ids(obj, name, /)\n--\n\nIds as a new uint64 array: any sequence but str of integers in 0 .. 2**64-1.";

inline constexpr char kAsFloat32Array[] =
    "as_float32_array(obj, ndim, name, /)\n--\n\nobj, a NumPy array of ndim dimensions and native float32 values.";

inline constexpr char kAsRowMajorMatrix[] =
    "as_row_major_matrix(obj, name, /)\n--\n\nobj, a float32 matrix that reads in place as one row-major run.";

inline constexpr char kToBatch[] =
    "to_batch(ids, vectors, dim, /)\n--\n\n"
    "add_batch's arguments in its order, for an index of dimension dim: (ids as a new\n"
    "uint64 array, vectors), as many ids as rows.";
inline constexpr char kFirstBatchMean[] =
    "first_batch_mean(vectors, metric, /)\n--\n\n"
    "The centre an Index with center=\"mean\" and this metric fixes from `vectors` (a\n"
    "C-contiguous float32 matrix) as its first batch, as a new float32 array.";

}  // namespace lodex::python::doc
