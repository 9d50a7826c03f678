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

// Asked with the length a sequence of ids claims, before any element is
// converted; false (with the exception set) ends the conversion there.
using LengthCheck = std::function<bool(size_t)>;

// ids: any sequence but str, each element an index integer in u64. A claimed
// length goes to `check_length` first, so that no claimed length can make
// the conversion run away when the caller knows better.
bool convert_ids(PyObject* obj, const char* name, const LengthCheck& check_length, std::vector<uint64_t>* ids);

// The ValueError of `ids` ids beside `rows` rows; always false.
bool raise_ids_length(size_t ids, size_t rows);

// add_batch's arguments, converted.
struct Batch {
  std::vector<uint64_t> ids;
  PyArrayObject* vectors = nullptr;  // borrowed from the call's arguments
};

// add_batch's ids and vectors, in the method's order: the ids are converted
// first and `vectors` checked after them (checked_vectors), but a length the
// ids claim is weighed against `vectors` before a single id is converted, so
// that no claimed length (range(2**62), a broadcast array) makes the
// conversion run away: beside a `vectors` that passes its checks, another
// length is the length error at once; beside one that fails them, more than
// a plausible batch is that failure at once. The length of ids that claim
// none is the core's to check against the rows.
bool to_batch(PyObject* ids_obj, PyObject* vectors_obj, uint64_t dim, Batch* out);

}  // namespace lodex::python
