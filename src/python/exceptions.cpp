// Python exceptions from the core's errors, lodex.InternalFault, and the short
// reads that keep the GIL (exceptions.hpp has the locking rule). Nothing here
// looks at an argument.

#include "python/exceptions.hpp"

#include <cxxabi.h>

#include "python/docstrings.hpp"

namespace lodex::python {

// Python exceptions from the core's errors, and lodex.InternalFault. Every
// core error is converted here, once, with the GIL held; nothing here looks
// at an argument.

namespace {

PyObject* g_fault_type = nullptr;  // derives from BaseException: `except Exception` must not swallow it

}  // namespace

bool create_fault_type() {
  if (g_fault_type == nullptr) {
    g_fault_type = PyErr_NewExceptionWithDoc("lodex.InternalFault", doc::kInternalFault, PyExc_BaseException, nullptr);
  }
  return g_fault_type != nullptr;
}

PyObject* fault_type() { return g_fault_type; }

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
  // Made first: the exception is then raised whether or not its note could be.
  PyObject* note = error.hint().empty() ? nullptr : PyUnicode_FromString(error.hint().c_str());
  if (note == nullptr) PyErr_Clear();
  // A single str argument: str(exc) is the text and an OSError carries no errno.
  PyErr_SetString(type, error.text().c_str());
  if (note != nullptr) {
    add_note(note);
    Py_DECREF(note);
  }
  return nullptr;
}

void add_note(PyObject* note) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  PyObject* done = PyObject_CallMethod(raised, "add_note", "O", note);
  if (done == nullptr) PyErr_Clear();
  Py_XDECREF(done);
  PyErr_SetRaisedException(raised);
}

bool handling_foreign_exception() { return abi::__cxa_current_exception_type() == nullptr; }

// The short reads that keep the GIL: they try the index lock first and give
// the GIL up only when they must wait (the locking rule above shared_size).

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

}  // namespace lodex::python
