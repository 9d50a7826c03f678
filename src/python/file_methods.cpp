// save, load, to_bytes, from_bytes and pickling: an index to and from a file
// or bytes. The core reads and writes with the GIL released; a load that a
// signal interrupts asks Python's handlers.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/exceptions.hpp"
#include "python/index_methods.hpp"

namespace lodex::python {

namespace {

PyObject* g_from_bytes = nullptr;  // the module-level function pickles rebuild an index with

// Wraps the outcome of a load into a new Index object.
PyObject* finish_load(Failure& failure, std::unique_ptr<lodex::Index> loaded) {
  if (PyErr_Occurred()) return nullptr;  // a signal handler's exception ended the load
  if (failure.failed()) return failure.raise();
  return wrap_index(index_type(), std::move(loaded));
}

}  // namespace

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments({"Index.save", {"path"}, {"mappable"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string path;
    bool mappable = false;
    if (!to_path(bound[0], "path", &path) || !to_flag(bound[1], "mappable", &mappable)) return nullptr;
    const lodex::Index& index = index_of(self);
    if (!run_without_gil([&] { return index.save(path, mappable); })) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_arguments({"Index.load", {"path"}, {"mmap", "warm"}}, args, nargs, kwnames, args + nargs, bound)) {
      return nullptr;
    }
    std::string path;
    bool mmap = false;
    bool warm = false;
    if (!to_path(bound[0], "path", &path) || !to_flag(bound[1], "mmap", &mmap) || !to_flag(bound[2], "warm", &warm)) {
      return nullptr;
    }
    if (warm && !mmap) {
      PyErr_SetString(PyExc_ValueError, "warm applies only with mmap=True");
      return nullptr;
    }
    // A read that a signal interrupts (Ctrl-C on a FIFO that never ends)
    // asks Python's handlers; no index lock is held, so taking the GIL for
    // that is safe. An exception they raise ends the load and is raised.
    const lodex::StopOnSignal stop_on_signal = [] {
      const PyGILState_STATE gil = PyGILState_Ensure();
      const bool stop = PyErr_CheckSignals() != 0;
      PyGILState_Release(gil);
      return stop;
    };
    std::unique_ptr<lodex::Index> loaded;
    Failure failure;
    without_gil(failure, [&] {
      take(mmap ? lodex::Index::map(path, warm) : lodex::Index::load(path, stop_on_signal), loaded, failure);
    });
    return finish_load(failure, std::move(loaded));
  });
}

PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    bool mappable = false;
    if (!bind_arguments({"Index.to_bytes", {}, {"mappable"}}, args, nargs, kwnames, args + nargs, bound) ||
        !to_flag(bound[0], "mappable", &mappable)) {
      return nullptr;
    }
    const lodex::Index& index = index_of(self);
    std::vector<uint8_t> bytes;
    if (!run_without_gil([&] { return index.to_bytes(mappable); }, &bytes)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

// Index.from_bytes and the module's _from_bytes (what pickles call).
PyObject* index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments({"Index.from_bytes", {"data"}}, args, nargs, kwnames, args + nargs, bound)) return nullptr;
    if (!PyObject_CheckBuffer(bound[0])) {
      fail_conversion(bound[0], "PyBytes");
      wrap_conversion_error("data");
      return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) {
      wrap_conversion_error("data");
      return nullptr;
    }
    // The exporter keeps the bytes alive and unmoved until the view goes.
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
    std::unique_ptr<lodex::Index> loaded;
    Failure failure;
    without_gil(failure, [&] {
      take(lodex::Index::from_bytes(bytes), loaded, failure);
    });
    PyBuffer_Release(&view);
    return finish_load(failure, std::move(loaded));
  });
}

// An index with center="mean" and no batch yet has no bytes: it is pickled as
// the tuple of its parameters (module_from_bytes), and unpickles to an index
// that still fixes its centre from its first batch. Once fixed, it pickles
// as bytes as any index does.
PyObject* index_reduce(PyObject* self, PyObject*) {
  const lodex::Index& index = index_of(self);
  if (read_shared(index, [&] { return index.center_pending(); })) {
    return Py_BuildValue("(O((KiOKsss)))", g_from_bytes, static_cast<unsigned long long>(index.dim()),
                         static_cast<int>(index.bits()), index.use_qjl() ? Py_True : Py_False,
                         static_cast<unsigned long long>(index.seed()),
                         kMetricNames[static_cast<int>(index.metric())],
                         kRotationNames[static_cast<int>(index.rotation())], kCenterNames[0]);
  }
  PyRef bytes(index_to_bytes(self, nullptr, 0, nullptr));
  if (!bytes) return nullptr;
  return Py_BuildValue("(O(O))", g_from_bytes, bytes.get());
}

PyObject* module_from_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // (dim, bits, use_qjl, seed, metric, rotation, center): what index_reduce
  // gives an index still waiting for its centre, rebuilt by the constructor.
  constexpr Py_ssize_t kParameters = 7;
  if (nargs != 1 || kwnames != nullptr || !PyTuple_Check(args[0]) || PyTuple_GET_SIZE(args[0]) != kParameters) {
    return index_from_bytes(self, args, nargs, kwnames);
  }
  return entry([&]() -> PyObject* {
    PyObject* p = args[0];
    PyRef positional(PyTuple_GetSlice(p, 0, 4));
    PyRef keywords(Py_BuildValue("{sOsOsO}", "metric", PyTuple_GET_ITEM(p, 4), "rotation", PyTuple_GET_ITEM(p, 5),
                                 "center", PyTuple_GET_ITEM(p, 6)));
    if (!positional || !keywords) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(index_type()), positional.get(), keywords.get());
  });
}

bool remember_from_bytes(PyObject* module) {
  g_from_bytes = PyObject_GetAttrString(module, "_from_bytes");
  return g_from_bytes != nullptr;
}

}  // namespace lodex::python
