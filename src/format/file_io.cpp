// Byte-level reads and writes shared by both index file formats: retries on
// signals and short transfers, and the streaming write buffer. Errors are
// returned as values.
#include "format/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

namespace lodex {

std::string u128_text(u128 v) {
  char digits[40];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  return std::string(std::make_reverse_iterator(digits + n), std::make_reverse_iterator(digits));
}

IndexError nul_in_path() { return IndexError::io_error("file name contained an unexpected NUL byte"); }

int open_retrying(const char* path, int flags, mode_t mode, const StopOnSignal& stop_on_signal) {
  for (;;) {
    const int fd = ::open(path, flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EINTR) return fd;
    if (stop_on_signal && stop_on_signal()) {
      errno = EINTR;  // the check may have changed it
      return -1;
    }
  }
}

Result<size_t> read_up_to(int fd, uint64_t offset, size_t n, uint8_t* out, const StopOnSignal& stop_on_signal) {
  size_t done = 0;
  while (done < n) {
    // Linux moves at most about 2 GiB per read; ask for no more than that.
    const ssize_t got = ::pread(fd, out + done, std::min<size_t>(n - done, size_t{1} << 30),
                                static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno != EINTR) return std::unexpected(IndexError::os_error(errno));
      if (stop_on_signal && stop_on_signal()) return std::unexpected(IndexError::os_error(EINTR));
      continue;
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

Status SpanSource::read(uint64_t offset, std::span<uint8_t> out) {
  if (!out.empty()) std::memcpy(out.data(), file_.data() + offset, out.size());
  return {};
}

Status PreadSource::read(uint64_t offset, std::span<uint8_t> out) {
  const Result<size_t> got = read_up_to(fd_, offset, out.size(), out.data(), stop_on_signal_);
  if (!got) return std::unexpected(got.error());
  // The length was taken before the rows were read: a file cut short
  // meanwhile by someone else cannot be told from a broken one.
  if (*got != out.size()) return std::unexpected(IndexError::io_error("the file became shorter while it was read"));
  return {};
}

Status write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, p, std::min<size_t>(n, size_t{1} << 30));
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IndexError::os_error(errno));
    }
    if (put == 0) return std::unexpected(IndexError::io_error("failed to write whole buffer"));
    p += put;
    n -= static_cast<size_t>(put);
  }
  return {};
}

uint8_t* FileWriter::room(size_t n) {
  if (used_ + n > kWriteBufferBytes && !flush()) return nullptr;
  if (!ok()) return nullptr;
  uint8_t* at = buffer_ + used_;
  used_ += n;
  return at;
}

void FileWriter::put(const uint8_t* p, size_t n) {
  while (n > 0 && ok()) {
    if (used_ == kWriteBufferBytes && !flush()) return;
    const size_t take = std::min(n, kWriteBufferBytes - used_);
    std::memcpy(buffer_ + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
  }
}

void FileWriter::put_zeros(uint64_t n) {
  while (n > 0 && ok()) {
    if (used_ == kWriteBufferBytes && !flush()) return;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, kWriteBufferBytes - used_));
    std::memset(buffer_ + used_, 0, take);
    used_ += take;
    n -= take;
  }
}

bool FileWriter::flush() {
  if (!ok()) return false;
  if (memory_ != nullptr) {
    memory_->insert(memory_->end(), buffer_, buffer_ + used_);
  } else if (Status s = write_all(fd_, buffer_, used_); !s) {
    error_ = std::move(s.error());
    return false;
  }
  flushed_ += used_;
  used_ = 0;
  return true;
}

void FileWriter::last_attempt() { (void)write_all(fd_, buffer_, used_); }

}  // namespace lodex
