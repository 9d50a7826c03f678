// The Python and NumPy headers, included the one way the binding's files
// need them: one table of NumPy's C functions for the whole module, filled in
// by module.cpp (the only file that defines LODEX_IMPORT_NUMPY). Only
// src/python includes this; the core never sees Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL lodex_numpy_api
#ifndef LODEX_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
