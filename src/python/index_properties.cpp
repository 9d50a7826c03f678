// The Index object's properties, representation, len, `in` and truth: short
// reads that keep the GIL (gil.hpp says when they give it up).
#include <span>
#include <string>

#include "python/arguments.hpp"
#include "python/gil.hpp"
#include "python/index_methods.hpp"
#include "python/index_object.hpp"
#include "python/py_ref.hpp"
#include "python/results.hpp"

namespace lodex::python {

PyObject* index_get_size(PyObject* self, void*) { return PyLong_FromSize_t(shared_size(index_of(self))); }

// Fixed for the index's life: read without the lock.
PyObject* index_get_read_only(PyObject* self, void*) { return PyBool_FromLong(index_of(self).read_only()); }

PyObject* index_get_config(PyObject* self, void*) {
  // The parameters never change: only the row count needs the lock, and
  // config reports none. The dict is built fresh on every read.
  const lodex::Index& index = index_of(self);
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict.get(), key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  if (!put("dim", PyLong_FromUnsignedLongLong(index.dim())) || !put("bits", PyLong_FromLong(index.bits())) ||
      !put("use_qjl", PyBool_FromLong(index.use_qjl())) || !put("seed", PyLong_FromUnsignedLongLong(index.seed()))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* index_repr(PyObject* self) {
  const lodex::Index& index = index_of(self);
  const size_t size = shared_size(index);
  // The metric and the rotation only when they are not the defaults.
  std::string extra;
  if (index.metric() != lodex::Metric::kIp) extra += std::string(", metric=") + kMetricNames[static_cast<int>(index.metric())];
  if (index.rotation() != lodex::RotationKind::kHadamard) {
    extra += std::string(", rotation=") + kRotationNames[static_cast<int>(index.rotation())];
  }
  return PyUnicode_FromFormat("lodex.Index(dim=%llu, bits=%u, size=%zu, use_qjl=%s%s)",
                              static_cast<unsigned long long>(index.dim()), static_cast<unsigned>(index.bits()),
                              size, index.use_qjl() ? "true" : "false", extra.c_str());
}

PyObject* index_get_metric(PyObject* self, void*) {
  return PyUnicode_FromString(kMetricNames[static_cast<int>(index_of(self).metric())]);
}

PyObject* index_get_rotation(PyObject* self, void*) {
  return PyUnicode_FromString(kRotationNames[static_cast<int>(index_of(self).rotation())]);
}

// A new float32 array holding the centre, or None.
PyObject* index_get_center(PyObject* self, void*) {
  const std::span<const float> center = index_of(self).center();
  if (center.empty()) Py_RETURN_NONE;
  return new_vector(NPY_FLOAT32, center);
}

Py_ssize_t index_len(PyObject* self) { return static_cast<Py_ssize_t>(shared_size(index_of(self))); }

// `id in index`: an integer id in u64 that some row has. Anything that is
// not such an integer is simply not in the index, as with any container.
int index_contains(PyObject* self, PyObject* value) {
  uint64_t id = 0;
  if (!to_u64_raw(value, &id)) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return 0;
    }
    return -1;
  }
  const lodex::Index& index = index_of(self);
  bool found = false;
  Py_BEGIN_ALLOW_THREADS
  found = index.contains(id);
  Py_END_ALLOW_THREADS
  return found ? 1 : 0;
}

// An index is true even when it holds no rows, as it was before it had a
// length: `if index:` keeps meaning "there is an index".
int index_bool(PyObject*) { return 1; }

}  // namespace lodex::python
