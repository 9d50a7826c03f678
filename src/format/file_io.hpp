// The byte-level tools both index file formats share: little-endian fields,
// 128-bit offset arithmetic, reads and writes that retry, and the one
// streaming write buffer. Nothing here knows a file layout.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"

namespace lodex {

// Asked each time a signal interrupts a blocked read; true abandons the load.
using StopOnSignal = std::function<bool()>;

template <class T>
T load_le(const uint8_t* p) {
  T v = 0;
  for (size_t k = 0; k < sizeof(T); ++k) v |= static_cast<T>(static_cast<T>(p[k]) << (8 * k));
  return v;
}

template <class T>
void store_le(uint8_t* p, T v) {
  for (size_t k = 0; k < sizeof(T); ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

// Offsets and sizes from a header are summed and multiplied in 128 bits, so
// that no claim near 2^64 can wrap around into the file.
using u128 = unsigned __int128;
std::string u128_text(u128 v);

IndexError nul_in_path();

// open() with O_CLOEXEC, retried while a signal interrupts it; -1 and errno
// on failure. Opening a FIFO waits for its writer: a signal that arrives
// then is offered to `stop_on_signal` (errno EINTR when it stops), or it
// would be lost before the reads that usually ask.
int open_retrying(const char* path, int flags, mode_t mode = 0, const StopOnSignal& stop_on_signal = {});

// pread() from `offset` until `n` bytes or the end of the file; how many came.
// A read a signal interrupts is retried unless `stop_on_signal` says to stop.
Result<size_t> read_up_to(int fd, uint64_t offset, size_t n, uint8_t* out, const StopOnSignal& stop_on_signal);

// write() until all `n` bytes are out: a signal or a short write only means
// "continue from here"; a write that makes no progress is the fixed-text
// error, since the system gave no errno for it.
Status write_all(int fd, const uint8_t* p, size_t n);

// Reads `out.size()` bytes at `offset` of the file being loaded, which the
// caller has checked lie inside it.
class ByteSource {
 public:
  virtual Status read(uint64_t offset, std::span<uint8_t> out) = 0;

 protected:
  ~ByteSource() = default;
};

// A file image in memory.
class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> file) : file_(file) {}
  Status read(uint64_t offset, std::span<uint8_t> out) override;

 private:
  std::span<const uint8_t> file_;
};

// A regular file, read with pread; a file found shorter than its length at
// open is an I/O error ("the file became shorter while it was read").
class PreadSource final : public ByteSource {
 public:
  PreadSource(int fd, const StopOnSignal& stop_on_signal) : fd_(fd), stop_on_signal_(stop_on_signal) {}
  Status read(uint64_t offset, std::span<uint8_t> out) override;

 private:
  int fd_;
  const StopOnSignal& stop_on_signal_;
};

inline constexpr size_t kWriteBufferBytes = 8192;

// The one write buffer of a save. After the first failed write every later
// put is dropped, so the caller can lay down the whole sequence and look at
// the outcome once; what the buffer held at the failure stays in it, for
// the last flush attempt a direct write makes before closing.
class FileWriter {
 public:
  explicit FileWriter(int fd) : fd_(fd) {}
  // Appends to `memory` instead of writing to a file.
  explicit FileWriter(std::vector<uint8_t>* memory) : memory_(memory) {}

  bool ok() const { return !error_.has_value(); }
  const IndexError& error() const { return *error_; }

  // Room for `n` <= kWriteBufferBytes contiguous bytes in the buffer, or
  // nothing once a write has failed.
  uint8_t* room(size_t n);
  void put(const uint8_t* p, size_t n);
  void put_zeros(uint64_t n);
  template <class T>
  void put_le(T v) {
    if (uint8_t* at = room(sizeof(T))) store_le(at, v);
  }
  bool flush();
  // Best effort after a failure; the first error stays the one reported.
  void last_attempt();
  // Bytes put so far (flushed or not).
  uint64_t written() const { return flushed_ + used_; }

 private:
  int fd_ = -1;
  std::vector<uint8_t>* memory_ = nullptr;
  size_t used_ = 0;
  uint64_t flushed_ = 0;
  std::optional<IndexError> error_;
  uint8_t buffer_[kWriteBufferBytes];
};

}  // namespace lodex
