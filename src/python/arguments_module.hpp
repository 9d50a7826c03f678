// lodex._arguments: the binding's converters, one function each under the
// converter's own name, for the Dask layer's coordinator, which must check
// an argument before any shard sees it. None touches an index.
#pragma once

#include "python/python_headers.hpp"

namespace lodex::python {

// The new lodex._arguments module object, or nullptr with the error set.
PyObject* create_arguments_module();

}  // namespace lodex::python
