// lodex._arguments (declared in arguments.hpp): each function runs the binding's
// converter of its name and returns what it made or raises what the Index
// methods raise with it, so no message is written twice. No value checks.
#include "python/arguments.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "python/docstrings.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

namespace {

// The name an argument is reported by: a str, alive for the call.
bool to_name(PyObject* obj, const char** out) {
  *out = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr;
  if (*out != nullptr) return true;
  if (!PyErr_Occurred()) fail_conversion(obj, "PyString");
  wrap_conversion_error("name");
  return false;
}

// Binds (obj, name) or (obj, ndim, name), positionally: the name comes last.
bool bind_named(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** bound, const char** name) {
  return bind_arguments(sig, args, nargs, nullptr, nullptr, bound) && to_name(bound[sig.positional.size() - 1], name);
}

PyObject* call_to_u64(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    const char* name = nullptr;
    uint64_t value = 0;
    if (!bind_named({"to_u64", {"obj", "name"}}, args, nargs, bound, &name) ||
        !to_u64(bound[0], name, &value)) {
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(value);
  });
}

PyObject* call_to_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    const char* name = nullptr;
    std::string path;
    if (!bind_named({"to_path", {"obj", "name"}}, args, nargs, bound, &name) ||
        !to_path(bound[0], name, &path)) {
      return nullptr;
    }
    return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  });
}

PyObject* call_convert_ids(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    const char* name = nullptr;
    std::vector<uint64_t> ids;
    if (!bind_named({"convert_ids", {"obj", "name"}}, args, nargs, bound, &name) ||
        !convert_ids(bound[0], name, {}, &ids)) {
      return nullptr;
    }
    return new_vector(NPY_UINT64, ids);
  });
}

PyObject* call_as_float32_array(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[3];
    const char* name = nullptr;
    uint8_t ndim = 0;
    if (!bind_named({"as_float32_array", {"obj", "ndim", "name"}}, args, nargs, bound, &name) ||
        !to_u8(bound[1], "ndim", &ndim)) {
      return nullptr;
    }
    PyArrayObject* array = as_float32_array(bound[0], ndim, name);
    return array != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(array)) : nullptr;
  });
}

PyObject* call_as_row_major_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    const char* name = nullptr;
    if (!bind_named({"as_row_major_matrix", {"obj", "name"}}, args, nargs, bound, &name)) return nullptr;
    PyArrayObject* array = as_row_major_matrix(bound[0], name);
    return array != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(array)) : nullptr;
  });
}

// The ids as a uint64 array and `vectors`. Beyond add_batch's own
// conversion, the length of ids that claim none is checked against the rows
// here, with the message the core's add gives it.
PyObject* call_to_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[3];
    uint64_t dim = 0;
    Batch batch;
    if (!bind_arguments({"to_batch", {"ids", "vectors", "dim"}}, args, nargs, nullptr, nullptr, bound) ||
        !to_u64(bound[2], "dim", &dim) || !to_batch(bound[0], bound[1], dim, &batch)) {
      return nullptr;
    }
    const auto rows = static_cast<size_t>(PyArray_DIM(batch.vectors, 0));
    if (batch.ids.size() != rows) {
      raise_ids_length(batch.ids.size(), rows);
      return nullptr;
    }
    PyRef ids(new_vector(NPY_UINT64, batch.ids));
    if (!ids) return nullptr;
    return PyTuple_Pack(2, ids.get(), reinterpret_cast<PyObject*>(batch.vectors));
  });
}

// The centre a center="mean" index fixes from `vectors` as its first batch,
// computed by the core (Index::first_batch_mean) with the GIL released: the
// sharded index's coordinator fixes it once and gives every shard that one.
PyObject* call_first_batch_mean(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    lodex::Metric metric = lodex::Metric::kIp;
    if (!bind_arguments({"first_batch_mean", {"vectors", "metric"}}, args, nargs, nullptr, nullptr, bound) ||
        !to_choice(bound[1], "metric", kMetricNames, &metric)) {
      return nullptr;
    }
    PyArrayObject* vectors = as_row_major_matrix(bound[0], "vectors");
    if (vectors == nullptr) return nullptr;
    const auto n = static_cast<size_t>(PyArray_DIM(vectors, 0));
    const auto dim = static_cast<uint64_t>(PyArray_DIM(vectors, 1));
    const void* data = PyArray_DATA(vectors);
    std::vector<float> mean;
    if (!run_without_gil([&] { return lodex::Index::first_batch_mean(metric, data, n, dim); }, &mean)) return nullptr;
    return new_vector(NPY_FLOAT32, mean);
  });
}

// Positional arguments only, through vectorcall.
template <PyObject* (*Call)(PyObject*, PyObject* const*, Py_ssize_t)>
PyMethodDef positional(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Call)), METH_FASTCALL, doc};
}

PyMethodDef converters[] = {
    positional<call_to_u64>("to_u64", doc::kToU64),
    positional<call_to_path>("to_path", doc::kToPath),
    positional<call_convert_ids>("convert_ids", doc::kConvertIds),
    positional<call_as_float32_array>("as_float32_array", doc::kAsFloat32Array),
    positional<call_as_row_major_matrix>("as_row_major_matrix", doc::kAsRowMajorMatrix),
    positional<call_to_batch>("to_batch", doc::kToBatch),
    positional<call_first_batch_mean>("first_batch_mean", doc::kFirstBatchMean),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef arguments_def = {
    PyModuleDef_HEAD_INIT, "lodex._arguments", doc::kArgumentsModule, 0, converters, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyObject* create_arguments_module() { return PyModule_Create(&arguments_def); }

}  // namespace lodex::python
