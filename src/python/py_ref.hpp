// An owned Python reference, released on every path. Holds one pointer and
// nothing else: no conversion, no error handling.
#pragma once

#include <utility>

#include "python/python_headers.hpp"

namespace lodex::python {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* p) : p_(p) {}
  ~PyRef() { Py_XDECREF(p_); }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace lodex::python
