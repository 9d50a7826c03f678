// The error values' constructors that need more than a template: the
// system's description of an errno, the search's wrapping of nested errors,
// and the translation of a caught C++ exception.
#include "errors.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace lodex {

IndexError IndexError::os_error(int code) {
  char buf[256];
  // The GNU strerror_r returns the message, which may not live in buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return io_error(std::string(msg) + " (os error " + std::to_string(code) + ")");
}

IndexError IndexError::in_search(IndexError inner) {
  if (inner.kind_ == Kind::kRotation) return {Kind::kSearch, inner.reason_, "rotation error: " + inner.text_};
  if (inner.kind_ == Kind::kCodebook) return {Kind::kSearch, inner.reason_, "codebook error: " + inner.text_};
  return inner;
}

IndexError error_of(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr || dynamic_cast<const std::length_error*>(&e) != nullptr) {
    return IndexError::out_of_memory();
  }
  return IndexError::internal_fault(std::string("internal fault: ") + e.what());
}

}  // namespace lodex
