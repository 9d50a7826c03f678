// Argument binding (Signature) with the interpreter's own messages, and every
// converter: scalars, float32 arrays, ids; plus lodex._arguments, which exposes
// them. No arithmetic and no value checks: those are the core's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "python/exceptions.hpp"

namespace lodex::python {

// Argument binding with the interpreter's own messages, and the scalar
// converters every method shares: each argument becomes a C++ value or a
// TypeError naming it. No arithmetic and no value checks: those are the core's.

// A method's parameters: required positional-or-keyword ones, then optional
// keyword-only ones (absent ones bind to nullptr).
struct Signature {
  const char* function;
  std::initializer_list<const char*> positional;
  std::initializer_list<const char*> keyword_only = {};
};

// Binds positional and keyword arguments with the interpreter's usual
// messages. On success out[i] holds a borrowed reference (or nullptr for an
// absent keyword-only parameter), positional parameters first.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject** out);

// The name of `obj`'s type, as Python prints it.
std::string type_name(PyObject* obj);

// Sets "'<type>' object cannot be converted to '<target>'"; always false.
bool fail_conversion(PyObject* obj, const char* target);

// A conversion that failed with exactly TypeError is re-raised as
// "argument '<name>': <message>", keeping the original's cause; any other
// error (OverflowError in particular) passes through unchanged.
void wrap_conversion_error(const char* name);

// What a refused argument should have been, for the note that names its fix.
enum class Wanted { kBool, kPath, kFloat32Array };

// Adds to the TypeError being raised for `obj`, the argument `name`, a note
// (BaseException.add_note: shown under the traceback, never in str(exc))
// naming what was received and how to fix it: astype for an array of
// another dtype, np.asarray for a list, search_batch for a 2-D query,
// str(path) for a path-like, False/True for an int. Nothing when no one fix
// fits. The one place every converter's notes come from.
void note_fix(PyObject* obj, const char* name, Wanted wanted, int ndim = 0);

// Conversions. Each returns false with the error set, already wrapped.

// An int or anything with __index__, in u64; errors not wrapped.
bool to_u64_raw(PyObject* obj, uint64_t* out);
bool to_u64(PyObject* obj, const char* name, uint64_t* out);
bool to_u8(PyObject* obj, const char* name, uint8_t* out);
// A float or anything with __float__ or __index__.
bool to_double(PyObject* obj, const char* name, double* out);
// A bool or a NumPy bool.
bool to_bool(PyObject* obj, const char* name, bool* out);
// An optional bool keyword: absent is false.
bool to_flag(PyObject* obj, const char* name, bool* out);
// A str, as UTF-8; NUL bytes are kept (the file layer refuses them).
bool to_path(PyObject* obj, const char* name, std::string* out);

// The names of an enum's values, in the order of the values.
inline constexpr const char* kMetricNames[] = {"ip", "cosine", "l2"};
inline constexpr const char* kRotationNames[] = {"hadamard", "general"};
// The one name `center` takes besides an array: the first batch's mean.
inline constexpr const char* kCenterNames[] = {"mean"};

// A str naming one of `names`, as its position; anything else is a
// TypeError (not a str) or a ValueError listing the choices.
bool to_choice_index(PyObject* obj, const char* name, std::span<const char* const> names, size_t* out);

template <class Enum, size_t N>
bool to_choice(PyObject* obj, const char* name, const char* const (&names)[N], Enum* out) {
  size_t position = 0;
  if (!to_choice_index(obj, name, names, &position)) return false;
  *out = static_cast<Enum>(position);
  return true;
}

// The float32 array arguments: their type, their shape and whether their
// memory can be read in place, with the messages the methods raise. Their
// values are the core's to check.

// Whether `obj` is a NumPy array of `ndim` dimensions whose dtype NumPy
// calls equivalent to native float32 (a big-endian '>f4' is not).
bool is_float32_array(PyObject* obj, int ndim);

// `obj` as such an array, or nullptr with the TypeError naming `name`.
PyArrayObject* as_float32_array(PyObject* obj, int ndim, const char* name);

// Whether a float32 matrix can be read as one flat row-major run of
// rows * cols floats: each axis longer than one has exactly the byte stride
// a C-contiguous array has. Byte strides are compared as they are, so a
// field of a structured array (stride 33) or a 5-byte step never passes.
bool is_row_major(PyArrayObject* array);

// A 1-D float32 array whose elements are adjacent (a single element passes
// whatever its stride).
bool is_contiguous_vector(PyArrayObject* array);

// The ValueError of an array argument that cannot be read in place as one
// run of floats; always nullptr.
PyObject* raise_not_contiguous(const char* name);

// A float32 matrix argument that must be read in place as one row-major run.
PyArrayObject* as_row_major_matrix(PyObject* obj, const char* name);

// add_batch's checks of `vectors`, in their order: a 2-D float32 array,
// `dim` columns, rows laid out C-contiguously. The array, or nullptr with
// the first failure raised (with `raise`) or nothing set (without).
PyArrayObject* checked_vectors(PyObject* obj, uint64_t dim, bool raise);

// The query matrix of search_batch and search_range, read once its type has
// passed and every other argument is converted: its layout is the last
// check of both. It is then held for the call (the GIL is given up while the
// core reads it) and readable through a float pointer: its own memory when
// that is aligned for float (nearly always), else a copy. NumPy allows a
// float32 array at any byte address (frombuffer at an odd offset, a field of
// a packed record, an array rebuilt from a network message), and reading
// such memory through float* is undefined behaviour. The queries are read
// whole anyway; the core reads the (large) matrices of add_batch and of
// re-ranking row by row at any address.
class QueryMatrix {
 public:
  // False, with the ValueError raised, when the rows cannot be read in place.
  bool read(PyArrayObject* queries);

  std::span<const float> flat() const { return flat_; }
  size_t rows() const { return rows_; }
  size_t width() const { return width_; }

 private:
  PyRef keep_alive_;
  std::vector<float> aligned_;
  std::span<const float> flat_;
  size_t rows_ = 0;
  size_t width_ = 0;
};

// center: a 1-D float32 array (any strides), copied. Its length and values
// are the core's to check.
bool to_center(PyObject* obj, uint64_t dim, std::vector<float>* out);

// The id arguments (ids, allow): any sequence but str of integers in u64,
// converted into a vector. A claimed length is weighed before any element
// is converted; the ids' values are the core's to check.

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

// Method-table entries for the binding's functions that take positional and
// keyword arguments through vectorcall, the calling convention of every
// method with arguments. Only the entry: what a function does is its own.

using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline PyMethodDef fastcall_method(const char* name, FastCall function, const char* doc, int extra_flags = 0) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}

// lodex._arguments: the binding's converters, one function each under the
// converter's own name, for the Dask layer's coordinator, which must check
// an argument before any shard sees it. None touches an index.

// The new lodex._arguments module object, or nullptr with the error set.
PyObject* create_arguments_module();

}  // namespace lodex::python
