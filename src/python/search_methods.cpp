// search, search_batch and search_range: queries in, results out as a list
// or NumPy arrays. The arguments are converted here; the values (threads,
// candidates, widths, the threshold) are the core's to check.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "python/arguments.hpp"
#include "python/array_arguments.hpp"
#include "python/exceptions.hpp"
#include "python/gil.hpp"
#include "python/id_arguments.hpp"
#include "python/index_methods.hpp"
#include "python/index_object.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"

namespace lodex::python {

namespace {

// The `allow` and `threads` keywords both searches share; None is absent.
// `allow` holds the converted ids the options point at.
bool to_allow_and_threads(PyObject* allow_obj, PyObject* threads_obj, std::optional<std::vector<uint64_t>>* allow,
                          lodex::IndexSearchOptions* options) {
  if (allow_obj != nullptr && allow_obj != Py_None) {
    allow->emplace();
    if (!convert_ids(allow_obj, "allow", {}, &**allow)) return false;
    options->allow = &**allow;
  }
  if (threads_obj != nullptr && threads_obj != Py_None) {
    uint64_t threads = 0;
    if (!to_u64(threads_obj, "threads", &threads)) return false;
    options->threads = threads;
  }
  return true;
}

}  // namespace

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments({"Index.search", {"query", "k"}}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
    PyArrayObject* array = as_float32_array(bound[0], 1, "query");
    if (array == nullptr) return nullptr;
    uint64_t k = 0;
    if (!to_u64(bound[1], "k", &k)) return nullptr;
    if (!is_contiguous_vector(array)) return raise_not_contiguous("query");
    // The call's own copy: the array is not read once the GIL is given up.
    std::vector<float> query(static_cast<size_t>(PyArray_DIM(array, 0)));
    if (!query.empty()) std::memcpy(query.data(), PyArray_DATA(array), query.size() * sizeof(float));

    const lodex::Index& index = index_of(self);
    lodex::BatchResults found;
    Failure failure;
    without_gil(failure, [&] {
      take(index.search(query, 1, query.size(), k, {}), found, failure);
    });
    if (failure.failed()) return failure.raise();

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
    if (!bind_arguments({"Index.search_batch", {"queries", "k"}, {"allow", "threads", "rerank", "candidates"}},
                        args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    // Conversions here; the values (threads, candidates, widths) are the
    // core's to check.
    PyArrayObject* queries = as_float32_array(bound[0], 2, "queries");
    if (queries == nullptr) return nullptr;
    uint64_t k = 0;
    if (!to_u64(bound[1], "k", &k)) return nullptr;
    auto given = [](PyObject* obj) { return obj != nullptr && obj != Py_None; };
    lodex::IndexSearchOptions options;
    std::optional<std::vector<uint64_t>> allow;
    if (!to_allow_and_threads(bound[2], bound[3], &allow, &options)) return nullptr;
    PyArrayObject* rerank = nullptr;
    if (given(bound[4])) {
      rerank = as_row_major_matrix(bound[4], "rerank");
      if (rerank == nullptr) return nullptr;
    }
    if (given(bound[5])) {
      uint64_t candidates = 0;
      if (!to_u64(bound[5], "candidates", &candidates)) return nullptr;
      options.candidates = candidates;
    }
    if (!is_row_major(queries)) return raise_not_contiguous("queries");

    // Both arrays are read with the GIL released; these references keep
    // their buffers (a memory map included) alive until the call ends. Only
    // the candidates' rows of `rerank` are ever read.
    PyRef keep_queries(Py_NewRef(reinterpret_cast<PyObject*>(queries)));
    PyRef keep_rerank(Py_XNewRef(reinterpret_cast<PyObject*>(rerank)));
    lodex::RerankSource source;
    if (rerank != nullptr) {
      source = {PyArray_DATA(rerank), static_cast<uint64_t>(PyArray_DIM(rerank, 0)),
                static_cast<uint64_t>(PyArray_DIM(rerank, 1))};
      options.rerank = &source;
    }
    const auto n = static_cast<size_t>(PyArray_DIM(queries, 0));
    const auto width = static_cast<size_t>(PyArray_DIM(queries, 1));
    std::vector<float> aligned_queries;
    const std::span<const float> flat(readable_floats(queries, n * width, aligned_queries), n * width);
    const lodex::Index& index = index_of(self);
    lodex::BatchResults found;
    Failure failure;
    without_gil(failure, [&] {
      take(index.search(flat, n, width, k, options), found, failure);
    });
    if (failure.failed()) return failure.raise();

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
    if (!bind_arguments({"Index.search_range", {"queries", "threshold"}, {"allow", "threads"}}, args, nargs,
                        kwnames, args + nargs, bound)) {
      return nullptr;
    }
    PyArrayObject* queries = as_float32_array(bound[0], 2, "queries");
    if (queries == nullptr) return nullptr;
    const double threshold = PyFloat_AsDouble(bound[1]);
    if (threshold == -1.0 && PyErr_Occurred()) {
      wrap_conversion_error("threshold");
      return nullptr;
    }
    lodex::IndexSearchOptions options;
    std::optional<std::vector<uint64_t>> allow;
    if (!to_allow_and_threads(bound[2], bound[3], &allow, &options)) return nullptr;
    if (!is_row_major(queries)) return raise_not_contiguous("queries");

    PyRef keep_queries(Py_NewRef(reinterpret_cast<PyObject*>(queries)));
    const auto n = static_cast<size_t>(PyArray_DIM(queries, 0));
    const auto width = static_cast<size_t>(PyArray_DIM(queries, 1));
    std::vector<float> aligned_queries;
    const std::span<const float> flat(readable_floats(queries, n * width, aligned_queries), n * width);
    const lodex::Index& index = index_of(self);
    lodex::RangeResults found;
    Failure failure;
    without_gil(failure, [&] {
      take(index.search_range(flat, n, width, threshold, options), found, failure);
    });
    if (failure.failed()) return failure.raise();

    PyRef lims(new_vector(NPY_UINT64, found.lims));
    if (!lims) return nullptr;
    PyRef ids(new_vector(NPY_UINT64, found.ids));
    if (!ids) return nullptr;
    PyRef scores(new_vector(NPY_FLOAT32, found.keys));
    if (!scores) return nullptr;
    return PyTuple_Pack(3, lims.get(), ids.get(), scores.get());
  });
}

}  // namespace lodex::python
