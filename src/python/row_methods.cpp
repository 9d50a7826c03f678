// add_batch, remove and get: the methods that take ids. They convert their
// arguments, then hand the core the ids and raw row memory with the GIL
// released; every value check is the core's.
#include <cstdint>
#include <optional>
#include <vector>

#include "python/arguments.hpp"
#include "python/exceptions.hpp"
#include "python/gil.hpp"
#include "python/id_arguments.hpp"
#include "python/index_methods.hpp"
#include "python/index_object.hpp"
#include "python/py_ref.hpp"

namespace lodex::python {

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
    Failure failure;
    without_gil(failure, [&] {
      take(index.add(batch.ids, data, rows), failure);
    });
    if (failure.failed()) return failure.raise();
    Py_RETURN_NONE;
  });
}

PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments({"Index.remove", {"ids"}}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
    std::vector<uint64_t> ids;
    if (!convert_ids(bound[0], "ids", {}, &ids)) return nullptr;
    lodex::Index& index = index_of(self);
    size_t removed = 0;
    Failure failure;
    without_gil(failure, [&] {
      take(index.remove(std::move(ids)), removed, failure);
    });
    if (failure.failed()) return failure.raise();
    return PyLong_FromSize_t(removed);
  });
}

PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments({"Index.get", {"ids"}}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
    std::vector<uint64_t> ids;
    if (!convert_ids(bound[0], "ids", {}, &ids)) return nullptr;
    const lodex::Index& index = index_of(self);
    npy_intp shape[2] = {static_cast<npy_intp>(ids.size()), static_cast<npy_intp>(index.dim())};
    PyRef out(PyArray_SimpleNew(2, shape, NPY_FLOAT32));
    if (!out) return nullptr;
    float* data = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    std::optional<uint64_t> missing;
    Failure failure;
    without_gil(failure, [&] {
      take(index.get(ids, data), missing, failure);
    });
    if (failure.failed()) return failure.raise();
    if (missing) {
      PyRef key(PyLong_FromUnsignedLongLong(*missing));
      if (key) PyErr_SetObject(PyExc_KeyError, key.get());
      return nullptr;
    }
    return out.release();
  });
}

}  // namespace lodex::python
