// The functions behind the Index type's slots, methods and properties, as the
// type's tables in index_type.cpp name them. Each binds and converts its
// arguments, hands the core raw pointers and sizes, and converts the result.
#pragma once

#include "python/python_headers.hpp"

namespace lodex::python {

// Construction and the object's life (index_type.cpp).
PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void index_dealloc(PyObject* self);

// Properties, representation, len, `in`, truth (index_properties.cpp).
PyObject* index_get_size(PyObject* self, void*);
PyObject* index_get_config(PyObject* self, void*);
PyObject* index_get_metric(PyObject* self, void*);
PyObject* index_get_rotation(PyObject* self, void*);
PyObject* index_get_center(PyObject* self, void*);
PyObject* index_get_read_only(PyObject* self, void*);
PyObject* index_repr(PyObject* self);
Py_ssize_t index_len(PyObject* self);
int index_contains(PyObject* self, PyObject* value);
int index_bool(PyObject* self);

// Rows: add_batch, remove, get (row_methods.cpp).
PyObject* index_add_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Searches (search_methods.cpp).
PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_search_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_search_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Files, bytes and pickling (file_methods.cpp). index_from_bytes also serves
// the module's _from_bytes, which pickles call.
PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* index_reduce(PyObject* self, PyObject*);
// Finds the module's _from_bytes, which __reduce__ names; false with the
// AttributeError set when the module has none.
bool remember_from_bytes(PyObject* module);

}  // namespace lodex::python
