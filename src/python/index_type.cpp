// The Index type: its construction, its properties, representation, len, `in`
// and truth (short reads that keep the GIL), and its tables of methods and
// properties. The methods' bodies live in the *_methods.cpp files.

#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/docstrings.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

// The Index type: its construction, its tables of methods and properties
// (each entry a name, a function and its docstring), and its creation. The
// methods' bodies live in the *_methods.cpp files; the texts in docstrings.hpp.

namespace {

PyObject* g_index_type = nullptr;

PyMethodDef method(const char* name, FastCall function, const char* doc) {
  return fastcall_method(name, function, doc);
}

PyMethodDef static_method(const char* name, FastCall function, const char* doc) {
  return fastcall_method(name, function, doc, METH_STATIC);
}

// The first four entries and their texts are the class's original surface;
// what came later follows them.
PyMethodDef index_methods[] = {
    method("add_batch", index_add_batch, doc::kAddBatch),
    method("search", index_search, doc::kSearch),
    method("save", index_save, doc::kSave),
    static_method("load", index_load, doc::kLoad),
    method("search_batch", index_search_batch, doc::kSearchBatch),
    method("remove", index_remove, doc::kRemove),
    method("get", index_get, doc::kGet),
    method("to_bytes", index_to_bytes, doc::kToBytes),
    static_method("from_bytes", index_from_bytes, doc::kFromBytes),
    {"__reduce__", index_reduce, METH_NOARGS, doc::kReduce},
    method("search_range", index_search_range, doc::kSearchRange),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"size", index_get_size, nullptr, doc::kSize, nullptr},
    {"config", index_get_config, nullptr, doc::kConfig, nullptr},
    {"metric", index_get_metric, nullptr, doc::kMetric, nullptr},
    {"rotation", index_get_rotation, nullptr, doc::kRotation, nullptr},
    {"center", index_get_center, nullptr, doc::kCenter, nullptr},
    {"read_only", index_get_read_only, nullptr, doc::kReadOnly, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_doc, const_cast<char*>(doc::kIndex)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_sq_length, reinterpret_cast<void*>(index_len)},
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(index_bool)},
    {0, nullptr},
};

PyType_Spec index_spec = {
    "builtins.Index", sizeof(PyIndex), 0, Py_TPFLAGS_DEFAULT, index_slots,
};

}  // namespace

bool create_index_type() {
  if (g_index_type == nullptr) {
    g_index_type = PyType_FromSpec(&index_spec);
    if (g_index_type == nullptr) {
      PyErr_Print();
      raise_fault("failed to create type object for Index");
      return false;
    }
  }
  return true;
}

PyTypeObject* index_type() { return reinterpret_cast<PyTypeObject*>(g_index_type); }

PyObject* wrap_index(PyTypeObject* type, std::unique_ptr<lodex::Index> index) {
  allocfunc alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;  // the index is freed with its owner
  reinterpret_cast<PyIndex*>(self)->index = index.release();
  return self;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return entry([&]() -> PyObject* {
    // Lay the tuple/dict call out as a vectorcall so one binder serves all.
    std::vector<PyObject*> kwvalues;
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = PyRef(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!kwnames) return nullptr;
      Py_ssize_t pos = 0, i = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
        kwvalues.push_back(value);
      }
    }
    PyObject* bound[7];
    if (!bind_arguments({"Index.__new__", {"dim", "bits", "use_qjl", "seed"}, {"metric", "rotation", "center"}},
                        &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwnames.get(), kwvalues.data(), bound)) {
      return nullptr;
    }
    lodex::IndexParams params;
    if (!to_u64(bound[0], "dim", &params.dim) || !to_u8(bound[1], "bits", &params.bits) ||
        !to_bool(bound[2], "use_qjl", &params.use_qjl) || !to_u64(bound[3], "seed", &params.seed)) {
      return nullptr;
    }
    if (bound[4] != nullptr && !to_choice(bound[4], "metric", kMetricNames, &params.metric)) return nullptr;
    if (bound[5] != nullptr && !to_choice(bound[5], "rotation", kRotationNames, &params.rotation)) return nullptr;
    if (bound[6] != nullptr && PyUnicode_Check(bound[6])) {
      size_t mean = 0;
      if (!to_choice_index(bound[6], "center", kCenterNames, &mean)) return nullptr;
      params.center_pending = true;
    } else if (bound[6] != nullptr && bound[6] != Py_None && !to_center(bound[6], params.dim, &params.center)) {
      return nullptr;
    }
    // Built with the GIL held: nothing else can see the index yet.
    auto created = lodex::Index::create(std::move(params));
    if (!created) return raise_index_error(created.error());
    return wrap_index(type, std::move(*created));
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PyIndex*>(self)->index;
  type->tp_free(self);
  Py_DECREF(type);
}

// The Index object's properties, representation, len, `in` and truth: short
// reads that keep the GIL (exceptions.hpp says when they give it up).

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
  // A centre waiting for the first batch is a parameter still; a fixed one is data.
  if (read_shared(index, [&] { return index.center_pending(); })) extra += ", center=mean";
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
// A centre="mean" index fixes its centre under the lock: read it there.
PyObject* index_get_center(PyObject* self, void*) {
  return entry([&]() -> PyObject* {
    const lodex::Index& index = index_of(self);
    std::vector<float> center;
    bool copied = read_shared(index, [&] {
      try {
        center.assign(index.center().begin(), index.center().end());
        return true;
      } catch (const std::bad_alloc&) {
        return false;
      }
    });
    if (!copied) return PyErr_NoMemory();
    if (center.empty()) Py_RETURN_NONE;
    return new_vector(NPY_FLOAT32, center);
  });
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
