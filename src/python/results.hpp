// NumPy arrays made from the core's results: new, C-contiguous, owning a copy
// of the values. Converts no argument.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "python/python_headers.hpp"

namespace lodex::python {

// A new C-contiguous NumPy array of shape (rows, cols) holding `values`.
template <class T>
PyObject* new_matrix(int type, size_t rows, size_t cols, const std::vector<T>& values) {
  npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyObject* array = PyArray_SimpleNew(2, shape, type);
  if (array != nullptr && !values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(), values.size() * sizeof(T));
  }
  return array;
}

// A new 1-D NumPy array holding `values`.
template <class T>
PyObject* new_vector(int type, const std::vector<T>& values) {
  npy_intp shape[1] = {static_cast<npy_intp>(values.size())};
  PyObject* array = PyArray_SimpleNew(1, shape, type);
  if (array != nullptr && !values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(), values.size() * sizeof(T));
  }
  return array;
}

}  // namespace lodex::python
