// The base of every file here: the Python and NumPy headers (one NumPy function
// table, filled in by module.cpp), owned references, the conversion of core errors
// into Python exceptions (lodex.InternalFault included) and the GIL protocol.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL lodex_numpy_api
#ifndef LODEX_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cstddef>
#include <exception>
#include <expected>
#include <optional>
#include <utility>

#include "errors.hpp"
#include "index.hpp"

namespace lodex::python {

// An owned Python reference, released on every path. Holds one pointer and
// nothing else: no conversion, no error handling.

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

// Python exceptions from the core's errors: every IndexError becomes its
// Python exception here, once the GIL is back, and no C++ exception crosses
// into the interpreter. Owns lodex.InternalFault. Converts no arguments.

// lodex.InternalFault, created once per process; it derives from
// BaseException so that `except Exception` does not swallow it. False with
// the exception set when it cannot be created.
bool create_fault_type();
PyObject* fault_type();

// Raise lodex.InternalFault with `message`; always nullptr.
PyObject* raise_fault(const char* message);
// Raise the Python exception of a core error, with the error's hint, when
// it has one, as the exception's note; always nullptr.
PyObject* raise_index_error(const IndexError& error);

// Adds the str `note` to the exception being raised (BaseException.add_note),
// leaving the exception itself as it was should that fail.
void add_note(PyObject* note);

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
bool handling_foreign_exception();

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

// Moves a core result's value into `out`, or its error into `failure`.
template <class T>
void take(lodex::Result<T>&& result, T& out, Failure& failure) {
  if (result) {
    out = std::move(*result);
  } else {
    failure.error = std::move(result.error());
  }
}

// Moves a core status's error, if any, into `failure`.
inline void take(lodex::Status&& status, Failure& failure) {
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

// The interpreter-lock / index-lock protocol of the binding, and core calls
// run with the GIL released. Converts no arguments.
//
// Locking rule: a thread never waits for the index lock while it holds the
// interpreter lock, and never waits for the interpreter lock while it holds
// the index lock. Long operations give the interpreter lock up before the
// core takes the index lock; short reads try the index lock first and, when
// it is busy, give the interpreter lock up before they wait for it.

// Runs `body` with the GIL released, its C++ exceptions caught.
template <class Body>
void without_gil(Failure& failure, Body&& body) {
  Py_BEGIN_ALLOW_THREADS
  guarded(failure, body);
  Py_END_ALLOW_THREADS
}

// Runs the core operation `call` with the GIL released and moves the value
// of the Result it returns into `out`; false, with the Python exception
// raised once the GIL is back, when it failed.
template <class T, class Call>
bool run_without_gil(Call&& call, T* out) {
  Failure failure;
  without_gil(failure, [&] { take(call(), *out, failure); });
  if (!failure.failed()) return true;
  failure.raise();
  return false;
}

// The same for an operation that returns a Status.
template <class Call>
bool run_without_gil(Call&& call) {
  Failure failure;
  without_gil(failure, [&] { take(call(), failure); });
  if (!failure.failed()) return true;
  failure.raise();
  return false;
}

// The row count, read under the shared lock. When a writer holds or waits
// for the lock, the GIL is given up before waiting and retaken only after
// the lock is released.
size_t shared_size(const lodex::Index& index);

// `read()` run under the shared lock by the same rule as shared_size: the
// GIL is given up before waiting and retaken only once the lock is
// released, so `read` must not touch Python objects (nor throw).
template <class Read>
auto read_shared(const lodex::Index& index, Read&& read) -> decltype(read()) {
  lodex::RwLock& lock = index.lock();
  if (lock.try_lock_shared()) {
    auto value = read();
    lock.unlock_shared();
    return value;
  }
  decltype(read()) value{};
  Py_BEGIN_ALLOW_THREADS
  lock.lock_shared();
  value = read();
  lock.unlock_shared();
  Py_END_ALLOW_THREADS
  return value;
}

}  // namespace lodex::python
