// The module entry: PyInit_lodex creates the module once per process from
// the parts the other files of src/python define, and applies the LODEX_SIMD
// cap. Nothing here converts an argument or calls the core's index.
#define LODEX_IMPORT_NUMPY  // the one file that fills in NumPy's function table
#include "python/exceptions.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "kernels/cpu.hpp"
#include "python/arguments.hpp"
#include "python/docstrings.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

namespace {

PyObject* g_module = nullptr;
int64_t g_interpreter_id = -1;

PyObject* module_simd_level(PyObject*, PyObject*) {
  return PyUnicode_FromString(lodex::simd_level_name(lodex::active_simd_level()));
}

PyMethodDef module_methods[] = {
    fastcall_method("_from_bytes", module_from_bytes, doc::kFromBytesFunction),
    {"simd_level", module_simd_level, METH_NOARGS, doc::kSimdLevel},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "lodex", doc::kModule,
    0,  // not -1: a re-import must call the init function, which hands back the same module
    module_methods, nullptr, nullptr, nullptr, nullptr,
};

// LODEX_SIMD, the one environment variable lodex reads: a cap on the vector
// level, for testing and benchmarking. Read once, when the module is created,
// before any search has fixed the level. A name this machine cannot run
// leaves the best level and warns, naming the ones it can. 0, or -1 with an
// exception set when the warning is turned into one.
int apply_simd_cap() {
  const char* wanted = std::getenv("LODEX_SIMD");
  if (wanted == nullptr || *wanted == '\0') return 0;
  const std::optional<lodex::SimdLevel> level = lodex::simd_level_from_name(wanted);
  if (level && lodex::simd_level_supported(*level)) {
    lodex::set_simd_cap(*level);
    return 0;
  }
  std::string choices;
  for (const lodex::SimdLevel supported : lodex::supported_simd_levels()) {
    if (!choices.empty()) choices += ", ";
    choices += lodex::simd_level_name(supported);
  }
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "LODEX_SIMD=%s is not a level this machine runs (choices: %s); using %s",
                          wanted, choices.c_str(), lodex::simd_level_name(lodex::best_simd_level()));
}

// Appends "Index" to the module's __all__, creating the list when the
// module has none.
bool export_index(PyObject* module) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    return fail_conversion(all.get(), "PyList");
  }
  PyRef name(PyUnicode_FromString("Index"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    raise_fault("could not append __name__ to __all__");
    return false;
  }
  return true;
}

PyObject* create_module() {
  if (PyArray_ImportNumPyAPI() < 0) return nullptr;
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  if (apply_simd_cap() < 0) return nullptr;
  if (!create_fault_type() || !create_index_type() || !export_index(module.get())) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(index_type());
  if (PyModule_AddObjectRef(module.get(), "Index", type) < 0) return nullptr;
  // Reachable so a server can catch it on purpose; not part of __all__.
  if (PyModule_AddObjectRef(module.get(), "InternalFault", fault_type()) < 0) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", LODEX_VERSION) < 0) return nullptr;
  // Private: the Dask layer's coordinator checks arguments with these.
  if (PyModule_Add(module.get(), "_arguments", create_arguments_module()) < 0) return nullptr;
  if (!remember_from_bytes(module.get())) return nullptr;
  return module.release();
}

}  // namespace

}  // namespace lodex::python

PyMODINIT_FUNC PyInit_lodex(void) {
  using namespace lodex::python;
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1 && PyErr_Occurred()) return nullptr;
  if (g_interpreter_id != -1 && g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError, "lodex does not support sub-interpreters");
    return nullptr;
  }
  if (g_module == nullptr) {
    g_module = entry([] { return create_module(); });
    if (g_module == nullptr) return nullptr;
  }
  g_interpreter_id = id;  // the first successful initialisation owns the module
  return Py_NewRef(g_module);
}
