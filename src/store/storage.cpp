// The row store, code packing and bfloat16 conversions. Rows are append-only:
// a push never moves a stored code word, only the last chunk's vector may
// reallocate while it fills, and a full chunk is never touched again.
#include "store/storage.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cassert>
#include <limits>

namespace lodex {

uint64_t code_bytes_for(uint64_t dim, uint8_t bits) {
  // dim * bits needs up to 72 bits; widths above 8 could push the byte count
  // itself past u64, which saturates (no such size can ever be allocated).
  const unsigned __int128 total = (static_cast<unsigned __int128>(dim) * bits + 7) / 8;
  if (total > std::numeric_limits<uint64_t>::max()) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(total);
}

uint64_t qjl_bytes_for(uint64_t dim) { return dim / 8 + (dim % 8 != 0 ? 1 : 0); }

uint64_t words_per_row_for(uint64_t dim, uint8_t bits) {
  const uint64_t bytes = code_bytes_for(dim, bits);
  return bytes / 4 + (bytes % 4 != 0 ? 1 : 0);
}

namespace {

// The bit-by-bit rule of the packed layout: code j starts at stream bit
// j * bits; its low bits go to the top of one byte, any rest to the next.
void pack_tail(const uint8_t* codes, size_t count, size_t first, uint8_t bits, uint8_t* out) {
  for (size_t j = first; j < count; ++j) {
    const uint64_t p = static_cast<uint64_t>(j) * bits;
    const unsigned o = static_cast<unsigned>(p % 8);
    const unsigned c = codes[j];
    out[p / 8] |= static_cast<uint8_t>(c << o);
    if (o + bits > 8) out[p / 8 + 1] |= static_cast<uint8_t>(c >> (8 - o));
  }
}

// Word w of a row is its bytes 4w..4w+3, little-endian whatever the host.
uint32_t load_le32(const uint8_t* p) {
  uint32_t word;
  std::memcpy(&word, p, 4);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

void store_le32(uint8_t* p, uint32_t word) {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(p, &word, 4);
}

}  // namespace

void pack_codes(std::span<const uint8_t> codes, uint8_t bits, std::span<uint8_t> out) {
  const size_t n = codes.size();
  const auto bytes = static_cast<size_t>(code_bytes_for(n, bits));
  assert(out.size() >= bytes);
  std::fill_n(out.begin(), bytes, uint8_t{0});
  const uint8_t* c = codes.data();
  uint8_t* o = out.data();
  size_t done = 0;
  if (bits == 2) {
    for (; done + 4 <= n; done += 4) {
      o[done / 4] = static_cast<uint8_t>(c[done] | c[done + 1] << 2 | c[done + 2] << 4 | c[done + 3] << 6);
    }
  } else if (bits == 4) {
    for (; done + 2 <= n; done += 2) o[done / 2] = static_cast<uint8_t>(c[done] | c[done + 1] << 4);
  } else if (bits >= 1 && bits <= 8) {
    // Eight codes fill exactly `bits` bytes: gather them in one u64 (LSB
    // first, which is the stream order) and store its low bytes.
    for (; done + 8 <= n; done += 8) {
      uint64_t word = 0;
      for (unsigned k = 0; k < 8; ++k) word |= static_cast<uint64_t>(c[done + k]) << (k * bits);
      uint8_t* dst = o + done / 8 * bits;
      for (unsigned b = 0; b < bits; ++b) dst[b] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
  pack_tail(c, n, done, bits, o);
}

uint16_t bf16_from_f32(float value) {
  const uint32_t b = std::bit_cast<uint32_t>(value);
  if ((b & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((b >> 16) | 0x0040u);
  // Round to nearest, ties to even: bit 15 is the half; the tie goes up only
  // when the kept part is odd (bit 16) or the rest is not exactly a tie.
  const uint32_t round_up = ((b & 0x8000u) != 0 && (b & 0x17FFFu) != 0) ? 1u : 0u;
  return static_cast<uint16_t>((b >> 16) + round_up);
}

float bf16_to_f32(uint16_t bits) {
  uint32_t h = bits;
  if ((h & 0x7FFFu) > 0x7F80u) h |= 0x0040u;  // keep NaNs quiet
  return std::bit_cast<float>(h << 16);
}

Storage::Storage(uint64_t dim, uint64_t seed, uint8_t bits, bool use_qjl, bool row_terms)
    : dim_(dim),
      seed_(seed),
      bits_(bits),
      use_qjl_(use_qjl),
      row_terms_(row_terms),
      code_bytes_(static_cast<size_t>(code_bytes_for(dim, bits))),
      qjl_bytes_(static_cast<size_t>(qjl_bytes_for(dim))),
      words_per_row_(static_cast<size_t>(words_per_row_for(dim, bits))) {}

Storage::Storage(uint64_t dim, uint64_t seed, uint8_t bits, bool use_qjl, bool row_terms, BorrowedRows rows)
    : Storage(dim, seed, bits, use_qjl, row_terms) {
  assert(rows.owner != nullptr);
  len_ = rows.len;
  const size_t chunks = (len_ + kChunkRows - 1) / kChunkRows;
  views_.resize(chunks);
  for (size_t c = 0; c < chunks; ++c) {
    const size_t first = c * kChunkRows;
    views_[c] = {rows.blocks + c * kBlocksPerChunk * words_per_row_ * kBlockRows, rows.ids + first,
                 rows.norms + first, row_terms_ ? rows.terms + first : nullptr};
  }
  if (use_qjl_ && rows.qjl != nullptr) {
    qjl_view_ = rows.qjl;
    qjl_rows_ = len_;
  }
  owner_ = std::move(rows.owner);
}

Storage::Storage(const Storage& other)
    : dim_(other.dim_),
      seed_(other.seed_),
      bits_(other.bits_),
      use_qjl_(other.use_qjl_),
      row_terms_(other.row_terms_),
      code_bytes_(other.code_bytes_),
      qjl_bytes_(other.qjl_bytes_),
      words_per_row_(other.words_per_row_),
      len_(other.len_),
      announced_(other.announced_),
      chunks_(other.chunks_),
      views_(other.views_),
      qjl_(other.qjl_),
      qjl_view_(other.qjl_view_),
      qjl_rows_(other.qjl_rows_),
      owner_(other.owner_) {
  if (!read_only()) rebind_all();
}

Storage& Storage::operator=(const Storage& other) {
  if (this != &other) *this = Storage(other);
  return *this;
}

void Storage::rebind(size_t c) {
  const Chunk& chunk = chunks_[c];
  views_[c] = {chunk.blocks.data(), chunk.ids.data(), chunk.norms.data(), row_terms_ ? chunk.terms.data() : nullptr};
}

void Storage::rebind_all() {
  for (size_t c = 0; c < chunks_.size(); ++c) rebind(c);
  qjl_view_ = qjl_.data();
}

void Storage::push(uint64_t id, uint16_t norm, std::span<const uint8_t> codes,
                   std::optional<std::span<const uint8_t>> qjl_bits, float term) {
  assert(codes.size() >= code_bytes_ && !read_only());
  uint32_t* to = open_row(id, norm, term);
  const size_t full_words = code_bytes_ / 4;
  for (size_t w = 0; w < full_words; ++w) to[w * kBlockRows] = load_le32(codes.data() + w * 4);
  if (full_words < words_per_row_) {
    // The last word is partial: the row's remaining bytes, zero above them.
    uint32_t word = 0;
    for (size_t k = 0; full_words * 4 + k < code_bytes_; ++k) {
      word |= static_cast<uint32_t>(codes[full_words * 4 + k]) << (8 * k);
    }
    to[full_words * kBlockRows] = word;
  }
  trim_full_chunk();

  if (use_qjl_ && qjl_bits.has_value()) {
    assert(qjl_bits->size() >= qjl_bytes_);
    const auto bytes = qjl_bits->first(qjl_bytes_);
    const bool any = std::any_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    if (any || qjl_rows_ > 0) {
      qjl_.resize(len_ * qjl_bytes_, 0);  // zeros for the rows before the first non-zero one
      qjl_.insert(qjl_.end(), bytes.begin(), bytes.end());
      qjl_rows_ = len_ + 1;
      qjl_view_ = qjl_.data();
    }
  }
  if (announced_ > 0) --announced_;
  ++len_;
}

uint32_t* Storage::open_row(uint64_t id, uint16_t norm, float term) {
  const size_t in_chunk = len_ % kChunkRows;
  if (in_chunk == 0) {
    // The view first: if the chunk cannot be added, truncate drops the
    // extra view (shrinking never throws).
    views_.emplace_back();
    chunks_.emplace_back();
    if (announced_ > 0) reserve_last_chunk(std::min(announced_, kChunkRows));
  }
  Chunk& chunk = chunks_.back();
  // A new block arrives zero-filled, so the lanes not yet written (the tail
  // of a partial block) read as zero codes.
  if (in_chunk % kBlockRows == 0) chunk.blocks.resize(chunk.blocks.size() + words_per_row_ * kBlockRows);
  chunk.ids.push_back(id);
  chunk.norms.push_back(norm);
  if (row_terms_) chunk.terms.push_back(term);
  rebind(chunks_.size() - 1);
  return lane_words(len_);
}

void Storage::trim_full_chunk() {
  if ((len_ + 1) % kChunkRows != 0) return;
  Chunk& chunk = chunks_.back();
  chunk.blocks.shrink_to_fit();
  chunk.ids.shrink_to_fit();
  chunk.norms.shrink_to_fit();
  chunk.terms.shrink_to_fit();
  rebind(chunks_.size() - 1);
}

void Storage::reserve_last_chunk(size_t rows) {
  Chunk& chunk = chunks_.back();
  const size_t blocks = rows / kBlockRows + (rows % kBlockRows != 0 ? 1 : 0);
  chunk.blocks.reserve(blocks * words_per_row_ * kBlockRows);
  chunk.ids.reserve(rows);
  chunk.norms.reserve(rows);
  if (row_terms_) chunk.terms.reserve(rows);
  rebind(chunks_.size() - 1);
}

void Storage::reserve(size_t extra) {
  if (read_only()) return;
  announced_ = extra;
  const size_t in_chunk = len_ % kChunkRows;
  if (in_chunk != 0 && extra > 0) reserve_last_chunk(std::min(in_chunk + extra, kChunkRows));
  const size_t chunks = (len_ + extra) / kChunkRows + 1;
  views_.reserve(chunks);
  chunks_.reserve(chunks);
}

Storage::ChunkSlots Storage::append_chunk(size_t rows) {
  assert(!read_only() && len_ % kChunkRows == 0 && rows >= 1 && rows <= kChunkRows);
  announced_ = 0;
  views_.emplace_back();
  Chunk& chunk = chunks_.emplace_back();
  chunk.blocks.resize((rows + kBlockRows - 1) / kBlockRows * words_per_row_ * kBlockRows);
  chunk.ids.resize(rows);
  chunk.norms.resize(rows);
  if (row_terms_) chunk.terms.resize(rows);
  rebind(chunks_.size() - 1);
  len_ += rows;
  return {chunk.blocks.data(), chunk.ids.data(), chunk.norms.data(), row_terms_ ? chunk.terms.data() : nullptr};
}

void Storage::set_qjl_rows(std::span<const uint8_t> bytes) {
  assert(use_qjl_ && qjl_rows_ == 0 && bytes.size() == len_ * qjl_bytes_ && !read_only());
  if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) return;
  qjl_.assign(bytes.begin(), bytes.end());
  qjl_rows_ = len_;
  qjl_view_ = qjl_.data();
}

void Storage::truncate(size_t len) {
  // Also at len == len_: a push that ran out of memory may have left a new
  // chunk, a block, an id or QJL bytes past the last row, and the next push
  // finds its chunk by the chunk count.
  if (len > len_ || read_only()) return;
  announced_ = 0;
  const size_t keep_chunks = (len + kChunkRows - 1) / kChunkRows;
  while (chunks_.size() > keep_chunks) chunks_.pop_back();
  views_.resize(std::min(views_.size(), chunks_.size()));
  if (len % kChunkRows != 0) {
    Chunk& last = chunks_.back();
    const size_t rows = len % kChunkRows;
    const size_t block_words = words_per_row_ * kBlockRows;
    const size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    last.ids.resize(rows);
    last.norms.resize(rows);
    if (row_terms_) last.terms.resize(rows);
    last.blocks.resize(blocks * block_words);
    // The lanes past the last row read as zero codes, as after a push.
    uint32_t* block = last.blocks.data() + (blocks - 1) * block_words;
    for (size_t lane = rows % kBlockRows; lane != 0 && lane < kBlockRows; ++lane) {
      for (size_t w = 0; w < words_per_row_; ++w) block[w * kBlockRows + lane] = 0;
    }
    // Giving the tail back needs a smaller buffer; without memory the rows
    // are dropped all the same and the capacity stays.
    try {
      last.blocks.shrink_to_fit();
      last.ids.shrink_to_fit();
      last.norms.shrink_to_fit();
      last.terms.shrink_to_fit();
    } catch (const std::bad_alloc&) {
    }
    rebind(chunks_.size() - 1);
  }
  qjl_rows_ = std::min(qjl_rows_, len);
  if (qjl_.size() > qjl_rows_ * qjl_bytes_) {
    qjl_.resize(qjl_rows_ * qjl_bytes_);
    try {
      qjl_.shrink_to_fit();
    } catch (const std::bad_alloc&) {
    }
  }
  // A push that failed may have moved the QJL bytes before it gave up.
  qjl_view_ = qjl_.data();
  len_ = len;
}

void Storage::move_row(size_t from, size_t to) {
  const uint32_t* src = lane_words(from);
  uint32_t* dst = lane_words(to);
  for (size_t w = 0; w < words_per_row_; ++w) dst[w * kBlockRows] = src[w * kBlockRows];
  chunks_[to / kChunkRows].ids[to % kChunkRows] = id(from);
  chunks_[to / kChunkRows].norms[to % kChunkRows] = norm_bits(from);
  if (row_terms_) chunks_[to / kChunkRows].terms[to % kChunkRows] = row_term(from);
  if (from < qjl_rows_) {
    std::memmove(qjl_.data() + to * qjl_bytes_, qjl_.data() + from * qjl_bytes_, qjl_bytes_);
  } else if (to < qjl_rows_) {
    std::memset(qjl_.data() + to * qjl_bytes_, 0, qjl_bytes_);
  }
}

void Storage::retain(const uint64_t* keep_mask) {
  if (read_only()) return;
  size_t kept = 0;
  for (size_t row = 0; row < len_; ++row) {
    if ((keep_mask[row / 64] >> (row % 64) & 1u) == 0) continue;
    if (kept != row) move_row(row, kept);
    ++kept;
  }
  truncate(kept);
}

void Storage::append_from(const Storage& src, size_t row) {
  uint32_t* to = open_row(src.id(row), src.norm_bits(row), row_terms_ ? src.row_term(row) : 0.0f);
  const uint32_t* from = src.lane_words(row);
  for (size_t w = 0; w < words_per_row_; ++w) to[w * kBlockRows] = from[w * kBlockRows];
  trim_full_chunk();
  if (use_qjl_ && row < src.qjl_rows_) {
    qjl_.resize(len_ * qjl_bytes_, 0);
    const uint8_t* bytes = src.qjl_view_ + row * qjl_bytes_;
    qjl_.insert(qjl_.end(), bytes, bytes + qjl_bytes_);
    qjl_rows_ = len_ + 1;
    qjl_view_ = qjl_.data();
  }
  if (announced_ > 0) --announced_;
  ++len_;
}

Storage Storage::select(std::span<const size_t> rows) const {
  Storage out(dim_, seed_, bits_, use_qjl_, row_terms_);
  out.reserve(rows.size());
  for (const size_t row : rows) {
    assert(row < len_);
    out.append_from(*this, row);
  }
  return out;
}

std::optional<float> Storage::get_norm(size_t row) const {
  if (row >= len_) return std::nullopt;
  return bf16_to_f32(norm_bits(row));
}

void Storage::copy_codes(size_t row, std::span<uint8_t> out) const {
  assert(row < len_ && out.size() >= code_bytes_);
  const size_t in_chunk = row % kChunkRows;
  const uint32_t* block = views_[row / kChunkRows].blocks + (in_chunk / kBlockRows) * words_per_row_ * kBlockRows;
  const size_t lane = in_chunk % kBlockRows;
  const size_t full_words = code_bytes_ / 4;
  for (size_t w = 0; w < full_words; ++w) store_le32(out.data() + w * 4, block[w * kBlockRows + lane]);
  if (full_words < words_per_row_) {
    const uint32_t word = block[full_words * kBlockRows + lane];
    for (size_t k = 0; full_words * 4 + k < code_bytes_; ++k) {
      out[full_words * 4 + k] = static_cast<uint8_t>(word >> (8 * k));
    }
  }
}

std::optional<std::span<const uint8_t>> Storage::qjl_bits(size_t row) const {
  if (!use_qjl_ || row >= qjl_rows_) return std::nullopt;
  return std::span<const uint8_t>(qjl_view_ + row * qjl_bytes_, qjl_bytes_);
}

QuantizedVector Storage::row(size_t row, std::span<uint8_t> code_buffer) const {
  copy_codes(row, code_buffer);
  return QuantizedVector{code_buffer.first(code_bytes_), qjl_bits(row), id(row), norm_bits(row)};
}

size_t Storage::memory_bytes() const {
  size_t total = qjl_.capacity() + chunks_.capacity() * sizeof(Chunk) + views_.capacity() * sizeof(ChunkView);
  for (const auto& chunk : chunks_) {
    total += chunk.blocks.capacity() * sizeof(uint32_t) + chunk.ids.capacity() * sizeof(uint64_t) +
             chunk.norms.capacity() * sizeof(uint16_t) + chunk.terms.capacity() * sizeof(float);
  }
  return total;
}

}  // namespace lodex
