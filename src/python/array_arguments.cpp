// The float32 array arguments (array_arguments.hpp): type, shape and layout
// checks with the methods' messages. Reads no value but to copy it.
#include "python/array_arguments.hpp"

#include <cstring>

#include "python/arguments.hpp"

namespace lodex::python {

bool is_float32_array(PyObject* obj, int ndim) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), f32) != 0;
  Py_DECREF(f32);
  return PyArray_NDIM(array) == ndim && equivalent;
}

PyArrayObject* as_float32_array(PyObject* obj, int ndim, const char* name) {
  if (is_float32_array(obj, ndim)) return reinterpret_cast<PyArrayObject*>(obj);
  fail_conversion(obj, "PyArray<T, D>");
  wrap_conversion_error(name);
  return nullptr;
}

bool is_row_major(PyArrayObject* array) {
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  if (rows == 0 || cols == 0) return true;
  const bool cols_ok = cols == 1 || PyArray_STRIDE(array, 1) == 4;
  const bool rows_ok = rows == 1 || PyArray_STRIDE(array, 0) == cols * 4;
  return cols_ok && rows_ok && PyArray_DATA(array) != nullptr;
}

bool is_contiguous_vector(PyArrayObject* array) {
  const npy_intp n = PyArray_DIM(array, 0);
  return PyArray_DATA(array) != nullptr && (n <= 1 || PyArray_STRIDE(array, 0) == 4);
}

PyObject* raise_not_contiguous(const char* name) {
  PyErr_Format(PyExc_ValueError, "%s must be a contiguous float32 array: The given array is not contiguous", name);
  return nullptr;
}

PyArrayObject* as_row_major_matrix(PyObject* obj, const char* name) {
  PyArrayObject* array = as_float32_array(obj, 2, name);
  if (array == nullptr) return nullptr;
  if (!is_row_major(array)) {
    raise_not_contiguous(name);
    return nullptr;
  }
  return array;
}

PyArrayObject* checked_vectors(PyObject* obj, uint64_t dim, bool raise) {
  if (!is_float32_array(obj, 2)) return raise ? as_float32_array(obj, 2, "vectors") : nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const npy_intp cols = PyArray_DIM(array, 1);
  if (static_cast<uint64_t>(cols) != dim) {
    if (raise) {
      PyErr_Format(PyExc_ValueError, "vector dimension %zd != index dimension %llu", cols,
                   static_cast<unsigned long long>(dim));
    }
    return nullptr;
  }
  if (!is_row_major(array)) {
    if (raise) PyErr_SetString(PyExc_ValueError, "vectors array must be C-contiguous (row-major)");
    return nullptr;
  }
  return array;
}

bool QueryMatrix::read(PyArrayObject* queries) {
  if (!is_row_major(queries)) {
    raise_not_contiguous("queries");
    return false;
  }
  keep_alive_ = PyRef(Py_NewRef(reinterpret_cast<PyObject*>(queries)));
  rows_ = static_cast<size_t>(PyArray_DIM(queries, 0));
  width_ = static_cast<size_t>(PyArray_DIM(queries, 1));
  const size_t count = rows_ * width_;
  const void* data = PyArray_DATA(queries);
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) == 0) {
    flat_ = {static_cast<const float*>(data), count};
    return true;
  }
  aligned_.resize(count);
  if (count > 0) std::memcpy(aligned_.data(), data, count * sizeof(float));
  flat_ = {aligned_.data(), count};
  return true;
}

bool to_center(PyObject* obj, uint64_t dim, std::vector<float>* out) {
  PyArrayObject* array = as_float32_array(obj, 1, "center");
  if (array == nullptr) return false;
  const npy_intp n = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* data = static_cast<const char*>(PyArray_DATA(array));
  out->resize(static_cast<size_t>(n));
  for (npy_intp i = 0; i < n; ++i) std::memcpy(&(*out)[static_cast<size_t>(i)], data + i * stride, sizeof(float));
  // The core takes an empty centre for none: keep this a length error.
  if (n == 0) {
    PyErr_Format(PyExc_ValueError, "center has 0 values, the index has dimension %llu",
                 static_cast<unsigned long long>(dim));
    return false;
  }
  return true;
}

}  // namespace lodex::python
