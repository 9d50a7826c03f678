// The Index object's layout, the functions behind its slots, methods and
// properties (as index_type.cpp's tables name them), and the NumPy arrays made
// from the core's results.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>

#include "index.hpp"
#include "python/exceptions.hpp"

namespace lodex::python {

// The Python Index object: one heap object owning one core index, and the
// type it belongs to. Only the owning pointer lives here: what the methods
// do is in the *_methods.cpp files, the type's tables in index_type.cpp.

struct PyIndex {
  PyObject_HEAD
  lodex::Index* index;
};

inline lodex::Index& index_of(PyObject* self) { return *reinterpret_cast<PyIndex*>(self)->index; }

// The Index type, created once per process by create_index_type (false with
// an exception set when it cannot be).
bool create_index_type();
PyTypeObject* index_type();

// A new object of `type` owning `index`, or nullptr with the index freed.
PyObject* wrap_index(PyTypeObject* type, std::unique_ptr<lodex::Index> index);

// The functions behind the Index type's slots, methods and properties, as the
// type's tables in index_type.cpp name them. Each binds and converts its
// arguments, hands the core raw pointers and sizes, and converts the result.

// Construction and the object's life (index_type.cpp).
PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void index_dealloc(PyObject* self);

// Properties, representation, len, `in`, truth (index_type.cpp).
PyObject* index_get_size(PyObject* self, void*);
PyObject* index_get_config(PyObject* self, void*);
PyObject* index_get_metric(PyObject* self, void*);
PyObject* index_get_rotation(PyObject* self, void*);
PyObject* index_get_center(PyObject* self, void*);
PyObject* index_get_read_only(PyObject* self, void*);
PyObject* index_repr(PyObject* self);
Py_ssize_t index_len(PyObject* self);
int index_contains(PyObject* self, PyObject* value);
int index_bool(PyObject* self);

// Rows: add_batch, remove, get (row_methods.cpp).
PyObject* index_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Searches (search_methods.cpp).
PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_search_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Files, bytes and pickling (file_methods.cpp). index_from_bytes also serves
// the module's _from_bytes (module_from_bytes), which pickles call.
PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_reduce(PyObject* self, PyObject*);
// The module's _from_bytes: index_from_bytes, or, given the tuple (dim, bits,
// use_qjl, seed, metric, rotation, center) an index whose centre waits for
// its first batch pickles as, that index made anew.
PyObject* module_from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Finds the module's _from_bytes, which __reduce__ names; false with the
// AttributeError set when the module has none.
bool remember_from_bytes(PyObject* module);

// NumPy arrays made from the core's results: new, C-contiguous, owning a copy
// of the values. Converts no argument.

// A new array of NumPy type `type` and shape `shape` (ndim entries) holding
// a copy of the `bytes` bytes at `data`, or nullptr with the error set.
inline PyObject* new_array(int type, int ndim, npy_intp* shape, const void* data, size_t bytes) {
  PyObject* array = PyArray_SimpleNew(ndim, shape, type);
  if (array != nullptr && bytes > 0) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, bytes);
  return array;
}

// A new 1-D array holding `values` (a vector or a span).
template <class Values>
PyObject* new_vector(int type, const Values& values) {
  npy_intp shape[1] = {static_cast<npy_intp>(std::size(values))};
  return new_array(type, 1, shape, std::data(values), std::size(values) * sizeof(*std::data(values)));
}

// A new array of shape (rows, cols) holding `values`, rows * cols of them.
template <class Values>
PyObject* new_matrix(int type, size_t rows, size_t cols, const Values& values) {
  npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  return new_array(type, 2, shape, std::data(values), std::size(values) * sizeof(*std::data(values)));
}

}  // namespace lodex::python
