// The Python Index object: one heap object owning one core index, and the
// type it belongs to. Only the owning pointer lives here: what the methods
// do is in the *_methods.cpp files, the type's tables in index_type.cpp.
#pragma once

#include <memory>

#include "index.hpp"
#include "python/python_headers.hpp"

namespace lodex::python {

struct PyIndex {
  PyObject_HEAD
  lodex::Index* index;
};

inline lodex::Index& index_of(PyObject* self) { return *reinterpret_cast<PyIndex*>(self)->index; }

// The Index type, created once per process by create_index_type (false with
// an exception set when it cannot be).
bool create_index_type();
PyTypeObject* index_type();

// A new object of `type` owning `index`, or nullptr with the index freed.
PyObject* wrap_index(PyTypeObject* type, std::unique_ptr<lodex::Index> index);

}  // namespace lodex::python
