// Argument binding and the converters (arguments.hpp): the interpreter's own
// messages for a call that does not fit a signature, the TypeErrors naming the
// argument refused (with a note naming the fix), array layouts, bounded ids.
#include "python/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "python/exceptions.hpp"

namespace lodex::python {

namespace {

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* module = PyType_GetModuleName(type);
  PyObject* name = PyType_GetName(type);
  bool result = module != nullptr && name != nullptr && PyUnicode_CompareWithASCIIString(module, "numpy") == 0 &&
                (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name, "bool") == 0);
  if (module == nullptr || name == nullptr) PyErr_Clear();
  Py_XDECREF(module);
  Py_XDECREF(name);
  return result;
}

}  // namespace

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name);
  std::string result = utf8 != nullptr ? utf8 : Py_TYPE(obj)->tp_name;
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return result;
}

bool fail_conversion(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), target);
  return false;
}

void wrap_conversion_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* wrapped = nullptr;
  if (PyObject* text = PyObject_Str(exc)) {
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (message != nullptr) {
      wrapped = PyObject_CallOneArg(PyExc_TypeError, message);
      Py_DECREF(message);
    }
  }
  if (wrapped == nullptr) {  // could not even build the message: keep the original
    Py_DECREF(exc);
    return;
  }
  PyException_SetCause(wrapped, PyException_GetCause(exc));
  Py_DECREF(exc);
  PyErr_SetRaisedException(wrapped);
}

namespace {

// The note of a refused argument: what was received, in the terms the fix
// needs, and the fix; nullptr when there is no one fix to name.
PyObject* fix_for(PyObject* obj, const char* name, Wanted wanted, int ndim) {
  switch (wanted) {
    case Wanted::kBool:
      if (!PyLong_Check(obj)) return nullptr;
      return PyUnicode_FromFormat("%s takes a bool, got the int %R: pass %s=False or %s=True", name, obj, name, name);
    case Wanted::kPath:
      if (PyObject_HasAttrString(obj, "__fspath__") != 1) return nullptr;
      return PyUnicode_FromFormat("%s takes a str, got a %s: pass str(%s)", name, type_name(obj).c_str(), name);
    case Wanted::kFloat32Array:
      break;
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) {
    return PyUnicode_FromFormat("%s takes a float32 NumPy array, got a %s: convert it with np.asarray(%s, "
                                "dtype=np.float32)", name, type_name(obj).c_str(), name);
  }
  if (!PyArray_Check(obj)) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyRef shape(PyObject_GetAttrString(obj, "shape"));
  if (!shape) return nullptr;
  if (!is_float32_array(obj, PyArray_NDIM(array))) {
    return PyUnicode_FromFormat("%s takes a float32 array, got a %S array of shape %R: convert it with "
                                "%s.astype(np.float32)", name, reinterpret_cast<PyObject*>(PyArray_DESCR(array)),
                                shape.get(), name);
  }
  if (ndim == 1 && PyArray_NDIM(array) == 2 && std::string_view(name) == "query") {
    return PyUnicode_FromFormat("search takes one query, a 1-D array, and got one of shape %R: pass a 2-D array "
                                "of queries to search_batch, or one row of it to search", shape.get());
  }
  return PyUnicode_FromFormat("%s must be a %d-D array, got one of shape %R", name, ndim, shape.get());
}

}  // namespace

void note_fix(PyObject* obj, const char* name, Wanted wanted, int ndim) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyObject* note = fix_for(obj, name, wanted, ndim);
  if (note == nullptr) PyErr_Clear();  // no fix found (or no memory to say it): the refusal stands as it is
  PyErr_SetRaisedException(raised);
  if (note == nullptr) return;
  add_note(note);
  Py_DECREF(note);
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(sig.positional.size());
  const auto total = n + static_cast<Py_ssize_t>(sig.keyword_only.size());
  auto name = [&](Py_ssize_t i) { return i < n ? sig.positional.begin()[i] : sig.keyword_only.begin()[i - n]; };
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.function, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
      return false;
    }
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < total; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, name(i)) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, name(slot));
      return false;
    }
    out[slot] = kwvalues[k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (out[i] == nullptr) missing.push_back(name(i));
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += std::string("'") + missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

bool to_u64_raw(PyObject* obj, uint64_t* out) {
  PyObject* number = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  if (number == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  Py_DECREF(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  if (to_u64_raw(obj, out)) return true;
  wrap_conversion_error(name);
  return false;
}

bool to_u8(PyObject* obj, const char* name, uint8_t* out) {
  PyObject* number = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  long long value = -1;
  if (number != nullptr) {
    value = PyLong_AsLongLong(number);
    Py_DECREF(number);
  }
  if (number == nullptr || (value == -1 && PyErr_Occurred())) {
    wrap_conversion_error(name);
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

bool to_double(PyObject* obj, const char* name, double* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    wrap_conversion_error(name);
    return false;
  }
  *out = value;
  return true;
}

bool to_bool(PyObject* obj, const char* name, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_name(obj).c_str());
    } else {
      const int truth = number->nb_bool(obj);
      if (truth >= 0) {
        *out = truth != 0;
        return true;
      }
    }
  } else {
    fail_conversion(obj, "PyBool");
  }
  wrap_conversion_error(name);
  note_fix(obj, name, Wanted::kBool);
  return false;
}

bool to_flag(PyObject* obj, const char* name, bool* out) {
  *out = false;
  return obj == nullptr || to_bool(obj, name, out);
}

bool to_path(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error(name);
    note_fix(obj, name, Wanted::kPath);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    wrap_conversion_error(name);
    return false;
  }
  out->assign(utf8, static_cast<size_t>(size));  // NUL bytes are kept; the file layer refuses them
  return true;
}

bool to_choice_index(PyObject* obj, const char* name, std::span<const char* const> names, size_t* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error(name);
    return false;
  }
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(obj, names[i]) == 0) {
      *out = i;
      return true;
    }
  }
  std::string choices;
  for (size_t i = 0; i < n; ++i) choices += std::string(i == 0 ? "" : i + 1 == n ? " or " : ", ") + "'" + names[i] + "'";
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, choices.c_str(), obj);
  return false;
}

// The float32 array arguments (arguments.hpp): type, shape and layout
// checks with the methods' messages. Reads no value but to copy it.

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
  note_fix(obj, name, Wanted::kFloat32Array, ndim);
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

// The id arguments (ids, allow): any sequence of integers in u64, converted
// without letting a claimed length make the conversion run away. The ids'
// values (unique, present) are the core's to check.

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
