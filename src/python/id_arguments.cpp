// The id arguments (ids, allow): any sequence of integers in u64, converted
// without letting a claimed length make the conversion run away. The ids'
// values (unique, present) are the core's to check.
#include "python/id_arguments.hpp"

#include <algorithm>
#include <cstring>

#include "python/arguments.hpp"
#include "python/array_arguments.hpp"
#include "python/py_ref.hpp"

namespace lodex::python {

namespace {

// The most ids a plausible batch holds: a claimed length sizes the id
// array's first allocation up to this, and add_batch converts more than
// this only for a `vectors` that passes its checks.
constexpr size_t kPlausibleIds = size_t{1} << 24;

// The fast path of the common case: a 1-D native-order integer array with no
// negative entries, read into `ids`. False for anything else (and every
// error), which takes the general route with the interpreter's own messages.
bool read_integer_array(PyObject* obj, std::vector<uint64_t>* ids) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const int type = PyArray_TYPE(array);
  if (PyArray_NDIM(array) != 1 || !PyArray_ISNOTSWAPPED(array) ||
      (type != NPY_INT64 && type != NPY_UINT64 && type != NPY_INT32 && type != NPY_UINT32)) {
    return false;
  }
  const npy_intp n = PyArray_DIM(array, 0);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* data = static_cast<const char*>(PyArray_DATA(array));
  ids->resize(static_cast<size_t>(n));
  bool negative = false;
  for (npy_intp i = 0; i < n && !negative; ++i) {
    const char* p = data + i * stride;
    int64_t v = 0;
    switch (type) {
      case NPY_INT64: std::memcpy(&v, p, 8); break;
      case NPY_UINT64: std::memcpy(&(*ids)[i], p, 8); continue;
      case NPY_INT32: { int32_t w; std::memcpy(&w, p, 4); v = w; break; }
      default: { uint32_t w; std::memcpy(&w, p, 4); v = w; break; }
    }
    negative = v < 0;
    (*ids)[i] = static_cast<uint64_t>(v);
  }
  if (!negative) return true;
  ids->clear();
  return false;
}

}  // namespace

bool convert_ids(PyObject* obj, const char* name, const LengthCheck& check_length, std::vector<uint64_t>* ids) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    wrap_conversion_error(name);
    return false;
  }
  if (!PySequence_Check(obj)) {
    fail_conversion(obj, "Sequence");
    wrap_conversion_error(name);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    // A sequence without a length only loses the size hint; an error raised
    // by the object's own __len__ (KeyboardInterrupt included) is the caller's.
    PyTypeObject* type = Py_TYPE(obj);
    const bool has_len = (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_length != nullptr) ||
                         (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_length != nullptr);
    if (has_len || !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
  } else if (check_length && !check_length(static_cast<size_t>(length))) {
    return false;
  }
  if (read_integer_array(obj, ids)) return true;
  // The claimed length only sizes the first allocation, and never beyond
  // what a plausible batch holds; a longer sequence grows the array as it goes.
  if (length > 0) ids->reserve(std::min(static_cast<size_t>(length), kPlausibleIds));
  PyRef iterator(PyObject_GetIter(obj));
  if (!iterator) {
    wrap_conversion_error(name);
    return false;
  }
  while (PyObject* item = PyIter_Next(iterator.get())) {
    uint64_t value = 0;
    const bool ok = to_u64_raw(item, &value);
    Py_DECREF(item);
    if (!ok) {
      wrap_conversion_error(name);
      return false;
    }
    ids->push_back(value);
    // A very long sequence (a range to 2**62, say) stays interruptible.
    if ((ids->size() & 0xFFFFF) == 0 && PyErr_CheckSignals() < 0) return false;
  }
  if (PyErr_Occurred()) {
    wrap_conversion_error(name);
    return false;
  }
  return true;
}

bool raise_ids_length(size_t ids, size_t rows) {
  PyErr_Format(PyExc_ValueError, "ids length %zu != row count %zu", ids, rows);
  return false;
}

bool to_batch(PyObject* ids_obj, PyObject* vectors_obj, uint64_t dim, Batch* out) {
  PyArrayObject* fine = checked_vectors(vectors_obj, dim, false);
  const LengthCheck check_length = [&](size_t claimed) {
    if (fine != nullptr) {
      const auto rows = static_cast<size_t>(PyArray_DIM(fine, 0));
      return claimed == rows || raise_ids_length(claimed, rows);
    }
    if (claimed <= kPlausibleIds) return true;
    checked_vectors(vectors_obj, dim, true);
    return false;
  };
  if (!convert_ids(ids_obj, "ids", check_length, &out->ids)) return false;
  // Checked again: converting the ids ran the sequence's own code.
  out->vectors = checked_vectors(vectors_obj, dim, true);
  return out->vectors != nullptr;
}

}  // namespace lodex::python
