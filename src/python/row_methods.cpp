// add_batch, remove and get: the methods that take ids. They convert their
// arguments, then hand the core the ids and raw row memory with the GIL
// released; every value check is the core's.
#include <cstdint>
#include <optional>
#include <vector>

#include "python/arguments.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

namespace {

// Binds the one argument of remove and get, `ids`, and converts it.
bool bind_ids(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              std::vector<uint64_t>* ids) {
  PyObject* bound[1];
  return bind_arguments({function, {"ids"}}, args, nargs, kwnames, args + nargs, bound) &&
         convert_ids(bound[0], "ids", {}, ids);
}

}  // namespace

PyObject* index_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments({"Index.add_batch", {"ids", "vectors"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    lodex::Index& index = index_of(self);
    Batch batch;
    if (!to_batch(bound[0], bound[1], index.dim(), &batch)) return nullptr;
    PyRef keep_alive(Py_NewRef(reinterpret_cast<PyObject*>(batch.vectors)));  // the buffer lives for the whole call
    const void* data = PyArray_DATA(batch.vectors);
    const auto rows = static_cast<size_t>(PyArray_DIM(batch.vectors, 0));
    if (!run_without_gil([&] { return index.add(batch.ids, data, rows); })) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    std::vector<uint64_t> ids;
    if (!bind_ids("Index.remove", args, nargs, kwnames, &ids)) return nullptr;
    lodex::Index& index = index_of(self);
    size_t removed = 0;
    if (!run_without_gil([&] { return index.remove(std::move(ids)); }, &removed)) return nullptr;
    return PyLong_FromSize_t(removed);
  });
}

PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    std::vector<uint64_t> ids;
    if (!bind_ids("Index.get", args, nargs, kwnames, &ids)) return nullptr;
    const lodex::Index& index = index_of(self);
    npy_intp shape[2] = {static_cast<npy_intp>(ids.size()), static_cast<npy_intp>(index.dim())};
    PyRef out(PyArray_SimpleNew(2, shape, NPY_FLOAT32));
    if (!out) return nullptr;
    float* data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    std::optional<uint64_t> missing;
    if (!run_without_gil([&] { return index.get(ids, data); }, &missing)) return nullptr;
    if (missing) {
      PyRef key(PyLong_FromUnsignedLongLong(*missing));
      if (key) PyErr_SetObject(PyExc_KeyError, key.get());
      return nullptr;
    }
    return out.release();
  });
}

}  // namespace lodex::python
