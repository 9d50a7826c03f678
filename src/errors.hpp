// Error values of the core. Nothing in the core throws across a module
// boundary: every fallible operation returns Result<T>, and only the binding
// turns an IndexError into a Python exception.
#pragma once

#include <cstdint>
#include <exception>
#include <expected>
#include <string>
#include <utility>

namespace lodex {

class RotationError {
 public:
  enum class Kind { kNotPowerOfTwo, kDimensionMismatch, kZeroDimension };

  static RotationError not_power_of_two(uint64_t dim) { return {Kind::kNotPowerOfTwo, dim, 0}; }
  static RotationError zero_dimension() { return {Kind::kZeroDimension, 0, 0}; }
  static RotationError dimension_mismatch(uint64_t vector, uint64_t sign) {
    return {Kind::kDimensionMismatch, vector, sign};
  }

  Kind kind() const { return kind_; }
  std::string text() const;

 private:
  RotationError(Kind kind, uint64_t a, uint64_t b) : kind_(kind), a_(a), b_(b) {}
  Kind kind_;
  uint64_t a_;  // dim, or the rotated vector's length
  uint64_t b_;  // the sign vector's length
};

class CodebookError {
 public:
  static CodebookError unsupported_bit_width(uint8_t bits) { return CodebookError(bits); }
  uint8_t bits() const { return bits_; }
  std::string text() const;

 private:
  explicit CodebookError(uint8_t bits) : bits_(bits) {}
  uint8_t bits_;
};

class FileError {
 public:
  enum class Kind { kIo, kInvalidFile };

  // An I/O failure the operating system reported with errno `code`.
  static FileError os(int code);
  // An I/O failure with no errno ("failed to write whole buffer", ...).
  static FileError io(std::string description) { return {Kind::kIo, std::move(description)}; }
  static FileError invalid_file(std::string reason) { return {Kind::kInvalidFile, std::move(reason)}; }

  Kind kind() const { return kind_; }
  const std::string& detail() const { return detail_; }
  std::string text() const;

 private:
  FileError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
  Kind kind_;
  std::string detail_;
};

class SearchError {
 public:
  enum class Kind { kCodebook, kRotation, kDimensionMismatch };

  static SearchError codebook(CodebookError e) { return {Kind::kCodebook, e.text(), 0, 0}; }
  static SearchError rotation(const RotationError& e) { return {Kind::kRotation, e.text(), 0, 0}; }
  static SearchError dimension_mismatch(uint64_t query, uint64_t index) {
    return {Kind::kDimensionMismatch, {}, query, index};
  }

  Kind kind() const { return kind_; }
  std::string text() const;

 private:
  SearchError(Kind kind, std::string inner, uint64_t query, uint64_t index)
      : kind_(kind), inner_(std::move(inner)), query_(query), index_(index) {}
  Kind kind_;
  std::string inner_;  // the nested error's text
  uint64_t query_;
  uint64_t index_;
};

// The single error type of the core. kInternalFault is a broken invariant
// (a row outside its file, a size that overflows): the binding raises it as
// the BaseException-derived fault class, never as an ordinary exception.
// kOutOfMemory is an allocation the system refused (a file buffer, the rows
// being built): the binding raises MemoryError for it.
class IndexError {
 public:
  enum class Kind { kRotation, kCodebook, kFile, kSearch, kInvalidArgument, kInternalFault, kOutOfMemory };

  IndexError(RotationError e) : kind_(Kind::kRotation), text_(e.text()) {}      // NOLINT
  IndexError(CodebookError e) : kind_(Kind::kCodebook), text_(e.text()) {}      // NOLINT
  IndexError(const FileError& e)                                               // NOLINT
      : kind_(Kind::kFile), text_(e.text()), is_io_(e.kind() == FileError::Kind::kIo) {}
  IndexError(const SearchError& e) : kind_(Kind::kSearch), text_(e.text()) {}  // NOLINT

  static IndexError invalid_argument(std::string text) { return {Kind::kInvalidArgument, std::move(text)}; }
  static IndexError internal_fault(std::string text) { return {Kind::kInternalFault, std::move(text)}; }
  static IndexError out_of_memory() { return {Kind::kOutOfMemory, "out of memory"}; }

  Kind kind() const { return kind_; }
  bool is_io() const { return is_io_; }  // a File error carrying an I/O failure
  const std::string& text() const { return text_; }

 private:
  IndexError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
  bool is_io_ = false;
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
