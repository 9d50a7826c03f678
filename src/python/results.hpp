// NumPy arrays made from the core's results: new, C-contiguous, owning a copy
// of the values. Converts no argument.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>

#include "python/python_headers.hpp"

namespace lodex::python {

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
