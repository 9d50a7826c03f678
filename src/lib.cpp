// The Python binding: module entry, the Index type, argument binding, error
// conversion, and the interpreter-lock / index-lock protocol. This is the only
// file that sees Python or NumPy; it validates and converts, then hands the
// core raw pointers and sizes. It does no arithmetic on vectors.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <pthread.h>
#include <shared_mutex>  // std::shared_lock over RwLock
#include <string>
#include <utility>
#include <vector>

#include "encode.hpp"
#include "errors.hpp"
#include "index_file.hpp"
#include "rotation.hpp"
#include "search.hpp"
#include "storage.hpp"

namespace {

using lodex::IndexError;

// ---------------------------------------------------------------------------
// Module-wide state. Created once per process by the first initialisation.

PyObject* g_module = nullptr;
PyObject* g_index_type = nullptr;
PyObject* g_fault_type = nullptr;  // derives from BaseException: `except Exception` must not swallow it
int64_t g_interpreter_id = -1;

// ---------------------------------------------------------------------------
// The Index value and its Python object.

// The index's reader-writer lock. Writers are preferred: with the usual
// reader-preferring lock a steady stream of searches keeps add_batch waiting
// forever. Preference is safe here because no thread takes the shared lock
// twice and no holder of either mode ever waits for the GIL.
class RwLock {
 public:
  RwLock() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
#if defined(__GLIBC__)
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
#endif
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~RwLock() { pthread_rwlock_destroy(&lock_); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

struct IndexState {
  RwLock lock;
  lodex::SignVector signs;
  lodex::Storage storage;
  uint64_t dim;
  uint8_t bits;
  bool use_qjl;
  uint64_t seed;

  IndexState(lodex::SignVector s, lodex::Storage st, uint64_t d, uint8_t b, bool q, uint64_t sd)
      : signs(std::move(s)), storage(std::move(st)), dim(d), bits(b), use_qjl(q), seed(sd) {}
};

struct PyIndex {
  PyObject_HEAD
  IndexState* state;
};

IndexState& state_of(PyObject* self) { return *reinterpret_cast<PyIndex*>(self)->state; }

// ---------------------------------------------------------------------------
// Errors. Every core error is converted here, once, with the GIL held.

PyObject* raise_fault(const std::string& message) {
  PyErr_SetString(g_fault_type, message.c_str());
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
    default: break;
  }
  // A single str argument: str(exc) is the text and an OSError carries no errno.
  PyErr_SetString(type, error.text().c_str());
  return nullptr;
}

// The outcome of work done with the GIL released: an error value, a memory
// failure, or an escaped C++ exception, raised only after the GIL is back.
struct Failure {
  std::optional<IndexError> error;
  bool out_of_memory = false;
  std::optional<std::string> fault;

  bool failed() const { return error || out_of_memory || fault; }
  PyObject* raise() const {
    if (error) return raise_index_error(*error);
    if (out_of_memory) return PyErr_NoMemory();
    return raise_fault(*fault);
  }
};

// Runs `body` catching every C++ exception into `failure`, so none can cross
// into the interpreter.
template <class Body>
void guarded(Failure& failure, Body&& body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    failure.out_of_memory = true;
  } catch (const std::exception& e) {
    failure.fault = std::string("internal fault: ") + e.what();
  } catch (...) {
    failure.fault = "internal fault: unknown exception";
  }
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

// Binds positional and keyword arguments to `names` (all required, all
// positional-or-keyword) with the interpreter's usual messages. On success
// out[i] holds a borrowed reference for every parameter.
bool bind_arguments(const char* function, std::initializer_list<const char*> names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject* const* kwvalues, PyObject** out) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
  const char* const* name = names.begin();
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", function, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
      return false;
    }
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, name[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, name[slot]);
      return false;
    }
    out[slot] = kwvalues[k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (out[i] == nullptr) missing.push_back(name[i]);
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += std::string("'") + missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function, missing.size(),
                 missing.size() == 1 ? "" : "s", list.c_str());
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

// A NumPy array of `ndim` dimensions whose dtype NumPy calls equivalent to
// native float32 (a big-endian '>f4' is not).
PyArrayObject* as_float32_array(PyObject* obj, int ndim, const char* name) {
  if (PyArray_Check(obj)) {
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), f32) != 0;
    Py_DECREF(f32);
    if (PyArray_NDIM(array) == ndim && equivalent) return array;
  }
  fail_conversion(obj, "PyArray<T, D>");
  wrap_conversion_error(name);
  return nullptr;
}

// ids: any sequence but str, each element an index integer in u64.
bool convert_ids(PyObject* obj, std::vector<uint64_t>* ids) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    wrap_conversion_error("ids");
    return false;
  }
  if (!PySequence_Check(obj)) {
    fail_conversion(obj, "Sequence");
    wrap_conversion_error("ids");
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
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    ids->reserve(static_cast<size_t>(hint));
  }
  PyObject* iterator = PyObject_GetIter(obj);
  if (iterator == nullptr) {
    wrap_conversion_error("ids");
    return false;
  }
  while (PyObject* item = PyIter_Next(iterator)) {
    uint64_t value = 0;
    const bool ok = to_u64_raw(item, &value);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iterator);
      wrap_conversion_error("ids");
      return false;
    }
    ids->push_back(value);
  }
  Py_DECREF(iterator);
  if (PyErr_Occurred()) {
    wrap_conversion_error("ids");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Construction.

PyObject* wrap_state(PyTypeObject* type, IndexState* state) {
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    delete state;
    return nullptr;
  }
  reinterpret_cast<PyIndex*>(self)->state = state;
  return self;
}

// The largest power of two whose sign vector can still be sized: 4 * dim must
// stay below the largest signed 64-bit size less 3.
constexpr uint64_t kMaxSignVectorDim = uint64_t{1} << 61;

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  // Lay the tuple/dict call out as a vectorcall so one binder serves all.
  std::vector<PyObject*> kwvalues;
  PyObject* kwnames = nullptr;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = PyTuple_New(PyDict_GET_SIZE(kwargs));
    if (kwnames == nullptr) return nullptr;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames, i++, Py_NewRef(key));
      kwvalues.push_back(value);
    }
  }
  PyObject* bound[4];
  const bool ok = bind_arguments("Index.__new__", {"dim", "bits", "use_qjl", "seed"}, &PyTuple_GET_ITEM(args, 0),
                                 PyTuple_GET_SIZE(args), kwnames, kwvalues.data(), bound);
  Py_XDECREF(kwnames);
  if (!ok) return nullptr;

  uint64_t dim = 0, seed = 0;
  uint8_t bits = 0;
  bool use_qjl = false;
  if (!to_u64(bound[0], "dim", &dim) || !to_u8(bound[1], "bits", &bits) ||
      !to_bool(bound[2], "use_qjl", &use_qjl) || !to_u64(bound[3], "seed", &seed)) {
    return nullptr;
  }

  if (dim == 0 || (dim & (dim - 1)) != 0) {
    return raise_index_error(IndexError::invalid_argument("dimension " + std::to_string(dim) + " must be a power of 2"));
  }
  if (bits < 2 || bits > 5) {
    return raise_index_error(IndexError::invalid_argument("bits must be 2-5, got " + std::to_string(bits)));
  }
  if (dim >= kMaxSignVectorDim) return raise_fault("capacity overflow");

  IndexState* state = nullptr;
  Failure failure;
  guarded(failure, [&] {
    auto signs = lodex::make_sign_vector(dim, seed);
    if (!signs) {
      failure.error = IndexError(signs.error());
      return;
    }
    state = new IndexState(std::move(*signs), lodex::Storage(dim, seed, bits, use_qjl), dim, bits, use_qjl, seed);
  });
  if (failure.failed()) return failure.raise();
  return wrap_state(type, state);
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyIndex*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Properties and representation: shared lock, GIL kept (safe because the only
// exclusive holder, add_batch, never waits for the GIL while holding it).

PyObject* index_get_size(PyObject* self, void*) {
  IndexState& s = state_of(self);
  size_t count;
  {
    std::shared_lock guard(s.lock);
    count = s.storage.len();
  }
  return PyLong_FromSize_t(count);
}

PyObject* index_get_config(PyObject* self, void*) {
  IndexState& s = state_of(self);
  std::shared_lock guard(s.lock);
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  if (!put("dim", PyLong_FromUnsignedLongLong(s.dim)) || !put("bits", PyLong_FromLong(s.bits)) ||
      !put("use_qjl", PyBool_FromLong(s.use_qjl)) || !put("seed", PyLong_FromUnsignedLongLong(s.seed))) {
    Py_DECREF(dict);
    return nullptr;
  }
  return dict;
}

PyObject* index_repr(PyObject* self) {
  IndexState& s = state_of(self);
  std::string text;
  {
    std::shared_lock guard(s.lock);
    text = "lodex.Index(dim=" + std::to_string(s.dim) + ", bits=" + std::to_string(s.bits) +
           ", size=" + std::to_string(s.storage.len()) + ", use_qjl=" + (s.use_qjl ? "true" : "false") + ")";
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------
// add_batch

// Encodes and appends every row; runs under the exclusive lock, GIL released.
lodex::Status add_rows(IndexState& s, const std::vector<uint64_t>& ids, const float* data, size_t n) {
  if (ids.size() != n) {
    return std::unexpected(IndexError::invalid_argument("ids length " + std::to_string(ids.size()) +
                                                        " != row count " + std::to_string(n)));
  }
  if (n == 0) return {};
  auto encoder = lodex::RowEncoder::create(s.dim, s.signs, s.bits);
  if (!encoder) return std::unexpected(encoder.error());
  s.storage.reserve(n);
  std::vector<uint8_t> codes(encoder->code_bytes());
  std::vector<uint8_t> qjl(s.use_qjl ? lodex::qjl_bytes_for(s.dim) : 0);
  std::optional<std::span<const uint8_t>> qjl_bits;
  if (s.use_qjl) qjl_bits = std::span<const uint8_t>(qjl);
  for (size_t r = 0; r < n; ++r) {
    const uint16_t norm = encoder->encode(data + r * s.dim, codes.data());
    s.storage.push(ids[r], norm, codes, qjl_bits);
  }
  return {};
}

PyObject* index_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_arguments("Index.add_batch", {"ids", "vectors"}, args, nargs, kwnames,
                      args + nargs, bound)) {
    return nullptr;
  }
  std::vector<uint64_t> ids;
  if (!convert_ids(bound[0], &ids)) return nullptr;
  PyArrayObject* array = as_float32_array(bound[1], 2, "vectors");
  if (array == nullptr) return nullptr;
  Py_INCREF(array);  // keeps the buffer alive for the whole call

  const npy_intp rows = PyArray_DIM(array, 0);
  const npy_intp cols = PyArray_DIM(array, 1);
  const npy_intp row_stride = PyArray_STRIDE(array, 0) / 4;
  const npy_intp col_stride = PyArray_STRIDE(array, 1) / 4;

  IndexState& s = state_of(self);
  uint64_t dim;
  {
    std::shared_lock guard(s.lock);
    dim = s.dim;
  }
  PyObject* result = nullptr;
  if (static_cast<uint64_t>(cols) != dim) {
    PyErr_Format(PyExc_ValueError, "vector dimension %zd != index dimension %llu", cols,
                 static_cast<unsigned long long>(dim));
  } else if (!(rows == 0 || cols == 0 || ((cols == 1 || col_stride == 1) && (rows == 1 || row_stride == cols)))) {
    PyErr_SetString(PyExc_ValueError, "vectors array must be C-contiguous (row-major)");
  } else {
    const auto* data = static_cast<const float*>(PyArray_DATA(array));
    Failure failure;
    Py_BEGIN_ALLOW_THREADS
    guarded(failure, [&] {
      std::unique_lock guard(s.lock);
      auto status = add_rows(s, ids, data, static_cast<size_t>(rows));
      if (!status) failure.error = std::move(status.error());
    });
    Py_END_ALLOW_THREADS
    result = failure.failed() ? failure.raise() : Py_NewRef(Py_None);
  }
  Py_DECREF(array);
  return result;
}

// ---------------------------------------------------------------------------
// search

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_arguments("Index.search", {"query", "k"}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
  PyArrayObject* array = as_float32_array(bound[0], 1, "query");
  if (array == nullptr) return nullptr;
  uint64_t k = 0;
  if (!to_u64(bound[1], "k", &k)) return nullptr;
  if (!(PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) || PyArray_DATA(array) == nullptr) {
    PyErr_SetString(PyExc_ValueError, "query must be a contiguous float32 array: The given array is not contiguous");
    return nullptr;
  }
  std::vector<float> query;
  Failure failure;
  guarded(failure, [&] {
    const auto* data = static_cast<const float*>(PyArray_DATA(array));
    query.assign(data, data + PyArray_DIM(array, 0));
  });
  if (failure.failed()) return failure.raise();

  IndexState& s = state_of(self);
  std::vector<lodex::ScoredResult> results;
  Py_BEGIN_ALLOW_THREADS
  guarded(failure, [&] {
    std::shared_lock guard(s.lock);
    auto found = lodex::search(s.storage, s.signs, s.bits, query, k);
    if (found) {
      results = std::move(*found);
    } else {
      failure.error = IndexError(found.error());
    }
  });
  Py_END_ALLOW_THREADS
  if (failure.failed()) return failure.raise();

  PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    PyObject* item = Py_BuildValue("(Kd)", static_cast<unsigned long long>(results[i].id),
                                   static_cast<double>(results[i].score));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// ---------------------------------------------------------------------------
// save and load

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_arguments("Index.save", {"path"}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
  std::string path;
  if (!to_path(bound[0], &path)) return nullptr;
  IndexState& s = state_of(self);
  Failure failure;
  Py_BEGIN_ALLOW_THREADS
  guarded(failure, [&] {
    std::shared_lock guard(s.lock);
    auto status = lodex::save_index_file(path, s.storage);
    if (!status) failure.error = std::move(status.error());
  });
  Py_END_ALLOW_THREADS
  if (failure.failed()) return failure.raise();
  Py_RETURN_NONE;
}

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_arguments("Index.load", {"path"}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
  std::string path;
  if (!to_path(bound[0], &path)) return nullptr;
  IndexState* state = nullptr;
  Failure failure;
  Py_BEGIN_ALLOW_THREADS
  guarded(failure, [&] {
    auto storage = lodex::load_index_file(path);
    if (!storage) {
      failure.error = std::move(storage.error());
      return;
    }
    auto signs = lodex::make_sign_vector(storage->dim(), storage->seed());
    if (!signs) {
      failure.error = IndexError(signs.error());
      return;
    }
    const uint64_t dim = storage->dim(), seed = storage->seed();
    const uint8_t bits = storage->bits();
    const bool use_qjl = storage->use_qjl();
    state = new IndexState(std::move(*signs), std::move(*storage), dim, bits, use_qjl, seed);
  });
  Py_END_ALLOW_THREADS
  if (failure.failed()) return failure.raise();
  return wrap_state(reinterpret_cast<PyTypeObject*>(g_index_type), state);
}

// ---------------------------------------------------------------------------
// The type and the module.

#define LODEX_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

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
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"size", index_get_size, nullptr, "Number of stored vectors.", nullptr},
    {"config", index_get_config, nullptr, "Index configuration as a Python dict.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kIndexDoc[] =
    "Index(dim, bits, use_qjl, seed)\n--\n\n"
    "TurboQuant quantized vector index.\n\n"
    "Stores vectors at 2-5 bits per coordinate using PolarQuant rotation\n"
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
    {0, nullptr},
};

PyType_Spec index_spec = {
    "builtins.Index", sizeof(PyIndex), 0, Py_TPFLAGS_DEFAULT, index_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lodex", "Python module entry point for lodex.",
    0,  // not -1: a re-import must call the init function, which hands back the same module
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* create_module() {
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;

  if (g_fault_type == nullptr) {
    g_fault_type = PyErr_NewExceptionWithDoc("lodex.InternalFault",
                                             "A broken internal invariant of lodex (never an ordinary error).",
                                             PyExc_BaseException, nullptr);
    if (g_fault_type == nullptr) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  if (g_index_type == nullptr) {
    g_index_type = PyType_FromSpec(&index_spec);
    if (g_index_type == nullptr) {
      PyErr_Print();
      Py_DECREF(module);
      return raise_fault("failed to create type object for Index");
    }
  }

  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(module);
      return nullptr;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(module);
      return nullptr;
    }
  } else if (!PyList_Check(all)) {
    fail_conversion(all, "PyList");
    Py_DECREF(all);
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* name = PyUnicode_FromString("Index");
  const int appended = name != nullptr ? PyList_Append(all, name) : -1;
  Py_XDECREF(name);
  Py_DECREF(all);
  if (appended < 0) {
    PyErr_Clear();
    Py_DECREF(module);
    return raise_fault("could not append __name__ to __all__");
  }
  if (PyModule_AddObjectRef(module, "Index", g_index_type) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
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
    g_module = create_module();
    if (g_module == nullptr) return nullptr;
  }
  g_interpreter_id = id;  // the first successful initialisation owns the module
  return Py_NewRef(g_module);
}
