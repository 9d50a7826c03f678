// The id arguments (ids, allow): any sequence but str of integers in u64,
// converted into a vector. A claimed length is weighed before any element
// is converted; the ids' values are the core's to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "python/python_headers.hpp"

namespace lodex::python {

// The most ids a plausible batch holds: a claimed length sizes the id
// array's first allocation up to this, and add_batch converts more than
// this only for a `vectors` that passes its checks.
inline constexpr size_t kPlausibleIds = size_t{1} << 24;

// Asked with the length a sequence of ids claims, before any element is
// converted; false (with the exception set) ends the conversion there.
using LengthCheck = std::function<bool(size_t)>;

// ids: any sequence but str, each element an index integer in u64. A claimed
// length goes to `check_length` first, so that no claimed length can make
// the conversion run away when the caller knows better.
bool convert_ids(PyObject* obj, const char* name, const LengthCheck& check_length, std::vector<uint64_t>* ids);

}  // namespace lodex::python
