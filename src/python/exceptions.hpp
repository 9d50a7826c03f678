// Python exceptions from the core's errors: every IndexError becomes its
// Python exception here, once the GIL is back, and no C++ exception crosses
// into the interpreter. Owns lodex.InternalFault. Converts no arguments.
#pragma once

#include <exception>
#include <expected>
#include <optional>
#include <utility>

#include "errors.hpp"
#include "python/python_headers.hpp"

namespace lodex::python {

// lodex.InternalFault, created once per process; it derives from
// BaseException so that `except Exception` does not swallow it. False with
// the exception set when it cannot be created.
bool create_fault_type();
PyObject* fault_type();

// Raise lodex.InternalFault with `message`; always nullptr.
PyObject* raise_fault(const char* message);
// Raise the Python exception of a core error; always nullptr.
PyObject* raise_index_error(const IndexError& error);

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
template <class T, class E>
void take(std::expected<T, E>&& result, T& out, Failure& failure) {
  if (result) {
    out = std::move(*result);
  } else {
    failure.error = IndexError(std::move(result.error()));
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

}  // namespace lodex::python
