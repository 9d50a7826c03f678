// The core's one error type. Nothing in the core throws across a module
// boundary: every fallible operation returns Result<T> (or Status), and only
// the binding turns an IndexError into a Python exception.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <utility>

namespace lodex {

// An error value: its kind (which layer found it, and so which Python
// exception it becomes), the precise condition, and its text. Errors are built
// only through the named constructors, which own every message.
class IndexError {
 public:
  enum class Kind { kRotation, kCodebook, kFile, kSearch, kInvalidArgument, kInternalFault, kOutOfMemory };
  enum class Reason {
    kNotPowerOfTwo,           // rotation: a length without a Walsh-Hadamard transform
    kZeroDimension,           // rotation: nothing to rotate
    kDimensionMismatch,       // rotation: vector and rotation of different lengths
    kUnsupportedBitWidth,     // codebook: no table for this width
    kIo,                      // file: the system refused a read, write, open, ...
    kInvalidFile,             // file: bytes that are not a valid index
    kQueryDimensionMismatch,  // search: a query of the wrong length
    kInvalidArgument,
    kInternalFault,
    kOutOfMemory,
  };

  // Rotation.
  static IndexError not_power_of_two(uint64_t dim) {
    return {Kind::kRotation, Reason::kNotPowerOfTwo, "dimension " + std::to_string(dim) + " is not a power of 2"};
  }
  static IndexError zero_dimension() {
    return {Kind::kRotation, Reason::kZeroDimension, "dimension must be at least 1"};
  }
  static IndexError rotation_dimension_mismatch(uint64_t vector, uint64_t sign) {
    return {Kind::kRotation, Reason::kDimensionMismatch,
            "dimension mismatch: vector has " + std::to_string(vector) + ", sign vector has " + std::to_string(sign)};
  }

  // Codebook.
  static IndexError unsupported_bit_width(uint8_t bits) {
    return {Kind::kCodebook, Reason::kUnsupportedBitWidth,
            "unsupported bit-width " + std::to_string(bits) + ". Valid: 2, 3, 4, 5"};
  }

  // Files. os_error: a failure the operating system reported with errno
  // `code`; io_error: one with no errno ("failed to write whole buffer", ...).
  static IndexError os_error(int code);
  static IndexError io_error(const std::string& description) {
    return {Kind::kFile, Reason::kIo, "I/O error: " + description};
  }
  static IndexError invalid_file(const std::string& reason) {
    return {Kind::kFile, Reason::kInvalidFile, "invalid .ldx file: " + reason};
  }

  // Search. A rotation or codebook error met while searching reads inside the
  // search's own template ("rotation error: ..."); any other error is itself.
  static IndexError query_dimension_mismatch(uint64_t query, uint64_t index) {
    return {Kind::kSearch, Reason::kQueryDimensionMismatch,
            "dimension mismatch: query has " + std::to_string(query) + ", index has " + std::to_string(index)};
  }
  static IndexError in_search(IndexError inner);

  // kInternalFault is a broken invariant (a row outside its file, a size that
  // overflows): the binding raises it as the BaseException-derived fault
  // class, never as an ordinary exception. kOutOfMemory is an allocation the
  // system refused (a file buffer, the rows being built): MemoryError.
  static IndexError invalid_argument(std::string text) {
    return {Kind::kInvalidArgument, Reason::kInvalidArgument, std::move(text)};
  }
  static IndexError internal_fault(std::string text) {
    return {Kind::kInternalFault, Reason::kInternalFault, std::move(text)};
  }
  static IndexError out_of_memory() { return {Kind::kOutOfMemory, Reason::kOutOfMemory, "out of memory"}; }

  // How to fix the error, when one thing fixes it: the binding shows it
  // beside the text (a Python exception's note), never in it, so a hint
  // changes no message.
  IndexError with_hint(std::string hint) && {
    hint_ = std::move(hint);
    return std::move(*this);
  }
  const std::string& hint() const { return hint_; }

  Kind kind() const { return kind_; }
  Reason reason() const { return reason_; }
  bool is_io() const { return reason_ == Reason::kIo; }  // a File error carrying an I/O failure
  const std::string& text() const { return text_; }

 private:
  IndexError(Kind kind, Reason reason, std::string text) : kind_(kind), reason_(reason), text_(std::move(text)) {}
  Kind kind_;
  Reason reason_;
  std::string text_;
  std::string hint_;
};

template <class T>
using Result = std::expected<T, IndexError>;
using Status = std::expected<void, IndexError>;

// The error value of a caught C++ exception: an allocation the system
// refused (std::bad_alloc, or std::length_error, which a container throws
// for a size no memory could hold) is kOutOfMemory; anything else is a
// broken invariant, an internal fault naming the exception.
IndexError error_of(const std::exception& e);

// Runs `body`, returning the error value of any std::exception it throws.
// Nothing else is caught: the unwinding that ends a thread in pthread_exit
// is no std::exception and must go on.
template <class T, class Body>
Result<T> catching(Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    return std::unexpected(error_of(e));
  }
}

}  // namespace lodex
