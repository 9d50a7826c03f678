// The mappable index file (layout table in mappable_file.hpp): its header
// checks, the reader that copies a file into an owning store, the mapper
// that serves one from a read-only shared map, and the streaming writer.
// Errors are values; the only memory read without a length check is the map,
// whose every section was checked against the file's length at open.
#include "format/mappable_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

namespace lodex {
namespace {

constexpr uint32_t kOriginalMagic = 0x4958444C;  // "LDXI": the original .ldx format

// Header field offsets.
constexpr size_t kVersionAt = 4;
constexpr size_t kDimAt = 8;
constexpr size_t kWidthAt = 16;
constexpr size_t kSeedAt = 24;
constexpr size_t kCountAt = 32;
constexpr size_t kWordsAt = 40;
constexpr size_t kChunkRowsAt = 48;
constexpr size_t kBlockRowsAt = 52;
constexpr size_t kBitsAt = 54;
constexpr size_t kUseQjlAt = 55;
constexpr size_t kMetricAt = 56;
constexpr size_t kRotationAt = 57;
constexpr size_t kCenterAt = 64;
constexpr size_t kIdsAt = 72;
constexpr size_t kNormsAt = 80;
constexpr size_t kTermsAt = 88;
constexpr size_t kCodesAt = 96;
constexpr size_t kQjlAt = 104;
static_assert(kQjlAt + 8 + 16 == kMappableHeaderBytes);

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

u128 align_up(u128 offset, uint64_t alignment) { return (offset + alignment - 1) / alignment * alignment; }

// a * b, or the largest u128 when that overflows: a section that large lies
// past any file, which is all its size is compared with.
u128 saturating_product(u128 a, u128 b) {
  constexpr u128 kMax = ~u128{0};
  if (a != 0 && b > kMax / a) return kMax;
  return a * b;
}

uint64_t block_bytes(uint64_t words_per_row) { return words_per_row * kBlockRows * sizeof(uint32_t); }

IndexError invalid(std::string reason) { return IndexError::invalid_file(std::move(reason)); }

// The sizes of a file's sections, from the header's counts alone.
struct SectionSizes {
  u128 center, ids, norms, terms, codes, qjl;
};

SectionSizes section_sizes(uint64_t dim, uint64_t width, uint64_t count, uint64_t words_per_row, bool terms,
                           bool qjl) {
  const u128 blocks = (u128{count} + kBlockRows - 1) / kBlockRows;
  return {u128{dim} * sizeof(float),
          u128{count} * sizeof(uint64_t),
          u128{count} * sizeof(uint16_t),
          terms ? u128{count} * sizeof(float) : 0,
          saturating_product(blocks, u128{words_per_row} * kBlockRows * sizeof(uint32_t)),
          qjl ? u128{count} * qjl_bytes_for(width) : 0};
}

struct Section {
  const char* name;
  uint64_t offset;
  u128 bytes;
};

// The checks of the parameters, in header order.
Status check_parameters(uint64_t dim, uint64_t width, uint8_t bits, uint8_t use_qjl, uint8_t metric,
                        uint8_t rotation) {
  if (bits < 2 || bits > 5) return std::unexpected(invalid("bits " + std::to_string(bits) + " outside 2-5"));
  if (use_qjl > 1) return std::unexpected(invalid("use_qjl byte " + std::to_string(use_qjl) + " is neither 0 nor 1"));
  if (metric > static_cast<uint8_t>(Metric::kL2)) {
    return std::unexpected(invalid("unknown metric " + std::to_string(metric)));
  }
  if (rotation > static_cast<uint8_t>(RotationKind::kGeneral)) {
    return std::unexpected(invalid("unknown rotation " + std::to_string(rotation)));
  }
  if (dim == 0) return std::unexpected(invalid("dimension 0"));
  if (static_cast<RotationKind>(rotation) == RotationKind::kHadamard) {
    if (!std::has_single_bit(dim)) {
      return std::unexpected(invalid("dimension " + std::to_string(dim) + " is not a power of 2 (Hadamard rotation)"));
    }
    if (width != dim) {
      return std::unexpected(invalid("width " + std::to_string(width) + " differs from dimension " +
                                     std::to_string(dim) + " (Hadamard rotation)"));
    }
  } else if (width < dim || u128{width} > align_up(dim, 32)) {
    return std::unexpected(invalid("width " + std::to_string(width) + " does not fit dimension " + std::to_string(dim)));
  }
  return {};
}

}  // namespace

bool is_mappable_file(std::span<const uint8_t> head) {
  return head.size() >= 4 && load_le<uint32_t>(head.data()) == kMappableMagic;
}

namespace {

// The version and the block layout: the first fields a reader checks.
Status check_format(const uint8_t* h) {
  const uint16_t version = load_le<uint16_t>(h + kVersionAt);
  if (version != kMappableVersion) {
    return std::unexpected(invalid("unsupported version " + std::to_string(version) + " (this lodex reads version " +
                                   std::to_string(kMappableVersion) + ")"));
  }
  const uint32_t chunk_rows = load_le<uint32_t>(h + kChunkRowsAt);
  const uint16_t block_rows = load_le<uint16_t>(h + kBlockRowsAt);
  if (chunk_rows != kChunkRows || block_rows != kBlockRows) {
    return std::unexpected(invalid("unsupported layout: blocks of " + std::to_string(block_rows) +
                                   " rows in chunks of " + std::to_string(chunk_rows) + " rows"));
  }
  return {};
}

// The index parameters and the row shape into `l`, checked in header order.
Status read_parameters(const uint8_t* h, MappableLayout& l) {
  l.params.dim = load_le<uint64_t>(h + kDimAt);
  l.width = load_le<uint64_t>(h + kWidthAt);
  l.params.seed = load_le<uint64_t>(h + kSeedAt);
  l.count = load_le<uint64_t>(h + kCountAt);
  l.words_per_row = load_le<uint64_t>(h + kWordsAt);
  l.params.bits = h[kBitsAt];
  if (Status ok = check_parameters(l.params.dim, l.width, h[kBitsAt], h[kUseQjlAt], h[kMetricAt], h[kRotationAt]);
      !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  l.params.use_qjl = h[kUseQjlAt] == 1;
  l.params.metric = static_cast<Metric>(h[kMetricAt]);
  l.params.rotation = static_cast<RotationKind>(h[kRotationAt]);
  const uint64_t words = words_per_row_for(l.width, l.params.bits);
  if (l.words_per_row != words) {
    return std::unexpected(invalid(std::to_string(l.words_per_row) + " words per row where width " +
                                   std::to_string(l.width) + " at " + std::to_string(l.params.bits) + " bits takes " +
                                   std::to_string(words)));
  }
  return {};
}

// The section offsets into `l`; a QJL section exactly when use_qjl says so.
Status read_offsets(const uint8_t* h, MappableLayout& l) {
  l.center_offset = load_le<uint64_t>(h + kCenterAt);
  l.ids_offset = load_le<uint64_t>(h + kIdsAt);
  l.norms_offset = load_le<uint64_t>(h + kNormsAt);
  l.terms_offset = load_le<uint64_t>(h + kTermsAt);
  l.codes_offset = load_le<uint64_t>(h + kCodesAt);
  l.qjl_offset = load_le<uint64_t>(h + kQjlAt);
  if (l.params.use_qjl != (l.qjl_offset != 0)) {
    return std::unexpected(invalid(l.params.use_qjl ? "use_qjl without a QJL section" : "a QJL section without use_qjl"));
  }
  return {};
}

// The sections the layout has (at most six), in header order, with their
// sizes from its counts; returns how many.
size_t list_sections(const MappableLayout& l, Section* sections) {
  const SectionSizes size =
      section_sizes(l.params.dim, l.width, l.count, l.words_per_row, l.terms_offset != 0, l.params.use_qjl);
  size_t n = 0;
  if (l.center_offset != 0) sections[n++] = {"center", l.center_offset, size.center};
  sections[n++] = {"ids", l.ids_offset, size.ids};
  sections[n++] = {"norms", l.norms_offset, size.norms};
  if (l.terms_offset != 0) sections[n++] = {"row terms", l.terms_offset, size.terms};
  sections[n++] = {"codes", l.codes_offset, size.codes};
  if (l.qjl_offset != 0) sections[n++] = {"QJL", l.qjl_offset, size.qjl};
  return n;
}

// Where the farthest section ends, the header's end at least.
u128 far_end_of(const Section* sections, size_t n) {
  u128 end = kMappableHeaderBytes;
  for (size_t i = 0; i < n; ++i) {
    // A sum of a u64 and a product saturated at the top of u128.
    const u128 section_end = sections[i].bytes > ~u128{0} - sections[i].offset ? ~u128{0}
                                                                               : sections[i].offset + sections[i].bytes;
    end = std::max(end, section_end);
  }
  return end;
}

// Each section past the header, aligned and inside the file; then, sorted
// by offset, apart from one another: each ends before the next starts.
Status check_sections(Section* sections, size_t n, uint64_t file_len) {
  for (size_t i = 0; i < n; ++i) {
    const Section& s = sections[i];
    const std::string at = " section at offset " + std::to_string(s.offset);
    if (s.offset < kMappableHeaderBytes) {
      return std::unexpected(invalid(std::string(s.name) + at + " overlaps the header"));
    }
    if (s.offset % kSectionAlignment != 0) return std::unexpected(invalid(std::string("misaligned ") + s.name + at));
    if (s.offset > file_len || s.bytes > file_len - s.offset) {
      return std::unexpected(invalid("truncated: the " + std::string(s.name) + at + " needs " + u128_text(s.bytes) +
                                     " bytes, the file ends at " + std::to_string(file_len)));
    }
  }
  std::sort(sections, sections + n, [](const Section& a, const Section& b) { return a.offset < b.offset; });
  for (size_t i = 1; i < n; ++i) {
    if (u128{sections[i - 1].offset} + sections[i - 1].bytes > sections[i].offset) {
      return std::unexpected(invalid(std::string("the ") + sections[i - 1].name + " and " + sections[i].name +
                                     " sections overlap"));
    }
  }
  return {};
}

// The header's checks. Those that do not depend on the file's length come
// first; `far_end`, when given, then receives where the farthest section
// ends, before the sections are compared with `file_len`.
Result<MappableLayout> check_header(std::span<const uint8_t> head, uint64_t file_len, u128* far_end) {
  if (head.size() < kMappableHeaderBytes || file_len < kMappableHeaderBytes) {
    return std::unexpected(invalid("file too small"));
  }
  const uint8_t* h = head.data();
  if (Status ok = check_format(h); !ok) return std::unexpected(std::move(ok.error()));
  MappableLayout l;
  if (Status ok = read_parameters(h, l); !ok) return std::unexpected(std::move(ok.error()));
  if (Status ok = read_offsets(h, l); !ok) return std::unexpected(std::move(ok.error()));
  Section sections[6];
  const size_t n = list_sections(l, sections);
  const u128 end = far_end_of(sections, n);
  if (far_end != nullptr) *far_end = end;
  if (Status ok = check_sections(sections, n, file_len); !ok) return std::unexpected(std::move(ok.error()));
  l.end = static_cast<uint64_t>(end);  // every section lies inside file_len
  return l;
}

}  // namespace

Result<MappableLayout> check_mappable_header(std::span<const uint8_t> head, uint64_t file_len) {
  return check_header(head, file_len, nullptr);
}

size_t mappable_bytes_needed(std::span<const uint8_t> file) {
  if (file.size() < kMappableHeaderBytes) return kMappableHeaderBytes;
  u128 end = 0;
  (void)check_header(file.first(kMappableHeaderBytes), std::numeric_limits<uint64_t>::max(), &end);
  if (end == 0) return kMappableHeaderBytes;
  return end > std::numeric_limits<size_t>::max() ? std::numeric_limits<size_t>::max() : static_cast<size_t>(end);
}

namespace {

// Reads `n` little-endian values of T at `offset` into `out`.
template <class T>
Status read_array(ByteSource& source, uint64_t offset, T* out, size_t n) {
  if (n == 0) return {};
  if (Status s = source.read(offset, {reinterpret_cast<uint8_t*>(out), n * sizeof(T)}); !s) return s;
  if constexpr (!kLittleEndian) {
    for (size_t i = 0; i < n; ++i) out[i] = load_le<T>(reinterpret_cast<const uint8_t*>(out + i));
  }
  return {};
}

// What push would have stored: zero pad bits past a row's code bytes, and
// zero lanes past the last row of the chunk's last block.
void clear_padding(uint32_t* blocks, size_t rows, size_t words_per_row, size_t code_bytes) {
  const size_t block_words = words_per_row * kBlockRows;
  const size_t block_count = (rows + kBlockRows - 1) / kBlockRows;
  for (size_t w = code_bytes / 4; w < words_per_row; ++w) {
    const size_t kept = code_bytes > 4 * w ? code_bytes - 4 * w : 0;  // 0 to 3 bytes of codes
    const uint32_t mask = kept == 0 ? 0 : (uint32_t{1} << (8 * kept)) - 1;
    for (size_t b = 0; b < block_count; ++b) {
      for (size_t lane = 0; lane < kBlockRows; ++lane) blocks[b * block_words + w * kBlockRows + lane] &= mask;
    }
  }
  uint32_t* last = blocks + (block_count - 1) * block_words;
  for (size_t lane = rows % kBlockRows; lane != 0 && lane < kBlockRows; ++lane) {
    for (size_t w = 0; w < words_per_row; ++w) last[w * kBlockRows + lane] = 0;
  }
}

// QJL bytes are stored only when some row has a set bit: look in pieces
// first, so that the usual all-zero section costs one small buffer.
Status read_qjl(const MappableLayout& l, ByteSource& source, Storage& storage) {
  const uint64_t total = l.count * qjl_bytes_for(l.width);
  constexpr uint64_t kPiece = uint64_t{1} << 20;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min(total, kPiece)));
  bool any = false;
  for (uint64_t at = 0; at < total && !any; at += kPiece) {
    const size_t n = static_cast<size_t>(std::min(kPiece, total - at));
    if (Status s = source.read(l.qjl_offset + at, {piece.data(), n}); !s) return s;
    any = std::any_of(piece.begin(), piece.begin() + static_cast<ptrdiff_t>(n), [](uint8_t b) { return b != 0; });
  }
  if (!any) return {};
  std::vector<uint8_t>().swap(piece);
  std::vector<uint8_t> all(static_cast<size_t>(total));
  if (Status s = source.read(l.qjl_offset, all); !s) return s;
  storage.set_qjl_rows(all);
  return {};
}

}  // namespace

Result<StoredIndex> read_mappable(const MappableLayout& l, ByteSource& source) {
  return catching<StoredIndex>([&]() -> Result<StoredIndex> {
    StoredIndex out{l.params, Storage(l.width, l.params.seed, l.params.bits, l.params.use_qjl, l.terms_offset != 0)};
    Storage& storage = out.storage;
    if (l.center_offset != 0) {
      std::vector<uint32_t> bits(static_cast<size_t>(l.params.dim));
      if (Status s = read_array(source, l.center_offset, bits.data(), bits.size()); !s) return std::unexpected(s.error());
      out.params.center.resize(bits.size());
      std::transform(bits.begin(), bits.end(), out.params.center.begin(), [](uint32_t b) { return std::bit_cast<float>(b); });
    }
    const size_t words = storage.words_per_row();
    const uint64_t chunk_bytes = kBlocksPerChunk * block_bytes(words);
    for (uint64_t first = 0, c = 0; first < l.count; first += kChunkRows, ++c) {
      const size_t rows = static_cast<size_t>(std::min<uint64_t>(kChunkRows, l.count - first));
      const Storage::ChunkSlots slots = storage.append_chunk(rows);
      Status s = read_array(source, l.ids_offset + first * sizeof(uint64_t), slots.ids, rows);
      if (s) s = read_array(source, l.norms_offset + first * sizeof(uint16_t), slots.norms, rows);
      if (s && slots.terms != nullptr) {
        static_assert(sizeof(float) == sizeof(uint32_t));
        s = read_array(source, l.terms_offset + first * sizeof(float), reinterpret_cast<uint32_t*>(slots.terms), rows);
      }
      const size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
      if (s) s = read_array(source, l.codes_offset + c * chunk_bytes, slots.blocks, blocks * words * kBlockRows);
      if (!s) return std::unexpected(s.error());
      clear_padding(slots.blocks, rows, words, storage.code_bytes());
    }
    if (l.params.use_qjl) {
      if (Status s = read_qjl(l, source, storage); !s) return std::unexpected(s.error());
    }
    return out;
  });
}

// ---------------------------------------------------------------------------
// Mapping.

namespace {

// One read-only shared mapping, unmapped when its last user goes.
class Mapping {
 public:
  Mapping(void* base, size_t length) : base_(base), length_(length) {}
  ~Mapping() { ::munmap(base_, length_); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  const uint8_t* at(uint64_t offset) const { return static_cast<const uint8_t*>(base_) + offset; }

 private:
  void* base_;
  size_t length_;
};

Result<StoredIndex> map_open_file(int fd, const std::string& path, bool warm) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(IndexError::os_error(errno));
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(IndexError::invalid_argument("cannot map " + path + ": not a regular file"));
  }
  const uint64_t length = static_cast<uint64_t>(std::max<off_t>(st.st_size, 0));
  uint8_t head[kMappableHeaderBytes];
  const Result<size_t> got = read_up_to(fd, 0, sizeof head, head, {});
  if (!got) return std::unexpected(got.error());
  if (*got >= 4 && load_le<uint32_t>(head) == kOriginalMagic) {
    return std::unexpected(IndexError::invalid_argument(
        "cannot map " + path + ": it is a .ldx file of the original layout; load it without mmap=True and "
        "save it with mappable=True to map it"));
  }
  if (*got < 4) return std::unexpected(invalid("file too small"));
  if (!is_mappable_file(head)) return std::unexpected(invalid("bad magic"));
  Result<MappableLayout> layout = check_mappable_header({head, *got}, length);
  if (!layout) return std::unexpected(std::move(layout.error()));
  const MappableLayout& l = *layout;
  if constexpr (!kLittleEndian) {
    return std::unexpected(IndexError::invalid_argument("cannot map " + path + ": this machine is not little-endian"));
  }

  return catching<StoredIndex>([&]() -> Result<StoredIndex> {
    IndexParams params = l.params;
    if (l.center_offset != 0) {
      std::vector<float> center(static_cast<size_t>(l.params.dim));
      const StopOnSignal never;
      PreadSource source(fd, never);
      if (Status s = source.read(l.center_offset, {reinterpret_cast<uint8_t*>(center.data()), center.size() * 4}); !s) {
        return std::unexpected(s.error());
      }
      params.center = std::move(center);
    }
    // Only as far as the sections go: bytes past them are never looked at.
    const size_t map_length = static_cast<size_t>(l.end);
    void* base = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED | (warm ? MAP_POPULATE : 0), fd, 0);
    if (base == MAP_FAILED) return std::unexpected(IndexError::os_error(errno));
    auto mapping = std::make_shared<const Mapping>(base, map_length);
    BorrowedRows rows;
    rows.len = static_cast<size_t>(l.count);
    rows.blocks = reinterpret_cast<const uint32_t*>(mapping->at(l.codes_offset));
    rows.ids = reinterpret_cast<const uint64_t*>(mapping->at(l.ids_offset));
    rows.norms = reinterpret_cast<const uint16_t*>(mapping->at(l.norms_offset));
    if (l.terms_offset != 0) rows.terms = reinterpret_cast<const float*>(mapping->at(l.terms_offset));
    if (l.qjl_offset != 0) rows.qjl = mapping->at(l.qjl_offset);
    rows.owner = std::move(mapping);
    return StoredIndex{std::move(params), Storage(l.width, l.params.seed, l.params.bits, l.params.use_qjl,
                                                  l.terms_offset != 0, std::move(rows))};
  });
}

}  // namespace

Result<StoredIndex> map_mappable_file(const std::string& path, bool warm) {
  if (path.find('\0') != std::string::npos) return std::unexpected(nul_in_path());
  const int fd = open_retrying(path.c_str(), O_RDONLY);
  if (fd < 0) return std::unexpected(IndexError::os_error(errno));
  Result<StoredIndex> mapped = map_open_file(fd, path, warm);
  ::close(fd);  // the map keeps the file itself open
  return mapped;
}

// ---------------------------------------------------------------------------
// Writing.

namespace {

// Where the writer puts each section (0: absent), in the order it lays them.
struct Plan {
  uint64_t center = 0, ids = 0, norms = 0, terms = 0, codes = 0, qjl = 0, end = 0;
};

Plan plan(const IndexParams& params, const Storage& s) {
  const SectionSizes size = section_sizes(params.dim, s.dim(), s.len(), s.words_per_row(), s.has_row_terms(),
                                          s.use_qjl());
  Plan p;
  u128 at = kMappableHeaderBytes;
  auto place = [&](u128 bytes, uint64_t alignment) {
    at = align_up(at, alignment);
    const u128 start = at;
    at += bytes;
    return static_cast<uint64_t>(start);
  };
  if (!params.center.empty()) p.center = place(size.center, kSectionAlignment);
  p.ids = place(size.ids, kSectionAlignment);
  p.norms = place(size.norms, kSectionAlignment);
  if (s.has_row_terms()) p.terms = place(size.terms, kSectionAlignment);
  p.codes = place(size.codes, kCodesAlignment);
  if (s.use_qjl()) p.qjl = place(size.qjl, kSectionAlignment);
  p.end = static_cast<uint64_t>(at);
  return p;
}

template <class T>
void put_array(FileWriter& out, const T* values, size_t n) {
  if constexpr (kLittleEndian) {
    out.put(reinterpret_cast<const uint8_t*>(values), n * sizeof(T));
  } else {
    for (size_t i = 0; i < n && out.ok(); ++i) out.put_le(values[i]);
  }
}

void pad_to(FileWriter& out, uint64_t offset) { out.put_zeros(offset - out.written()); }

void write_header(FileWriter& out, const IndexParams& params, const Storage& s, const Plan& p) {
  uint8_t h[kMappableHeaderBytes] = {};
  store_le<uint32_t>(h, kMappableMagic);
  store_le<uint16_t>(h + kVersionAt, kMappableVersion);
  store_le<uint64_t>(h + kDimAt, params.dim);
  store_le<uint64_t>(h + kWidthAt, s.dim());
  store_le<uint64_t>(h + kSeedAt, params.seed);
  store_le<uint64_t>(h + kCountAt, s.len());
  store_le<uint64_t>(h + kWordsAt, s.words_per_row());
  store_le<uint32_t>(h + kChunkRowsAt, kChunkRows);
  store_le<uint16_t>(h + kBlockRowsAt, kBlockRows);
  h[kBitsAt] = params.bits;
  h[kUseQjlAt] = params.use_qjl ? 1 : 0;
  h[kMetricAt] = static_cast<uint8_t>(params.metric);
  h[kRotationAt] = static_cast<uint8_t>(params.rotation);
  store_le<uint64_t>(h + kCenterAt, p.center);
  store_le<uint64_t>(h + kIdsAt, p.ids);
  store_le<uint64_t>(h + kNormsAt, p.norms);
  store_le<uint64_t>(h + kTermsAt, p.terms);
  store_le<uint64_t>(h + kCodesAt, p.codes);
  store_le<uint64_t>(h + kQjlAt, p.qjl);
  out.put(h, sizeof h);
}

// The code blocks as the store holds them, except that lanes past the last
// row go out as zeros whatever a borrowed store's memory holds there.
void write_codes(FileWriter& out, const Storage& s) {
  const size_t block_words = s.words_per_row() * kBlockRows;
  std::vector<uint32_t> last;
  for (size_t c = 0; c < s.chunk_count() && out.ok(); ++c) {
    const size_t rows = std::min(kChunkRows, s.len() - c * kChunkRows);
    const size_t full = rows / kBlockRows;
    put_array(out, s.chunk_blocks(c), full * block_words);
    if (rows % kBlockRows == 0) continue;
    last.assign(s.chunk_blocks(c) + full * block_words, s.chunk_blocks(c) + (full + 1) * block_words);
    for (size_t lane = rows % kBlockRows; lane < kBlockRows; ++lane) {
      for (size_t w = 0; w < s.words_per_row(); ++w) last[w * kBlockRows + lane] = 0;
    }
    put_array(out, last.data(), last.size());
  }
}

}  // namespace

uint64_t mappable_file_bytes(const IndexParams& params, const Storage& storage) { return plan(params, storage).end; }

void write_mappable(FileWriter& out, const IndexParams& params, const Storage& s) {
  const Plan p = plan(params, s);
  const uint64_t start = out.written();
  auto pad = [&](uint64_t offset) { pad_to(out, start + offset); };
  write_header(out, params, s, p);
  if (p.center != 0) {
    pad(p.center);
    for (const float v : params.center) out.put_le(std::bit_cast<uint32_t>(v));
  }
  pad(p.ids);
  for (size_t c = 0; c < s.chunk_count() && out.ok(); ++c) {
    put_array(out, s.chunk_ids(c), std::min(kChunkRows, s.len() - c * kChunkRows));
  }
  pad(p.norms);
  for (size_t c = 0; c < s.chunk_count() && out.ok(); ++c) {
    put_array(out, s.chunk_norms(c), std::min(kChunkRows, s.len() - c * kChunkRows));
  }
  if (p.terms != 0) {
    pad(p.terms);
    for (size_t c = 0; c < s.chunk_count() && out.ok(); ++c) {
      put_array(out, reinterpret_cast<const uint32_t*>(s.chunk_terms(c)), std::min(kChunkRows, s.len() - c * kChunkRows));
    }
  }
  pad(p.codes);
  write_codes(out, s);
  if (p.qjl != 0) {
    pad(p.qjl);
    for (size_t i = 0; i < s.len() && out.ok(); ++i) {
      if (const auto bits = s.qjl_bits(i)) {
        out.put(bits->data(), bits->size());
      } else {
        out.put_zeros(s.qjl_bytes());
      }
    }
  }
}

}  // namespace lodex
