// The Index type: its construction, its tables of methods and properties
// (each entry a name, a function and its docstring), and its creation. The
// methods' bodies live in the *_methods.cpp files; the texts in docstrings.hpp.
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/array_arguments.hpp"
#include "python/docstrings.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"
#include "python/index_object.hpp"
#include "python/method_table.hpp"
#include "python/py_ref.hpp"

namespace lodex::python {

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
    if (bound[6] != nullptr && bound[6] != Py_None && !to_center(bound[6], params.dim, &params.center)) return nullptr;
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

}  // namespace lodex::python
