// search, search_batch and search_range: queries in, results out as a list
// or NumPy arrays. The arguments are converted here; the values (threads,
// candidates, widths, the threshold) are the core's to check.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "python/arguments.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

namespace {

// Binds a search's arguments and checks the type of the first, its query
// array of `ndim` dimensions: the first conversion of every search. The
// array, or nullptr with the error set.
PyArrayObject* bind_queries(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject** bound, int ndim) {
  if (!bind_arguments(sig, args, nargs, kwnames, args + nargs, bound)) return nullptr;
  return as_float32_array(bound[0], ndim, sig.positional.begin()[0]);
}

// A search's options, with the converted ids `allow` they point at.
struct Options {
  lodex::IndexSearchOptions options;
  std::optional<std::vector<uint64_t>> allow;
};

// The `allow` and `threads` keywords both batch searches share; None is absent.
bool to_allow_and_threads(PyObject* allow_obj, PyObject* threads_obj, Options* out) {
  if (allow_obj != nullptr && allow_obj != Py_None) {
    out->allow.emplace();
    if (!convert_ids(allow_obj, "allow", {}, &*out->allow)) return false;
    out->options.allow = &*out->allow;
  }
  if (threads_obj != nullptr && threads_obj != Py_None) {
    uint64_t threads = 0;
    if (!to_u64(threads_obj, "threads", &threads)) return false;
    out->options.threads = threads;
  }
  return true;
}

// search_batch's `rerank` and `candidates`; None is absent. The originals
// are held in `keep_alive` for the call: only the candidates' rows are ever
// read, with the GIL released (a memory map of them, typically).
bool to_rerank_and_candidates(PyObject* rerank_obj, PyObject* candidates_obj, PyRef* keep_alive,
                              lodex::RerankSource* source, lodex::IndexSearchOptions* options) {
  if (rerank_obj != nullptr && rerank_obj != Py_None) {
    PyArrayObject* rerank = as_row_major_matrix(rerank_obj, "rerank");
    if (rerank == nullptr) return false;
    *keep_alive = PyRef(Py_NewRef(reinterpret_cast<PyObject*>(rerank)));
    *source = {PyArray_DATA(rerank), static_cast<uint64_t>(PyArray_DIM(rerank, 0)),
               static_cast<uint64_t>(PyArray_DIM(rerank, 1))};
    options->rerank = source;
  }
  if (candidates_obj != nullptr && candidates_obj != Py_None) {
    uint64_t candidates = 0;
    if (!to_u64(candidates_obj, "candidates", &candidates)) return false;
    options->candidates = candidates;
  }
  return true;
}

// A 1-D array over the values of `values` without copying them: the array
// takes their memory, freed with it (a capsule as its base). On failure,
// nullptr with the error set, and `values` still owns its memory.
template <class T>
PyObject* adopt_vector(int type, lodex::MallocArray<T>& values) {
  if (values.empty()) return new_vector(type, std::span<const T>());
  PyRef owner(PyCapsule_New(values.data(), nullptr, [](PyObject* capsule) {
    std::free(PyCapsule_GetPointer(capsule, nullptr));
  }));
  if (!owner) return nullptr;
  npy_intp shape[1] = {static_cast<npy_intp>(values.size())};
  PyRef array(PyArray_SimpleNewFromData(1, shape, type, values.data()));
  if (!array) {
    PyCapsule_SetDestructor(owner.get(), nullptr);
    return nullptr;
  }
  // Steals the capsule's reference, even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0) {
    values.release();  // the capsule freed them
    return nullptr;
  }
  values.release();
  return array.release();
}

}  // namespace

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    PyArrayObject* array = bind_queries({"Index.search", {"query", "k"}}, args, nargs, kwnames, bound, 1);
    if (array == nullptr) return nullptr;
    uint64_t k = 0;
    if (!to_u64(bound[1], "k", &k)) return nullptr;
    if (!is_contiguous_vector(array)) return raise_not_contiguous("query");
    // The call's own copy: the array is not read once the GIL is given up.
    std::vector<float> query(static_cast<size_t>(PyArray_DIM(array, 0)));
    if (!query.empty()) std::memcpy(query.data(), PyArray_DATA(array), query.size() * sizeof(float));

    const lodex::Index& index = index_of(self);
    lodex::BatchResults found;
    if (!run_without_gil([&] { return index.search(query, 1, query.size(), k, {}); }, &found)) return nullptr;

    PyRef list(PyList_New(static_cast<Py_ssize_t>(found.per_query)));
    if (!list) return nullptr;
    for (size_t i = 0; i < found.per_query; ++i) {
      PyObject* item = Py_BuildValue("(Kd)", static_cast<unsigned long long>(found.ids[i]),
                                     static_cast<double>(found.scores[i]));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* index_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[6];
    const Signature sig{"Index.search_batch", {"queries", "k"}, {"allow", "threads", "rerank", "candidates"}};
    PyArrayObject* array = bind_queries(sig, args, nargs, kwnames, bound, 2);
    uint64_t k = 0;
    if (array == nullptr || !to_u64(bound[1], "k", &k)) return nullptr;
    Options options;
    PyRef keep_rerank;
    lodex::RerankSource source;
    QueryMatrix queries;
    if (!to_allow_and_threads(bound[2], bound[3], &options) ||
        !to_rerank_and_candidates(bound[4], bound[5], &keep_rerank, &source, &options.options) ||
        !queries.read(array)) {
      return nullptr;
    }
    const lodex::Index& index = index_of(self);
    lodex::BatchResults found;
    auto search = [&] { return index.search(queries.flat(), queries.rows(), queries.width(), k, options.options); };
    if (!run_without_gil(search, &found)) return nullptr;

    PyRef ids(new_matrix(NPY_UINT64, found.queries, found.per_query, found.ids));
    if (!ids) return nullptr;
    PyRef scores(new_matrix(NPY_FLOAT32, found.queries, found.per_query, found.scores));
    if (!scores) return nullptr;
    return PyTuple_Pack(2, ids.get(), scores.get());
  });
}

PyObject* index_search_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[4];
    const Signature sig{"Index.search_range", {"queries", "threshold"}, {"allow", "threads"}};
    PyArrayObject* array = bind_queries(sig, args, nargs, kwnames, bound, 2);
    double threshold = 0.0;
    if (array == nullptr || !to_double(bound[1], "threshold", &threshold)) return nullptr;
    Options options;
    QueryMatrix queries;
    if (!to_allow_and_threads(bound[2], bound[3], &options) || !queries.read(array)) return nullptr;
    const lodex::Index& index = index_of(self);
    lodex::RangeResults found;
    auto search = [&] {
      return index.search_range(queries.flat(), queries.rows(), queries.width(), threshold, options.options);
    };
    if (!run_without_gil(search, &found)) return nullptr;

    PyRef lims(new_vector(NPY_UINT64, found.lims));
    if (!lims) return nullptr;
    PyRef ids(adopt_vector(NPY_UINT64, found.ids));
    if (!ids) return nullptr;
    PyRef scores(adopt_vector(NPY_FLOAT32, found.keys));
    if (!scores) return nullptr;
    return PyTuple_Pack(3, lims.get(), ids.get(), scores.get());
  });
}

}  // namespace lodex::python
