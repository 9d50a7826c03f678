// Argument binding with the interpreter's own messages, and the scalar
// converters every method shares: each argument becomes a C++ value or a
// TypeError naming it. No arithmetic and no value checks: those are the core's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "python/python_headers.hpp"

namespace lodex::python {

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

}  // namespace lodex::python
