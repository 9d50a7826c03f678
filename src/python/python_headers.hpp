// The Python and NumPy headers as every file of src/python includes them:
// one table of NumPy's C functions for the whole module, filled in by
// module.cpp (which alone defines LODEX_IMPORT_NUMPY). The core never sees this.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL lodex_numpy_api
#ifndef LODEX_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
