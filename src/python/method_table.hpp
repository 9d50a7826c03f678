// Method-table entries for the binding's functions that take positional and
// keyword arguments through vectorcall, the calling convention of every
// method with arguments. Only the entry: what a function does is its own.
#pragma once

#include "python/python_headers.hpp"

namespace lodex::python {

using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline PyMethodDef fastcall_method(const char* name, FastCall function, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

}  // namespace lodex::python
