// Texts of the error values. Numbers are plain decimal; a nested error's text
// is placed inside its outer template.
#include "errors.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace lodex {

std::string RotationError::text() const {
  if (kind_ == Kind::kNotPowerOfTwo) return "dimension " + std::to_string(a_) + " is not a power of 2";
  if (kind_ == Kind::kZeroDimension) return "dimension must be at least 1";
  return "dimension mismatch: vector has " + std::to_string(a_) + ", sign vector has " + std::to_string(b_);
}

std::string CodebookError::text() const {
  return "unsupported bit-width " + std::to_string(bits_) + ". Valid: 2, 3, 4, 5";
}

FileError FileError::os(int code) {
  char buf[256];
  // The GNU strerror_r returns the message, which may not live in buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  return io(std::string(msg) + " (os error " + std::to_string(code) + ")");
}

std::string FileError::text() const {
  if (kind_ == Kind::kIo) return "I/O error: " + detail_;
  return "invalid .ldx file: " + detail_;
}

std::string SearchError::text() const {
  switch (kind_) {
    case Kind::kCodebook: return "codebook error: " + inner_;
    case Kind::kRotation: return "rotation error: " + inner_;
    case Kind::kDimensionMismatch: break;
  }
  return "dimension mismatch: query has " + std::to_string(query_) + ", index has " + std::to_string(index_);
}

IndexError error_of(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr || dynamic_cast<const std::length_error*>(&e) != nullptr) {
    return IndexError::out_of_memory();
  }
  return IndexError::internal_fault(std::string("internal fault: ") + e.what());
}

}  // namespace lodex
