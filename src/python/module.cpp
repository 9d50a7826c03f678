// The Python binding: module entry, the Index type, argument binding, error
// conversion, and the interpreter-lock / index-lock protocol. This is the only
// file that sees Python or NumPy; it validates and converts, then hands the
// core raw pointers and sizes. It does no arithmetic on vectors.
//
// Locking rule: a thread never waits for the index lock while it holds the
// interpreter lock, and never waits for the interpreter lock while it holds
// the index lock. Long operations give the interpreter lock up before the
// core takes the index lock; short reads try the index lock first and, when
// it is busy, give the interpreter lock up before they wait for it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kernels/cpu.hpp"
#include "errors.hpp"
#include "index.hpp"

namespace {

using lodex::IndexError;

// ---------------------------------------------------------------------------
// Module-wide state. Created once per process by the first initialisation.

PyObject* g_module = nullptr;
PyObject* g_index_type = nullptr;
PyObject* g_fault_type = nullptr;  // derives from BaseException: `except Exception` must not swallow it
PyObject* g_from_bytes = nullptr;  // the module-level function pickles rebuild an index with
int64_t g_interpreter_id = -1;

struct PyIndex {
  PyObject_HEAD
  lodex::Index* index;
};

lodex::Index& index_of(PyObject* self) { return *reinterpret_cast<PyIndex*>(self)->index; }

// An owned reference, released on every path.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* p) : p_(p) {}
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Errors. Every core error is converted here, once, with the GIL held.

PyObject* raise_fault(const char* message) {
  PyErr_SetString(g_fault_type, message);
  return nullptr;
}

PyObject* raise_index_error(const IndexError& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case IndexError::Kind::kFile:
      if (error.is_io()) type = PyExc_OSError;
      break;
    case IndexError::Kind::kInvalidArgument: type = PyExc_ValueError; break;
    case IndexError::Kind::kInternalFault: type = g_fault_type; break;
    case IndexError::Kind::kOutOfMemory: return PyErr_NoMemory();
    default: break;
  }
  // A single str argument: str(exc) is the text and an OSError carries no errno.
  PyErr_SetString(type, error.text().c_str());
  return nullptr;
}

// The outcome of work done with the GIL released: an error value (an
// escaped C++ exception's included), raised only after the GIL is back.
struct Failure {
  std::optional<IndexError> error;

  bool failed() const { return error.has_value(); }
  PyObject* raise() const { return raise_index_error(*error); }
};

// Whether the exception being handled is foreign to C++: the "forced unwind"
// with which pthread_exit ends a thread (at interpreter exit, a daemon
// thread that asks for the GIL back). It has no type and no object, and must
// go on as it is: swallowing it would let the thread run on in a finalized
// interpreter.
bool handling_foreign_exception() { return abi::__cxa_current_exception_type() == nullptr; }

// Runs `body` catching every C++ exception into `failure`, so none can cross
// into the interpreter.
template <class Body>
void guarded(Failure& failure, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    failure.error = lodex::error_of(e);
  } catch (...) {
    if (handling_foreign_exception()) throw;
    failure.error = IndexError::internal_fault("internal fault: unknown exception");
  }
}

// Runs `body` with the GIL released, its C++ exceptions caught.
template <class Body>
void without_gil(Failure& failure, Body&& body) {
  Py_BEGIN_ALLOW_THREADS
  guarded(failure, body);
  Py_END_ALLOW_THREADS
}

// Moves a core result's value into `out`, or its error into `failure`.
template <class T, class E>
void take(std::expected<T, E>&& result, T& out, Failure& failure) {
  if (result) {
    out = std::move(*result);
  } else {
    failure.error = IndexError(std::move(result.error()));
  }
}

// Moves a core status's error, if any, into `failure`.
void take(lodex::Status&& status, Failure& failure) {
  if (!status) failure.error = std::move(status.error());
}

// The last line of defence of every entry point: a C++ exception thrown
// while the GIL is held (a string or a vector that could not grow) becomes
// a Python exception instead of terminating the interpreter. A foreign one
// goes on (handling_foreign_exception).
template <class Fn>
PyObject* entry(Fn&& fn) {
  Failure failure;
  PyObject* result = nullptr;
  guarded(failure, [&] { result = fn(); });
  return failure.failed() ? failure.raise() : result;
}

// ---------------------------------------------------------------------------
// The index lock, for the short reads that keep the GIL.

// The row count, read under the shared lock. When a writer holds or waits
// for the lock, the GIL is given up before waiting and retaken only after
// the lock is released.
size_t shared_size(const lodex::Index& index) {
  lodex::RwLock& lock = index.lock();
  size_t count = 0;
  if (lock.try_lock_shared()) {
    count = index.size_locked();
    lock.unlock_shared();
    return count;
  }
  Py_BEGIN_ALLOW_THREADS
  lock.lock_shared();
  count = index.size_locked();
  lock.unlock_shared();
  Py_END_ALLOW_THREADS
  return count;
}

// ---------------------------------------------------------------------------
// Argument binding, shared by every method.

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

// A conversion that failed with exactly TypeError is re-raised as
// "argument '<name>': <message>", keeping the original's cause; any other
// error (OverflowError in particular) passes through unchanged.
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

// A method's parameters: required positional-or-keyword ones, then optional
// keyword-only ones (absent ones bind to nullptr).
struct Signature {
  const char* function;
  std::initializer_list<const char*> positional;
  std::initializer_list<const char*> keyword_only = {};
};

// Binds positional and keyword arguments with the interpreter's usual
// messages. On success out[i] holds a borrowed reference (or nullptr for an
// absent keyword-only parameter), positional parameters first.
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

// Conversions. Each returns false with the error set, already wrapped.

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
  return false;
}

bool to_path(PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error("path");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    wrap_conversion_error("path");
    return false;
  }
  out->assign(utf8, static_cast<size_t>(size));  // NUL bytes are kept; the file layer refuses them
  return true;
}

// Whether `obj` is a NumPy array of `ndim` dimensions whose dtype NumPy
// calls equivalent to native float32 (a big-endian '>f4' is not).
bool is_float32_array(PyObject* obj, int ndim) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), f32) != 0;
  Py_DECREF(f32);
  return PyArray_NDIM(array) == ndim && equivalent;
}

// `obj` as such an array, or nullptr with the TypeError naming `name`.
PyArrayObject* as_float32_array(PyObject* obj, int ndim, const char* name) {
  if (is_float32_array(obj, ndim)) return reinterpret_cast<PyArrayObject*>(obj);
  fail_conversion(obj, "PyArray<T, D>");
  wrap_conversion_error(name);
  return nullptr;
}

// Whether a float32 matrix can be read as one flat row-major run of
// rows * cols floats: each axis longer than one has exactly the byte stride
// a C-contiguous array has. Byte strides are compared as they are, so a
// field of a structured array (stride 33) or a 5-byte step never passes.
bool is_row_major(PyArrayObject* array) {
  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  if (rows == 0 || cols == 0) return true;
  const bool cols_ok = cols == 1 || PyArray_STRIDE(array, 1) == 4;
  const bool rows_ok = rows == 1 || PyArray_STRIDE(array, 0) == cols * 4;
  return cols_ok && rows_ok && PyArray_DATA(array) != nullptr;
}

// A 1-D float32 array whose elements are adjacent (a single element passes
// whatever its stride).
bool is_contiguous_vector(PyArrayObject* array) {
  const npy_intp n = PyArray_DIM(array, 0);
  return PyArray_DATA(array) != nullptr && (n <= 1 || PyArray_STRIDE(array, 0) == 4);
}

// The ValueError of an array argument that cannot be read in place as one
// run of floats.
PyObject* raise_not_contiguous(const char* name) {
  PyErr_Format(PyExc_ValueError, "%s must be a contiguous float32 array: The given array is not contiguous", name);
  return nullptr;
}

// The array's `count` floats, readable through a float pointer: its own
// memory when that is aligned for float (nearly always), else a copy. NumPy
// allows a float32 array at any byte address (frombuffer at an odd offset, a
// field of a packed record, an array rebuilt from a network message), and
// reading such memory through float* is undefined behaviour. For the queries
// only, which are read whole anyway: the core reads the (large) matrices of
// add_batch and of re-ranking row by row at any address.
const float* readable_floats(PyArrayObject* array, size_t count, std::vector<float>& copy) {
  const void* data = PyArray_DATA(array);
  if (reinterpret_cast<uintptr_t>(data) % alignof(float) == 0) return static_cast<const float*>(data);
  copy.resize(count);
  if (count > 0) std::memcpy(copy.data(), data, count * sizeof(float));
  return copy.data();
}

// The most ids a plausible batch holds: a claimed length sizes the id
// array's first allocation up to this, and add_batch converts more than
// this only for a `vectors` that passes its checks.
constexpr size_t kPlausibleIds = size_t{1} << 24;

// Asked with the length a sequence of ids claims, before any element is
// converted; false (with the exception set) ends the conversion there.
using LengthCheck = std::function<bool(size_t)>;

// ids: any sequence but str, each element an index integer in u64. A claimed
// length goes to `check_length` first, so that no claimed length can make
// the conversion run away when the caller knows better.
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
  // Fast path for the common case of a 1-D native-order integer array with no
  // negative entries; everything else (and every error) takes the general
  // route, which produces the interpreter's own messages.
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const int type = PyArray_TYPE(array);
    if (PyArray_NDIM(array) == 1 && PyArray_ISNOTSWAPPED(array) &&
        (type == NPY_INT64 || type == NPY_UINT64 || type == NPY_INT32 || type == NPY_UINT32)) {
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
    }
  }
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

// ---------------------------------------------------------------------------
// The keyword-only parameters of construction.

// The names of an enum's values, in the order of the values.
constexpr const char* kMetricNames[] = {"ip", "cosine", "l2"};
constexpr const char* kRotationNames[] = {"hadamard", "general"};

// A str naming one of `names`; anything else is a TypeError (not a str) or
// a ValueError listing the choices.
template <class Enum, size_t N>
bool to_choice(PyObject* obj, const char* name, const char* const (&names)[N], Enum* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error(name);
    return false;
  }
  for (size_t i = 0; i < N; ++i) {
    if (PyUnicode_CompareWithASCIIString(obj, names[i]) == 0) {
      *out = static_cast<Enum>(i);
      return true;
    }
  }
  std::string choices;
  for (size_t i = 0; i < N; ++i) choices += std::string(i == 0 ? "" : i + 1 == N ? " or " : ", ") + "'" + names[i] + "'";
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, choices.c_str(), obj);
  return false;
}

// center: a 1-D float32 array (any strides), copied. Its length and values
// are the core's to check.
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

// ---------------------------------------------------------------------------
// Construction.

PyObject* wrap_index(PyTypeObject* type, std::unique_ptr<lodex::Index> index) {
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the index is freed with its owner
  reinterpret_cast<PyIndex*>(self)->index = index.release();
  return self;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    // Lay the tuple/dict call out as a vectorcall so one binder serves all.
    std::vector<PyObject*> kwvalues;
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!kwnames) return nullptr;
      Py_ssize_t pos = 0, i = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
        kwvalues.push_back(value);
      }
    }
    PyObject* bound[7];
    if (!bind_arguments({"Index.__new__", {"dim", "bits", "use_qjl", "seed"}, {"metric", "rotation", "center"}},
                        &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwnames.get(), kwvalues.data(), bound)) {
      return nullptr;
    }
    lodex::IndexParams params;
    if (!to_u64(bound[0], "dim", &params.dim) || !to_u8(bound[1], "bits", &params.bits) ||
        !to_bool(bound[2], "use_qjl", &params.use_qjl) || !to_u64(bound[3], "seed", &params.seed)) {
      return nullptr;
    }
    if (bound[4] != nullptr && !to_choice(bound[4], "metric", kMetricNames, &params.metric)) return nullptr;
    if (bound[5] != nullptr && !to_choice(bound[5], "rotation", kRotationNames, &params.rotation)) return nullptr;
    if (bound[6] != nullptr && bound[6] != Py_None && !to_center(bound[6], params.dim, &params.center)) return nullptr;
    // Built with the GIL held: nothing else can see the index yet.
    auto created = lodex::Index::create(std::move(params));
    if (!created) return raise_index_error(created.error());
    return wrap_index(type, std::move(*created));
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyIndex*>(self)->index;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Properties, representation, len, `in`, truth.

PyObject* index_get_size(PyObject* self, void*) { return PyLong_FromSize_t(shared_size(index_of(self))); }

// Fixed for the index's life: read without the lock.
PyObject* index_get_read_only(PyObject* self, void*) { return PyBool_FromLong(index_of(self).read_only()); }

PyObject* index_get_config(PyObject* self, void*) {
  // The parameters never change: only the row count needs the lock, and
  // config reports none. The dict is built fresh on every read.
  const lodex::Index& index = index_of(self);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict.get(), key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  if (!put("dim", PyLong_FromUnsignedLongLong(index.dim())) || !put("bits", PyLong_FromLong(index.bits())) ||
      !put("use_qjl", PyBool_FromLong(index.use_qjl())) || !put("seed", PyLong_FromUnsignedLongLong(index.seed()))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* index_repr(PyObject* self) {
  const lodex::Index& index = index_of(self);
  const size_t size = shared_size(index);
  // The metric and the rotation only when they are not the defaults.
  std::string extra;
  if (index.metric() != lodex::Metric::kIp) extra += std::string(", metric=") + kMetricNames[static_cast<int>(index.metric())];
  if (index.rotation() != lodex::RotationKind::kHadamard) {
    extra += std::string(", rotation=") + kRotationNames[static_cast<int>(index.rotation())];
  }
  return PyUnicode_FromFormat("lodex.Index(dim=%llu, bits=%u, size=%zu, use_qjl=%s%s)",
                              static_cast<unsigned long long>(index.dim()), static_cast<unsigned>(index.bits()),
                              size, index.use_qjl() ? "true" : "false", extra.c_str());
}

PyObject* index_get_metric(PyObject* self, void*) {
  return PyUnicode_FromString(kMetricNames[static_cast<int>(index_of(self).metric())]);
}

PyObject* index_get_rotation(PyObject* self, void*) {
  return PyUnicode_FromString(kRotationNames[static_cast<int>(index_of(self).rotation())]);
}

// A new float32 array holding the centre, or None.
PyObject* index_get_center(PyObject* self, void*) {
  const std::span<const float> center = index_of(self).center();
  if (center.empty()) Py_RETURN_NONE;
  npy_intp shape[1] = {static_cast<npy_intp>(center.size())};
  PyObject* array = PyArray_SimpleNew(1, shape, NPY_FLOAT32);
  if (array != nullptr) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), center.data(), center.size() * sizeof(float));
  }
  return array;
}

Py_ssize_t index_len(PyObject* self) { return static_cast<Py_ssize_t>(shared_size(index_of(self))); }

// `id in index`: an integer id in u64 that some row has. Anything that is
// not such an integer is simply not in the index, as with any container.
int index_contains(PyObject* self, PyObject* value) {
  uint64_t id = 0;
  if (!to_u64_raw(value, &id)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  const lodex::Index& index = index_of(self);
  bool found = false;
  Py_BEGIN_ALLOW_THREADS
  found = index.contains(id);
  Py_END_ALLOW_THREADS
  return found ? 1 : 0;
}

// An index is true even when it holds no rows, as it was before it had a
// length: `if index:` keeps meaning "there is an index".
int index_bool(PyObject*) { return 1; }

// ---------------------------------------------------------------------------
// add_batch

// add_batch's checks of `vectors`, in their order: a 2-D float32 array,
// `dim` columns, rows laid out C-contiguously. The array, or nullptr with
// the first failure raised (with `raise`) or nothing set (without).
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

PyObject* index_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments({"Index.add_batch", {"ids", "vectors"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    lodex::Index& index = index_of(self);
    // The ids are converted first and `vectors` checked after them, but a
    // length the ids claim is weighed against `vectors` before a single id
    // is converted, so that no claimed length (range(2**62), a broadcast
    // array) makes the conversion run away: beside a `vectors` that passes
    // its checks, another length is the length error at once; beside one
    // that fails them, more than a plausible batch is that failure at once.
    PyArrayObject* fine = checked_vectors(bound[1], index.dim(), false);
    const LengthCheck check_length = [&](size_t claimed) {
      if (fine != nullptr) {
        const auto rows = static_cast<size_t>(PyArray_DIM(fine, 0));
        if (claimed == rows) return true;
        PyErr_Format(PyExc_ValueError, "ids length %zu != row count %zu", claimed, rows);
        return false;
      }
      if (claimed <= kPlausibleIds) return true;
      checked_vectors(bound[1], index.dim(), true);
      return false;
    };
    std::vector<uint64_t> ids;
    if (!convert_ids(bound[0], "ids", check_length, &ids)) return nullptr;
    // Checked again: converting the ids ran the sequence's own code.
    PyArrayObject* array = checked_vectors(bound[1], index.dim(), true);
    if (array == nullptr) return nullptr;
    PyRef keep_alive(Py_NewRef(reinterpret_cast<PyObject*>(array)));  // the buffer lives for the whole call
    const void* data = PyArray_DATA(array);
    const auto rows = static_cast<size_t>(PyArray_DIM(array, 0));
    Failure failure;
    without_gil(failure, [&] {
      take(index.add(ids, data, rows), failure);
    });
    if (failure.failed()) return failure.raise();
    Py_RETURN_NONE;
  });
}

// ---------------------------------------------------------------------------
// search and search_batch

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

// A float32 matrix argument that must be read in place as one row-major run.
PyArrayObject* as_row_major_matrix(PyObject* obj, const char* name) {
  PyArrayObject* array = as_float32_array(obj, 2, name);
  if (array == nullptr) return nullptr;
  if (!is_row_major(array)) {
    raise_not_contiguous(name);
    return nullptr;
  }
  return array;
}

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

// ---------------------------------------------------------------------------
// remove and get

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

// ---------------------------------------------------------------------------
// save, load, bytes and pickling

// An optional bool keyword: absent is false.
bool to_flag(PyObject* obj, const char* name, bool* out) {
  *out = false;
  return obj == nullptr || to_bool(obj, name, out);
}

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments({"Index.save", {"path"}, {"mappable"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string path;
    bool mappable = false;
    if (!to_path(bound[0], &path) || !to_flag(bound[1], "mappable", &mappable)) return nullptr;
    const lodex::Index& index = index_of(self);
    Failure failure;
    without_gil(failure, [&] {
      take(index.save(path, mappable), failure);
    });
    if (failure.failed()) return failure.raise();
    Py_RETURN_NONE;
  });
}

// Wraps the outcome of a load into a new Index object.
PyObject* finish_load(Failure& failure, std::unique_ptr<lodex::Index> loaded) {
  if (PyErr_Occurred()) return nullptr;  // a signal handler's exception ended the load
  if (failure.failed()) return failure.raise();
  return wrap_index(reinterpret_cast<PyTypeObject*>(g_index_type), std::move(loaded));
}

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_arguments({"Index.load", {"path"}, {"mmap", "warm"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string path;
    bool mmap = false;
    bool warm = false;
    if (!to_path(bound[0], &path) || !to_flag(bound[1], "mmap", &mmap) || !to_flag(bound[2], "warm", &warm)) {
      return nullptr;
    }
    if (warm && !mmap) {
      PyErr_SetString(PyExc_ValueError, "warm applies only with mmap=True");
      return nullptr;
    }
    // A read that a signal interrupts (Ctrl-C on a FIFO that never ends)
    // asks Python's handlers; no index lock is held, so taking the GIL for
    // that is safe. An exception they raise ends the load and is raised.
    const lodex::StopOnSignal stop_on_signal = [] {
      const PyGILState_STATE gil = PyGILState_Ensure();
      const bool stop = PyErr_CheckSignals() != 0;
      PyGILState_Release(gil);
      return stop;
    };
    std::unique_ptr<lodex::Index> loaded;
    Failure failure;
    without_gil(failure, [&] {
      take(mmap ? lodex::Index::map(path, warm) : lodex::Index::load(path, stop_on_signal), loaded, failure);
    });
    return finish_load(failure, std::move(loaded));
  });
}

PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    bool mappable = false;
    if (!bind_arguments({"Index.to_bytes", {}, {"mappable"}}, args, nargs, kwnames, args + nargs, bound) ||
        !to_flag(bound[0], "mappable", &mappable)) {
      return nullptr;
    }
    const lodex::Index& index = index_of(self);
    std::vector<uint8_t> bytes;
    Failure failure;
    without_gil(failure, [&] {
      take(index.to_bytes(mappable), bytes, failure);
    });
    if (failure.failed()) return failure.raise();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

// Index.from_bytes and the module's _from_bytes (what pickles call).
PyObject* index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments({"Index.from_bytes", {"data"}}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
    if (!PyObject_CheckBuffer(bound[0])) {
      fail_conversion(bound[0], "PyBytes");
      wrap_conversion_error("data");
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) {
      wrap_conversion_error("data");
      return nullptr;
    }
    // The exporter keeps the bytes alive and unmoved until the view goes.
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
    std::unique_ptr<lodex::Index> loaded;
    Failure failure;
    without_gil(failure, [&] {
      take(lodex::Index::from_bytes(bytes), loaded, failure);
    });
    PyBuffer_Release(&view);
    return finish_load(failure, std::move(loaded));
  });
}

PyObject* index_reduce(PyObject* self, PyObject*) {
  PyRef bytes(index_to_bytes(self, nullptr, 0, nullptr));
  if (!bytes) return nullptr;
  return Py_BuildValue("(O(O))", g_from_bytes, bytes.get());
}

// ---------------------------------------------------------------------------
// The type and the module.

#define LODEX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// The first four entries and their texts are the class's original surface;
// what came later follows them.
PyMethodDef index_methods[] = {
    {"add_batch", LODEX_FASTCALL(index_add_batch), METH_FASTCALL | METH_KEYWORDS,
     "add_batch($self, ids, vectors)\n--\n\n"
     "Add a batch of vectors to the index.\n\n"
     "True zero-copy: reads numpy memory directly via a raw pointer passed\n"
     "through the GIL boundary. The `PyReadonlyArray2` parameter keeps the\n"
     "numpy buffer alive (strong refcount) and prevents mutation (READONLY\n"
     "flag) for the duration of the call.\n\n"
     "Args:\n"
     "    ids: List of unique integer IDs, one per vector.\n"
     "    vectors: numpy float32 array of shape (n, dim), C-contiguous."},
    {"search", LODEX_FASTCALL(index_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k)\n--\n\n"
     "Search for the k nearest vectors to the query.\n\n"
     "Accepts a numpy float32 array (avoids Python iterator overhead).\n"
     "Releases the GIL during search \xe2\x80\x94 multiple threads can search\n"
     "concurrently via the RwLock shared read lock.\n\n"
     "Args:\n"
     "    query: numpy float32 array of length dim.\n"
     "    k: Number of results to return.\n\n"
     "Returns:\n"
     "    List of (id, score) tuples, sorted by descending similarity."},
    {"save", LODEX_FASTCALL(index_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\nSave the index to a .ldx file.\n\nReleases the GIL during I/O."},
    {"load", LODEX_FASTCALL(index_load), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\nLoad an index from a .ldx file.\n\nReleases the GIL during I/O."},
    {"search_batch", LODEX_FASTCALL(index_search_batch), METH_FASTCALL | METH_KEYWORDS,
     "search_batch($self, queries, k, *, allow=None, threads=None, rerank=None, candidates=None)\n--\n\n"
     "Search for the k best rows of every query in one call.\n\n"
     "Row i of the result holds what search(queries[i], k) returns, with the\n"
     "same float32 scores. The GIL is released and the index read once for\n"
     "the whole batch, on the worker pool.\n\n"
     "Args:\n"
     "    queries: numpy float32 array of shape (n, dim), C-contiguous.\n"
     "    k: Number of results per query.\n"
     "    allow: Ids (a sequence or an integer array); only rows with one of\n"
     "        them are searched, and every query gets min(k, such rows) results.\n"
     "    threads: Use at most this many of the pool's threads (default all).\n"
     "    rerank: float32 array whose row `id` is the original vector of the\n"
     "        row with that id (a numpy.memmap of them on disk, typically).\n"
     "        The best `candidates` rows by compressed score are scored again\n"
     "        by their exact float32 score (the index's metric) against the\n"
     "        query, and the best k by that exact score are returned with it.\n"
     "    candidates: Rows per query to re-rank (default 4 * k).\n\n"
     "Returns:\n"
     "    (ids, scores): numpy uint64 and float32 arrays of shape (n, m),\n"
     "    m = min(k, searchable rows), each row best first: by descending\n"
     "    score, or by ascending distance for metric \"l2\"."},
    {"remove", LODEX_FASTCALL(index_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, ids)\n--\n\n"
     "Remove every row whose id is in ids; return how many rows went.\n\n"
     "Ids no row has are ignored. The rows are compacted at once, so their\n"
     "memory and scan time come back before this returns; that costs time in\n"
     "proportion to the index's size, so remove many ids per call rather\n"
     "than one at a time."},
    {"get", LODEX_FASTCALL(index_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, ids)\n--\n\n"
     "Decode the first row of each id.\n\n"
     "Returns a float32 array of shape (len(ids), dim). Each row is the\n"
     "approximation the index stores (codebook values, norm, the inverse\n"
     "rotation), not the vector that was added. Raises KeyError naming the\n"
     "first id that no row has."},
    {"to_bytes", LODEX_FASTCALL(index_to_bytes), METH_FASTCALL | METH_KEYWORDS,
     "to_bytes($self, *, mappable=False)\n--\n\nThe bytes of the .ldx file that save would write."},
    {"from_bytes", LODEX_FASTCALL(index_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_bytes(data)\n--\n\n"
     "An index from the bytes of a .ldx file (bytes or any buffer).\n\n"
     "Checks and errors are those of load."},
    {"__reduce__", reinterpret_cast<PyCFunction>(index_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\nPickle support: the index travels as its .ldx bytes."},
    {"search_range", LODEX_FASTCALL(index_search_range), METH_FASTCALL | METH_KEYWORDS,
     "search_range($self, queries, threshold, *, allow=None, threads=None)\n--\n\n"
     "Every row scoring at least threshold (at most, for metric \"l2\"), for every query.\n\n"
     "The scores are those search_batch gives; a row is returned exactly when\n"
     "its score passes the threshold (a NaN score never does). The GIL is\n"
     "released and the index read once for the whole batch, on the worker pool.\n\n"
     "Args:\n"
     "    queries: numpy float32 array of shape (n, dim), C-contiguous.\n"
     "    threshold: A number, not NaN.\n"
     "    allow: Ids (a sequence or an integer array); only rows with one of\n"
     "        them are searched.\n"
     "    threads: Use at most this many of the pool's threads (default all).\n\n"
     "Returns:\n"
     "    (lims, ids, scores): query i's results are ids[lims[i]:lims[i + 1]]\n"
     "    (uint64) and scores[lims[i]:lims[i + 1]] (float32), best first, equal\n"
     "    scores in storage order; lims is uint64 of shape (n + 1,)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"size", index_get_size, nullptr, "Number of stored vectors.", nullptr},
    {"config", index_get_config, nullptr, "Index configuration as a Python dict.", nullptr},
    {"metric", index_get_metric, nullptr, "The metric searches score by: \"ip\", \"cosine\" or \"l2\".", nullptr},
    {"rotation", index_get_rotation, nullptr, "The rotation rows are coded with: \"hadamard\" or \"general\".",
     nullptr},
    {"center", index_get_center, nullptr, "A new float32 array of the centre rows are shifted by, or None.", nullptr},
    {"read_only", index_get_read_only, nullptr,
     "Whether the index is served from a read-only memory map (load(path, mmap=True)).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kIndexDoc[] =
    "Index(dim, bits, use_qjl, seed)\n--\n\n"
    "Quantized vector index.\n\n"
    "Stores vectors at 2-5 bits per coordinate using a seeded random rotation\n"
    "and Lloyd-Max scalar quantization. Supports asymmetric search with\n"
    "full-precision queries against compressed storage.\n\n"
    "# Examples (Python)\n"
    "```python\n"
    "import numpy as np\n"
    "import lodex\n\n"
    "index = lodex.Index(dim=128, bits=4, use_qjl=False, seed=42)\n"
    "vectors = np.random.randn(100, 128).astype(np.float32)\n"
    "index.add_batch(ids=list(range(100)), vectors=vectors)\n"
    "results = index.search(query=vectors[0], k=10)\n"
    "```";

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_sq_length, reinterpret_cast<void*>(index_len)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(index_bool)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "builtins.Index", sizeof(PyIndex), 0, Py_TPFLAGS_DEFAULT, index_slots,
};

PyObject* module_simd_level(PyObject*, PyObject*) {
  return PyUnicode_FromString(lodex::simd_level_name(lodex::active_simd_level()));
}

PyMethodDef module_methods[] = {
    {"_from_bytes", LODEX_FASTCALL(index_from_bytes), METH_FASTCALL | METH_KEYWORDS,
     "_from_bytes(data)\n--\n\nIndex.from_bytes under a name pickles can find."},
    {"simd_level", module_simd_level, METH_NOARGS,
     "simd_level()\n--\n\nThe vector instruction level searches run at: \"scalar\", \"avx2\", \"avx512\",\n"
     "\"avx512vnni\", \"avx512vbmi\", \"neon\" or \"neondot\". The best this machine\n"
     "supports, unless the environment variable LODEX_SIMD capped it at import.\n"
     "Answers are the same at every level."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lodex", "Python module entry point for lodex.",
    0,  // not -1: a re-import must call the init function, which hands back the same module
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

// LODEX_SIMD, the one environment variable lodex reads: a cap on the vector
// level, for testing and benchmarking. Read once, when the module is created,
// before any search has fixed the level. A name this machine cannot run
// leaves the best level and warns, naming the ones it can. 0, or -1 with an
// exception set when the warning is turned into one.
int apply_simd_cap() {
  const char* wanted = std::getenv("LODEX_SIMD");
  if (wanted == nullptr || *wanted == '\0') return 0;
  const std::optional<lodex::SimdLevel> level = lodex::simd_level_from_name(wanted);
  if (level && lodex::simd_level_supported(*level)) {
    lodex::set_simd_cap(*level);
    return 0;
  }
  std::string choices;
  for (const lodex::SimdLevel supported : lodex::supported_simd_levels()) {
    if (!choices.empty()) choices += ", ";
    choices += lodex::simd_level_name(supported);
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "LODEX_SIMD=%s is not a level this machine runs (choices: %s); using %s",
                          wanted, choices.c_str(), lodex::simd_level_name(lodex::best_simd_level()));
}

PyObject* create_module() {
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (apply_simd_cap() < 0) return nullptr;

  if (g_fault_type == nullptr) {
    g_fault_type = PyErr_NewExceptionWithDoc("lodex.InternalFault",
                                             "A broken internal invariant of lodex (never an ordinary error).",
                                             PyExc_BaseException, nullptr);
    if (g_fault_type == nullptr) return nullptr;
  }
  if (g_index_type == nullptr) {
    g_index_type = PyType_FromSpec(&index_spec);
    if (g_index_type == nullptr) {
      PyErr_Print();
      return raise_fault("failed to create type object for Index");
    }
  }

  PyRef all(PyObject_GetAttrString(module.get(), "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  } else if (!PyList_Check(all.get())) {
    fail_conversion(all.get(), "PyList");
    return nullptr;
  }
  PyRef name(PyUnicode_FromString("Index"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    return raise_fault("could not append __name__ to __all__");
  }
  if (PyModule_AddObjectRef(module.get(), "Index", g_index_type) < 0) return nullptr;
  // Reachable so a server can catch it on purpose; not part of __all__.
  if (PyModule_AddObjectRef(module.get(), "InternalFault", g_fault_type) < 0) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", LODEX_VERSION) < 0) return nullptr;
  g_from_bytes = PyObject_GetAttrString(module.get(), "_from_bytes");
  if (g_from_bytes == nullptr) return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_lodex(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (g_interpreter_id != -1 && g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError, "lodex does not support sub-interpreters");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = entry([] { return create_module(); });
    if (g_module == nullptr) return nullptr;
  }
  g_interpreter_id = id;  // the first successful initialisation owns the module
  return Py_NewRef(g_module);
}
