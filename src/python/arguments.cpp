// Argument binding and the scalar converters (arguments.hpp): the
// interpreter's own messages for a call that does not fit a signature, and
// the TypeErrors that name the argument a conversion refused.
#include "python/arguments.hpp"

#include <vector>

namespace lodex::python {

namespace {

bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* module = PyType_GetModuleName(type);
  PyObject* name = PyType_GetName(type);
  bool result = module != nullptr && name != nullptr && PyUnicode_CompareWithASCIIString(module, "numpy") == 0 &&
                (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name, "bool") == 0);
  if (module == nullptr || name == nullptr) PyErr_Clear();
  Py_XDECREF(module);
  Py_XDECREF(name);
  return result;
}

}  // namespace

std::string type_name(PyObject* obj) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  const char* utf8 = PyUnicode_AsUTF8(name);
  std::string result = utf8 != nullptr ? utf8 : Py_TYPE(obj)->tp_name;
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return result;
}

bool fail_conversion(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj).c_str(), target);
  return false;
}

void wrap_conversion_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* wrapped = nullptr;
  if (PyObject* text = PyObject_Str(exc)) {
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", name, text);
    Py_DECREF(text);
    if (message != nullptr) {
      wrapped = PyObject_CallOneArg(PyExc_TypeError, message);
      Py_DECREF(message);
    }
  }
  if (wrapped == nullptr) {  // could not even build the message: keep the original
    Py_DECREF(exc);
    return;
  }
  PyException_SetCause(wrapped, PyException_GetCause(exc));
  Py_DECREF(exc);
  PyErr_SetRaisedException(wrapped);
}

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject** out) {
  const auto n = static_cast<Py_ssize_t>(sig.positional.size());
  const auto total = n + static_cast<Py_ssize_t>(sig.keyword_only.size());
  auto name = [&](Py_ssize_t i) { return i < n ? sig.positional.begin()[i] : sig.keyword_only.begin()[i - n]; };
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", sig.function, n,
                 n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
      return false;
    }
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < total; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, name(i)) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, name(slot));
      return false;
    }
    out[slot] = kwvalues[k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (out[i] == nullptr) missing.push_back(name(i));
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      list += std::string("'") + missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function,
                 missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

bool to_u64_raw(PyObject* obj, uint64_t* out) {
  PyObject* number = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  if (number == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number);
  Py_DECREF(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_u64(PyObject* obj, const char* name, uint64_t* out) {
  if (to_u64_raw(obj, out)) return true;
  wrap_conversion_error(name);
  return false;
}

bool to_u8(PyObject* obj, const char* name, uint8_t* out) {
  PyObject* number = PyLong_Check(obj) ? Py_NewRef(obj) : PyNumber_Index(obj);
  long long value = -1;
  if (number != nullptr) {
    value = PyLong_AsLongLong(number);
    Py_DECREF(number);
  }
  if (number == nullptr || (value == -1 && PyErr_Occurred())) {
    wrap_conversion_error(name);
    return false;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint8_t>(value);
  return true;
}

bool to_double(PyObject* obj, const char* name, double* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    wrap_conversion_error(name);
    return false;
  }
  *out = value;
  return true;
}

bool to_bool(PyObject* obj, const char* name, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_name(obj).c_str());
    } else {
      const int truth = number->nb_bool(obj);
      if (truth >= 0) {
        *out = truth != 0;
        return true;
      }
    }
  } else {
    fail_conversion(obj, "PyBool");
  }
  wrap_conversion_error(name);
  return false;
}

bool to_flag(PyObject* obj, const char* name, bool* out) {
  *out = false;
  return obj == nullptr || to_bool(obj, name, out);
}

bool to_path(PyObject* obj, const char* name, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    wrap_conversion_error(name);
    return false;
  }
  out->assign(utf8, static_cast<size_t>(size));  // NUL bytes are kept; the file layer refuses them
  return true;
}

bool to_choice_index(PyObject* obj, const char* name, std::span<const char* const> names, size_t* out) {
  if (!PyUnicode_Check(obj)) {
    fail_conversion(obj, "PyString");
    wrap_conversion_error(name);
    return false;
  }
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    if (PyUnicode_CompareWithASCIIString(obj, names[i]) == 0) {
      *out = i;
      return true;
    }
  }
  std::string choices;
  for (size_t i = 0; i < n; ++i) choices += std::string(i == 0 ? "" : i + 1 == n ? " or " : ", ") + "'" + names[i] + "'";
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, choices.c_str(), obj);
  return false;
}

}  // namespace lodex::python
