// The float32 array arguments: their type, their shape and whether their
// memory can be read in place, with the messages the methods raise. Their
// values are the core's to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python/py_ref.hpp"
#include "python/python_headers.hpp"

namespace lodex::python {

// Whether `obj` is a NumPy array of `ndim` dimensions whose dtype NumPy
// calls equivalent to native float32 (a big-endian '>f4' is not).
bool is_float32_array(PyObject* obj, int ndim);

// `obj` as such an array, or nullptr with the TypeError naming `name`.
PyArrayObject* as_float32_array(PyObject* obj, int ndim, const char* name);

// Whether a float32 matrix can be read as one flat row-major run of
// rows * cols floats: each axis longer than one has exactly the byte stride
// a C-contiguous array has. Byte strides are compared as they are, so a
// field of a structured array (stride 33) or a 5-byte step never passes.
bool is_row_major(PyArrayObject* array);

// A 1-D float32 array whose elements are adjacent (a single element passes
// whatever its stride).
bool is_contiguous_vector(PyArrayObject* array);

// The ValueError of an array argument that cannot be read in place as one
// run of floats; always nullptr.
PyObject* raise_not_contiguous(const char* name);

// A float32 matrix argument that must be read in place as one row-major run.
PyArrayObject* as_row_major_matrix(PyObject* obj, const char* name);

// add_batch's checks of `vectors`, in their order: a 2-D float32 array,
// `dim` columns, rows laid out C-contiguously. The array, or nullptr with
// the first failure raised (with `raise`) or nothing set (without).
PyArrayObject* checked_vectors(PyObject* obj, uint64_t dim, bool raise);

// The query matrix of search_batch and search_range, read once its type has
// passed and every other argument is converted: its layout is the last
// check of both. It is then held for the call (the GIL is given up while the
// core reads it) and readable through a float pointer: its own memory when
// that is aligned for float (nearly always), else a copy. NumPy allows a
// float32 array at any byte address (frombuffer at an odd offset, a field of
// a packed record, an array rebuilt from a network message), and reading
// such memory through float* is undefined behaviour. The queries are read
// whole anyway; the core reads the (large) matrices of add_batch and of
// re-ranking row by row at any address.
class QueryMatrix {
 public:
  // False, with the ValueError raised, when the rows cannot be read in place.
  bool read(PyArrayObject* queries);

  std::span<const float> flat() const { return flat_; }
  size_t rows() const { return rows_; }
  size_t width() const { return width_; }

 private:
  PyRef keep_alive_;
  std::vector<float> aligned_;
  std::span<const float> flat_;
  size_t rows_ = 0;
  size_t width_ = 0;
};

// center: a 1-D float32 array (any strides), copied. Its length and values
// are the core's to check.
bool to_center(PyObject* obj, uint64_t dim, std::vector<float>* out);

}  // namespace lodex::python
