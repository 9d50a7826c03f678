// The interpreter-lock / index-lock protocol of the binding, and core calls
// run with the GIL released. Converts no arguments.
//
// Locking rule: a thread never waits for the index lock while it holds the
// interpreter lock, and never waits for the interpreter lock while it holds
// the index lock. Long operations give the interpreter lock up before the
// core takes the index lock; short reads try the index lock first and, when
// it is busy, give the interpreter lock up before they wait for it.
#pragma once

#include <cstddef>

#include "index.hpp"
#include "python/exceptions.hpp"
#include "python/python_headers.hpp"

namespace lodex::python {

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

}  // namespace lodex::python
