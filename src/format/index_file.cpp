// Reading and writing index files: the original .ldx format (layout table in
// index_file.hpp), and the choice between it and the mappable format
// (mappable_file.hpp) by magic on load and by parameters on save. The .ldx
// reader trusts nothing in the header: every row's bytes are bounds-checked
// against the file's length before any row is read, nothing is reserved that
// the file's length could not back, and nothing is read past what the rows
// need. Regular files are read in pieces straight into the store. The writer
// streams through one 8192-byte buffer, and replaces a regular file by
// rename.
#include "format/index_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lodex {
namespace {

constexpr uint32_t kMagic = 0x4958444C;  // "LDXI" read as a little-endian u32
constexpr uint16_t kVersion = 1;

// Header field offsets; the sections follow the header back to back.
constexpr size_t kVersionAt = 4;
constexpr size_t kDimAt = 6;
constexpr size_t kBitsAt = 10;
constexpr size_t kUseQjlAt = 11;
constexpr size_t kSeedAt = 12;
constexpr size_t kCountAt = 20;
constexpr size_t kNormsOffsetAt = 28;
constexpr size_t kCodesOffsetAt = 36;
constexpr size_t kQjlOffsetAt = 44;
static_assert(kQjlOffsetAt + 8 == kHeaderBytes);

constexpr size_t kIdBytes = 8;
constexpr size_t kNormBytes = 2;

// Locates entry `row` of a section of `stride`-byte entries starting at
// `base`. Sums are taken in 128 bits, so an offset near 2^64 or a huge
// stride cannot wrap around into the file: it lands past the end instead.
struct Span128 {
  u128 start;
  u128 end;
};

Span128 entry_at(uint64_t base, uint64_t row, uint64_t stride) {
  const u128 start = static_cast<u128>(base) + static_cast<u128>(row) * stride;
  return {start, start + stride};
}

IndexError row_outside(uint64_t row, const char* what, Span128 at, size_t file_len) {
  return IndexError::internal_fault("row " + std::to_string(row) + " lies outside the file: " + what + " bytes " +
                                    u128_text(at.start) + ".." + u128_text(at.end) + " beyond length " +
                                    std::to_string(file_len));
}

// The header's fields, decoded as the layout table says. `version` is not
// read, `bits` is taken as stored, any non-zero `use_qjl` byte is true.
struct Header {
  uint64_t dim;
  uint8_t bits;
  bool use_qjl;
  uint64_t seed;
  uint64_t count;
  uint64_t norms_offset;
  uint64_t codes_offset;
  uint64_t qjl_offset;

  // dim < 2^32 and bits < 2^8 keep both sizes far below 2^64.
  uint64_t code_bytes() const { return code_bytes_for(dim, bits); }
  uint64_t qjl_bytes() const { return qjl_bytes_for(dim); }
  bool reads_qjl() const { return use_qjl && qjl_offset != 0; }
};

Header decode_header(const uint8_t* f) {
  Header h;
  h.dim = load_le<uint32_t>(f + kDimAt);
  h.bits = f[kBitsAt];
  h.use_qjl = f[kUseQjlAt] != 0;
  h.seed = load_le<uint64_t>(f + kSeedAt);
  h.count = load_le<uint64_t>(f + kCountAt);
  h.norms_offset = load_le<uint64_t>(f + kNormsOffsetAt);
  h.codes_offset = load_le<uint64_t>(f + kCodesOffsetAt);
  h.qjl_offset = load_le<uint64_t>(f + kQjlOffsetAt);
  return h;
}

// One per-row section: where its entry for row 0 starts and how long each
// entry is, and its name in the message of a row outside the file.
struct Section {
  uint64_t base;
  uint64_t stride;
  const char* what;
};

// The sections a row is read from, in the order its checks run.
struct RowSections {
  Section at[4];
  size_t count;
};

RowSections row_sections(const Header& h) {
  RowSections s{{{kHeaderBytes, kIdBytes, "id"}, {h.norms_offset, kNormBytes, "norm"}, {h.codes_offset, h.code_bytes(), "code"}},
                3};
  if (h.reads_qjl()) s.at[s.count++] = {h.qjl_offset, h.qjl_bytes(), "QJL"};
  return s;
}

// How many of rows 0 .. count-1 have their entry of `s` inside `len` bytes.
// Entry i ends at base + (i + 1) * stride, so the rows inside are a prefix:
// rows below the result are inside, the row at the result (if any) is not.
uint64_t rows_inside(const Section& s, uint64_t count, size_t len) {
  if (s.base > len) return 0;
  if (s.stride == 0) return count;
  return std::min<uint64_t>(count, (len - s.base) / s.stride);
}

// The error of the first row with an entry outside the file, checking a
// row's sections in order, as a row-by-row reader would meet it; nothing
// when every row lies inside. Decided from the header and the length alone,
// so a load knows before reading any row whether all of them can be read.
std::optional<IndexError> first_row_outside(const Header& h, size_t len) {
  const RowSections sections = row_sections(h);
  uint64_t first_bad = h.count;
  for (size_t k = 0; k < sections.count; ++k) first_bad = std::min(first_bad, rows_inside(sections.at[k], h.count, len));
  if (first_bad == h.count) return std::nullopt;
  for (size_t k = 0; k < sections.count; ++k) {
    const Section& s = sections.at[k];
    const Span128 at = entry_at(s.base, first_bad, s.stride);
    if (at.end > len) return row_outside(first_bad, s.what, at, len);
  }
  return std::nullopt;  // unreachable: some section stops at first_bad
}

// Rows are read in pieces of about this many bytes (all sections together),
// so that a load holds the store and one piece, never the file's bytes too.
constexpr uint64_t kPieceBytes = uint64_t{1} << 20;

// Builds the store from a file whose every row lies inside it (checked by
// first_row_outside). `source.read(slot, offset, n)` yields the n bytes at
// `offset`, valid until the next read of the same slot (one slot per
// section), or the error that stopped the read.
template <class Source>
Result<Storage> read_rows(const Header& h, size_t len, Source& source) {
  const uint64_t count = h.count;
  const uint64_t code_bytes = h.code_bytes();
  const uint64_t qjl_bytes = h.qjl_bytes();

  Storage storage(h.dim, h.seed, h.bits, h.use_qjl);
  // `count` is only a claim. Reserve no more rows than the bytes after the
  // header could hold if laid out as the writer does; a file whose sections
  // overlap may still hold more, and those rows simply grow the store.
  const uint64_t per_row = kIdBytes + kNormBytes + code_bytes + (h.use_qjl ? qjl_bytes : 0);
  storage.reserve(static_cast<size_t>(std::min<uint64_t>(count, (len - kHeaderBytes) / per_row)));
  if (count == 0) return storage;

  // Every entry lies inside the file, so offsets and piece lengths below fit
  // in size_t and never wrap.
  const uint64_t read_per_row = kIdBytes + kNormBytes + code_bytes + (h.reads_qjl() ? qjl_bytes : 0);
  const uint64_t piece = std::clamp<uint64_t>(kPieceBytes / read_per_row, 1, count);
  for (uint64_t first = 0; first < count; first += piece) {
    const size_t n = static_cast<size_t>(std::min(piece, count - first));
    const auto ids = source.read(0, kHeaderBytes + first * kIdBytes, n * kIdBytes);
    if (!ids) return std::unexpected(ids.error());
    const auto norms = source.read(1, h.norms_offset + first * kNormBytes, n * kNormBytes);
    if (!norms) return std::unexpected(norms.error());
    const auto codes = source.read(2, h.codes_offset + first * code_bytes, n * code_bytes);
    if (!codes) return std::unexpected(codes.error());
    const uint8_t* qjl = nullptr;
    if (h.reads_qjl()) {
      const auto got = source.read(3, h.qjl_offset + first * qjl_bytes, n * qjl_bytes);
      if (!got) return std::unexpected(got.error());
      qjl = *got;
    }
    for (size_t r = 0; r < n; ++r) {
      std::optional<std::span<const uint8_t>> row_qjl;
      if (qjl != nullptr) row_qjl = std::span(qjl + r * qjl_bytes, static_cast<size_t>(qjl_bytes));
      storage.push(load_le<uint64_t>(*ids + r * kIdBytes), load_le<uint16_t>(*norms + r * kNormBytes),
                   std::span(*codes + r * code_bytes, static_cast<size_t>(code_bytes)), row_qjl);
    }
  }
  return storage;
}

// A file image in memory: reads are views into it.
struct MemorySource {
  const uint8_t* file;
  Result<const uint8_t*> read(size_t, uint64_t offset, size_t) const { return file + offset; }
};

// The checks and the rows of a file of `len` bytes whose header is `head`.
template <class Source>
Result<Storage> parse_from(std::span<const uint8_t> head, size_t len, Source& source) {
  if (head.size() < kHeaderBytes || len < kHeaderBytes) {
    return std::unexpected(IndexError::invalid_file("file too small"));
  }
  if (load_le<uint32_t>(head.data()) != kMagic) return std::unexpected(IndexError::invalid_file("bad magic"));
  const Header h = decode_header(head.data());
  if (auto outside = first_row_outside(h, len)) return std::unexpected(std::move(*outside));
  return catching<Storage>([&] { return read_rows(h, len, source); });
}

// The bytes of one load. realloc rather than a vector: a failed growth must
// come back as a value, and a vector would zero what read() overwrites next.
class ReadBuffer {
 public:
  bool reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
    void* grown = std::realloc(data_.get(), capacity);
    if (grown == nullptr) return false;
    data_.release();
    data_.reset(static_cast<uint8_t*>(grown));
    capacity_ = capacity;
    return true;
  }

  // Reads until the buffer holds `limit` bytes or the file ends. Room is
  // made as bytes arrive, doubling, never past `limit`: a pipe or a device
  // whose length nobody knows costs what it delivers, not what it claims.
  Status fill(int fd, size_t limit, const StopOnSignal& stop_on_signal) {
    while (size_ < limit) {
      if (size_ == capacity_ && !reserve(std::min(limit, std::max(capacity_ * 2, kFirstGrowth)))) {
        return std::unexpected(IndexError::out_of_memory());
      }
      // Linux moves at most about 2 GiB per read; ask for no more than that.
      const size_t want = std::min<size_t>(capacity_ - size_, size_t{1} << 30);
      const ssize_t got = read_some(fd, data_.get() + size_, want, stop_on_signal);
      if (got < 0) return std::unexpected(IndexError::os_error(errno));
      if (got == 0) return {};
      size_ += static_cast<size_t>(got);
    }
    return {};
  }

  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }

 private:
  static constexpr size_t kFirstGrowth = size_t{64} << 10;

  static ssize_t read_some(int fd, uint8_t* out, size_t n, const StopOnSignal& stop_on_signal) {
    for (;;) {
      const ssize_t got = ::read(fd, out, n);
      if (got >= 0 || errno != EINTR) return got;
      if (stop_on_signal && stop_on_signal()) {
        errno = EINTR;  // the check may have changed it
        return -1;
      }
    }
  }

  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> data_;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// A pipe or a device: the header first, then as much as it says the rows
// need, into one buffer that grows only as bytes arrive (nobody knows the
// length of what is still to come).
Status read_stream(int fd, ReadBuffer& buffer, const StopOnSignal& stop_on_signal) {
  if (!buffer.reserve(kHeaderBytes)) return std::unexpected(IndexError::out_of_memory());
  // What is needed grows as the header is seen: a mappable file's header is
  // longer than the first bytes that tell its format.
  for (size_t needed = kHeaderBytes;;) {
    if (Status s = buffer.fill(fd, needed, stop_on_signal); !s) return s;
    const size_t more = index_file_bytes_needed(buffer.bytes());
    if (more <= needed || buffer.bytes().size() < needed) return {};
    needed = more;
  }
}

// A regular file read piece by piece at the offsets the rows need, each
// section into a buffer of its own that is reused from piece to piece.
class FileSource {
 public:
  FileSource(int fd, const StopOnSignal& stop_on_signal) : fd_(fd), stop_on_signal_(stop_on_signal) {}

  Result<const uint8_t*> read(size_t slot, uint64_t offset, size_t n) {
    Slot& s = slots_[slot];
    if (s.capacity < n) {
      s.data.reset();
      s.data.reset(new uint8_t[n]);  // std::bad_alloc ends the parse as OutOfMemory
      s.capacity = n;
    }
    const Result<size_t> got = read_up_to(fd_, offset, n, s.data.get(), stop_on_signal_);
    if (!got) return std::unexpected(got.error());
    // The length was taken before the rows were read: a file cut short
    // meanwhile by someone else cannot be told from a broken one.
    if (*got != n) return std::unexpected(IndexError::io_error("the file became shorter while it was read"));
    return s.data.get();
  }

 private:
  struct Slot {
    std::unique_ptr<uint8_t[]> data;
    size_t capacity = 0;
  };
  int fd_;
  const StopOnSignal& stop_on_signal_;
  Slot slots_[4];
};

// The parameters of an .ldx file's index: the original layout holds no others.
Result<StoredIndex> with_plain_params(Result<Storage> storage) {
  if (!storage) return std::unexpected(std::move(storage.error()));
  IndexParams params = plain_params(*storage);
  return StoredIndex{std::move(params), std::move(*storage)};
}

// A mappable file of `len` bytes whose header is `head`, read into memory.
Result<StoredIndex> parse_mappable(std::span<const uint8_t> head, uint64_t len, ByteSource& source) {
  Result<MappableLayout> layout = check_mappable_header(head, len);
  if (!layout) return std::unexpected(std::move(layout.error()));
  return read_mappable(*layout, source);
}

// A regular file: its header, then the rows straight into the store. Row
// checks use the length fstat gave (capped at what the rows need), as they
// would for a file read whole.
Result<StoredIndex> load_regular(int fd, uint64_t length, const StopOnSignal& stop_on_signal) {
  uint8_t head[std::max(kHeaderBytes, kMappableHeaderBytes)];
  const Result<size_t> got = read_up_to(fd, 0, sizeof head, head, stop_on_signal);
  if (!got) return std::unexpected(got.error());
  if (is_mappable_file({head, *got})) {
    PreadSource source(fd, stop_on_signal);
    return parse_mappable({head, *got}, length, source);
  }
  const std::span<const uint8_t> header(head, std::min(*got, kHeaderBytes));
  const size_t len = header.size() < kHeaderBytes
                         ? header.size()
                         : std::max(kHeaderBytes, static_cast<size_t>(std::min<uint64_t>(
                                                      index_file_bytes_needed(header), length)));
  FileSource source(fd, stop_on_signal);
  return with_plain_params(parse_from(header, len, source));
}

void write_header(FileWriter& out, const Storage& s) {
  const uint64_t n = s.len();
  const uint64_t code_bytes = s.code_bytes();
  uint8_t* h = out.room(kHeaderBytes);
  if (h == nullptr) return;
  store_le<uint32_t>(h, kMagic);
  store_le<uint16_t>(h + kVersionAt, kVersion);
  store_le<uint32_t>(h + kDimAt, static_cast<uint32_t>(s.dim()));
  h[kBitsAt] = s.bits();
  h[kUseQjlAt] = s.use_qjl() ? 1 : 0;
  store_le<uint64_t>(h + kSeedAt, s.seed());
  store_le<uint64_t>(h + kCountAt, n);
  store_le<uint64_t>(h + kNormsOffsetAt, kHeaderBytes + kIdBytes * n);
  store_le<uint64_t>(h + kCodesOffsetAt, kHeaderBytes + (kIdBytes + kNormBytes) * n);
  store_le<uint64_t>(h + kQjlOffsetAt, s.use_qjl() ? kHeaderBytes + (kIdBytes + kNormBytes + code_bytes) * n : 0);
}

void write_sections(FileWriter& out, const Storage& s) {
  const size_t n = s.len();
  for (size_t i = 0; i < n && out.ok(); ++i) out.put_le<uint64_t>(s.id(i));
  // Through get_norm and back, as the format defines it: the stored bits
  // come out unchanged except that a NaN leaves with its quiet bit set.
  for (size_t i = 0; i < n && out.ok(); ++i) out.put_le<uint16_t>(bf16_from_f32(*s.get_norm(i)));

  // Codes are interleaved across rows in the store, so each row is gathered
  // straight into the write buffer; only a row wider than the buffer needs
  // a row-sized scratch array.
  const size_t code_bytes = s.code_bytes();
  if (code_bytes == 0) {
    // Only a file with a crafted bits byte of 0 gets here: nothing to write.
  } else if (code_bytes <= kWriteBufferBytes) {
    for (size_t i = 0; i < n; ++i) {
      uint8_t* at = out.room(code_bytes);
      if (at == nullptr) break;
      s.copy_codes(i, {at, code_bytes});
    }
  } else if (n > 0) {
    std::vector<uint8_t> row(code_bytes);
    for (size_t i = 0; i < n && out.ok(); ++i) {
      s.copy_codes(i, row);
      out.put(row.data(), row.size());
    }
  }

  if (!s.use_qjl()) return;
  for (size_t i = 0; i < n && out.ok(); ++i) {
    if (const auto qjl = s.qjl_bits(i)) {
      out.put(qjl->data(), qjl->size());
    } else {
      out.put_zeros(s.qjl_bytes());
    }
  }
}

// What a save writes: an index, and whether in the mappable format (always
// for parameters the original format cannot hold).
struct Contents {
  const IndexParams& params;
  const Storage& storage;
  bool mappable;
};

void write_contents(FileWriter& out, const Contents& c) {
  if (c.mappable) {
    write_mappable(out, c.params, c.storage);
  } else {
    write_header(out, c.storage);
    write_sections(out, c.storage);
  }
}

// Lays the whole file down through the buffer and flushes it. The outcome is
// the first failure of any write.
Status stream_index(int fd, const Contents& c, bool last_attempt_on_failure) {
  FileWriter out(fd);
  write_contents(out, c);
  if (out.flush()) return {};
  if (last_attempt_on_failure) out.last_attempt();
  return std::unexpected(out.error());
}

// What a save path ends at once symbolic links are followed.
struct Target {
  std::string path;
  std::optional<struct stat> existing;  // absent when nothing is there yet
};

std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Result<std::string> read_link(const std::string& path) {
  std::string target(PATH_MAX, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::unexpected(IndexError::os_error(errno));
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// Follows a chain of symbolic links to the name that is finally replaced, so
// the link itself stays a link. A dangling link resolves to the missing
// name it points at, which is then created, as open(O_CREAT) would.
Result<Target> resolve_target(std::string path) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit for one lookup
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return Target{std::move(path), std::nullopt};
      return std::unexpected(IndexError::os_error(errno));
    }
    if (!S_ISLNK(st.st_mode)) return Target{std::move(path), st};
    if (hops == kMaxLinks) return std::unexpected(IndexError::os_error(ELOOP));
    Result<std::string> link = read_link(path);
    if (!link) return std::unexpected(std::move(link.error()));
    path = (!link->empty() && (*link)[0] == '/') ? std::move(*link) : parent_of(path) + "/" + *link;
  }
}

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Creates a fresh sibling of `target` to write into. open(O_CREAT|O_EXCL,
// 0666) rather than mkstemp, so the kernel applies the umask (mkstemp would
// force 0600, and reading the umask means changing it, which races with
// every other thread of the process). Fails with the errno of the last try.
std::expected<std::pair<int, std::string>, int> create_sibling(const std::string& target) {
  static std::atomic<uint64_t> counter{0};
  // Keep the name within NAME_MAX however long the target's own name is.
  constexpr size_t kSuffixBytes = 13;  // ".tmp." and 8 random characters
  const std::string base = base_of(target);
  const std::string stem = base.size() + kSuffixBytes <= NAME_MAX
                               ? target
                               : parent_of(target) + "/" + base.substr(0, NAME_MAX - kSuffixBytes);
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t state = mix64(static_cast<uint64_t>(::getpid()) << 32 ^ static_cast<uint64_t>(now.tv_nsec) ^
                         static_cast<uint64_t>(now.tv_sec) << 40);
  for (int attempt = 0;; ++attempt) {
    state = mix64(state ^ counter.fetch_add(1, std::memory_order_relaxed));
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = stem + ".tmp.";
    uint64_t bits = state;
    for (int k = 0; k < 8; ++k, bits /= 36) name += kAlphabet[bits % 36];
    const int fd = open_retrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) return std::pair{fd, std::move(name)};
    if (errno != EEXIST || attempt == 100) return std::unexpected(errno);
  }
}

// Writes the target where it is, truncating it first. For devices, FIFOs and
// the like, which a rename could not replace. Never for a regular file: a
// write that then fails would leave it torn.
Status save_in_place(const std::string& path, const Contents& s) {
  const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return std::unexpected(IndexError::os_error(errno));
  Status written = stream_index(fd, s, /*last_attempt_on_failure=*/true);
  ::close(fd);
  return written;
}

Status save_by_rename(const Target& target, const Contents& s) {
  auto created = create_sibling(target.path);
  // A directory that takes no new names (EACCES, EPERM) fails the save even
  // when the file itself is writable: the old file is the one thing a failed
  // save must not lose.
  if (!created) return std::unexpected(IndexError::os_error(created.error()));
  const int fd = created->first;
  const std::string temp = std::move(created->second);

  auto fail = [&](IndexError e, bool still_open) -> Status {
    if (still_open) ::close(fd);
    ::unlink(temp.c_str());
    return std::unexpected(std::move(e));
  };

  if (target.existing) {
    // The replacement takes the old file's place, so it takes its mode and,
    // where the process may give them, its owners.
    if (::fchmod(fd, target.existing->st_mode & 07777) != 0) return fail(IndexError::os_error(errno), true);
    if (target.existing->st_uid != ::geteuid() || target.existing->st_gid != ::getegid()) {
      (void)::fchown(fd, target.existing->st_uid, target.existing->st_gid);
    }
  }
  if (Status written = stream_index(fd, s, /*last_attempt_on_failure=*/false); !written) {
    return fail(std::move(written.error()), true);
  }
  // The data must be on disk before the name points at it, or a crash right
  // after the rename could leave an empty file where the old one was.
  if (::fsync(fd) != 0) return fail(IndexError::os_error(errno), true);
  if (::close(fd) != 0 && errno != EINTR) return fail(IndexError::os_error(errno), false);
  if (::rename(temp.c_str(), target.path.c_str()) != 0) return fail(IndexError::os_error(errno), false);

  // Make the rename itself durable. The file is already in place, so a
  // failure here would be misleading to report.
  const int dir = open_retrying(parent_of(target.path).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return {};
}

// The original header holds the dimension in 32 bits: a wider index has no
// file of that format.
Status dimension_fits(const Contents& c) {
  if (c.mappable || c.storage.dim() <= std::numeric_limits<uint32_t>::max()) return {};
  const Storage& storage = c.storage;
  return std::unexpected(
      IndexError::invalid_argument("dimension " + std::to_string(storage.dim()) + " does not fit the file format"));
}

}  // namespace

Result<StoredIndex> parse_index_file(std::span<const uint8_t> file) {
  if (is_mappable_file(file)) {
    SpanSource source(file);
    return parse_mappable(file.first(std::min(file.size(), kMappableHeaderBytes)), file.size(), source);
  }
  MemorySource source{file.data()};
  return with_plain_params(parse_from(file, file.size(), source));
}

Result<std::vector<uint8_t>> index_file_bytes(const IndexParams& params, const Storage& storage, bool mappable) {
  const Contents contents{params, storage, mappable || !params.plain()};
  if (Status fits = dimension_fits(contents); !fits) return std::unexpected(std::move(fits.error()));
  return catching<std::vector<uint8_t>>([&] {
    std::vector<uint8_t> bytes;
    bytes.reserve(contents.mappable
                      ? mappable_file_bytes(params, storage)
                      : kHeaderBytes + storage.len() * (kIdBytes + kNormBytes + storage.code_bytes() +
                                                        (storage.use_qjl() ? storage.qjl_bytes() : 0)));
    FileWriter out(&bytes);
    write_contents(out, contents);
    out.flush();
    return bytes;
  });
}

Result<std::vector<uint8_t>> index_file_bytes(const Storage& storage) {
  return index_file_bytes(plain_params(storage), storage, false);
}

size_t index_file_bytes_needed(std::span<const uint8_t> file) {
  if (is_mappable_file(file)) return mappable_bytes_needed(file);
  // The parser stops at the header for these two.
  if (file.size() < kHeaderBytes || load_le<uint32_t>(file.data()) != kMagic) return kHeaderBytes;
  const Header h = decode_header(file.data());
  if (h.count == 0) return kHeaderBytes;
  // The last row's entries end farthest in every section (strides are never
  // negative); these are the very bounds the parser checks.
  const uint64_t last = h.count - 1;
  u128 end = entry_at(kHeaderBytes, last, kIdBytes).end;
  end = std::max(end, entry_at(h.norms_offset, last, kNormBytes).end);
  end = std::max(end, entry_at(h.codes_offset, last, h.code_bytes()).end);
  if (h.reads_qjl()) end = std::max(end, entry_at(h.qjl_offset, last, h.qjl_bytes()).end);
  return end > std::numeric_limits<size_t>::max() ? std::numeric_limits<size_t>::max() : static_cast<size_t>(end);
}

Result<StoredIndex> load_index_file(const std::string& path, const StopOnSignal& stop_on_signal) {
  if (path.find('\0') != std::string::npos) return std::unexpected(nul_in_path());
  const int fd = open_retrying(path.c_str(), O_RDONLY, 0, stop_on_signal);
  if (fd < 0) return std::unexpected(IndexError::os_error(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return std::unexpected(IndexError::os_error(error));
  }
  if (S_ISREG(st.st_mode)) {
    Result<StoredIndex> loaded =
        load_regular(fd, static_cast<uint64_t>(std::max<off_t>(st.st_size, 0)), stop_on_signal);
    ::close(fd);
    return loaded;
  }
  ReadBuffer buffer;
  const Status read = read_stream(fd, buffer, stop_on_signal);
  ::close(fd);
  if (!read) return std::unexpected(read.error());
  return parse_index_file(buffer.bytes());
}

Result<StoredIndex> map_index_file(const std::string& path, bool warm) { return map_mappable_file(path, warm); }

Status save_index_file(const std::string& path, const IndexParams& params, const Storage& storage, bool mappable) {
  const Contents contents{params, storage, mappable || !params.plain()};
  if (path.find('\0') != std::string::npos) return std::unexpected(nul_in_path());
  if (Status fits = dimension_fits(contents); !fits) return fits;
  // An empty name is refused by open(); say so rather than invent a sibling.
  if (path.empty()) return std::unexpected(IndexError::os_error(ENOENT));

  Result<Target> target = resolve_target(path);
  if (!target) return std::unexpected(std::move(target.error()));
  // A name ending in '/' has no sibling to stand in for it; open() gives the
  // system's own answer for it.
  const bool replaceable =
      !base_of(target->path).empty() && (!target->existing || S_ISREG(target->existing->st_mode));
  return replaceable ? save_by_rename(*target, contents) : save_in_place(target->path, contents);
}

Status save_index_file(const std::string& path, const Storage& storage) {
  return save_index_file(path, plain_params(storage), storage, false);
}

IndexParams plain_params(const Storage& storage) {
  IndexParams params;
  params.dim = storage.dim();
  params.bits = storage.bits();
  params.use_qjl = storage.use_qjl();
  params.seed = storage.seed();
  return params;
}

}  // namespace lodex
