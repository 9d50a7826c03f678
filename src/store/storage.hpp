// The in-memory row store and the per-row byte formats (code packing and
// bfloat16 norms). Rows are append-only and never move once written.
//
// Layout, chosen for the scan: ids, norms, row terms and QJL bytes are flat
// per-row arrays; codes are kept in blocks of kBlockRows rows, each row padded
// to `words_per_row` little-endian u32 words and the words interleaved across
// the block (block[w * kBlockRows + lane] = word w of row lane), so a SIMD
// lane per row reads one row's code stream with unit-stride loads. Rows live
// in chunks of kChunkRows so that growth never copies what is stored.
//
// A store either owns its rows or borrows them, read-only, from memory that
// holds the same layout (a mapped file, kept alive by a shared owner). Both
// are read through one table of chunk pointers, so no accessor branches on
// which kind it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "store/block_memory.hpp"

namespace lodex {

inline constexpr size_t kBlockRows = 16;
inline constexpr size_t kChunkRows = 16384;  // a multiple of kBlockRows
static_assert(kChunkRows % kBlockRows == 0);
inline constexpr size_t kBlocksPerChunk = kChunkRows / kBlockRows;

// ceil(dim * bits / 8), computed without overflow for any u64 dim.
uint64_t code_bytes_for(uint64_t dim, uint8_t bits);
// ceil(dim / 8).
uint64_t qjl_bytes_for(uint64_t dim);
// The u32 words a stored row of `dim` codes takes: ceil(code_bytes / 4).
uint64_t words_per_row_for(uint64_t dim, uint8_t bits);

// Packs one code per byte (each below 2^bits) into the LSB-first bit stream.
// `out` must hold code_bytes_for(codes.size(), bits) bytes; it is overwritten.
void pack_codes(std::span<const uint8_t> codes, uint8_t bits, std::span<uint8_t> out);

// Code j of a packed row: `bits` bits from stream bit j * bits, least
// significant bit first, the high ones at the bottom of the next byte when
// the code crosses a byte boundary.
inline unsigned unpack_code(const uint8_t* codes, uint64_t j, uint8_t bits) {
  const uint64_t p = j * bits;
  const unsigned o = static_cast<unsigned>(p % 8);
  unsigned v = static_cast<unsigned>(codes[p / 8]) >> o;
  if (o + bits > 8) v |= static_cast<unsigned>(codes[p / 8 + 1]) << (8 - o);
  return v & ((1u << bits) - 1);
}

uint16_t bf16_from_f32(float value);
float bf16_to_f32(uint16_t bits);

// One stored row, as a caller of the store sees it. The byte spans point into
// the store (or, for `codes`, into a caller-provided buffer).
struct QuantizedVector {
  std::span<const uint8_t> codes;
  std::optional<std::span<const uint8_t>> qjl_bits;
  uint64_t id;
  uint16_t norm;
};

// Rows held elsewhere in the store's layout, for a store that borrows them:
// `blocks` holds ceil(len / kBlockRows) blocks back to back (chunk c's first
// block is block c * kBlocksPerChunk), `ids`, `norms` and `terms` one entry
// per row, `qjl` len * qjl_bytes bytes. `terms` only for a store with row
// terms, `qjl` only (and then always) with use_qjl. `owner` keeps all of it
// alive for as long as the store or any store sharing it lives. Every byte
// may hold any value: the store only ever reads it.
struct BorrowedRows {
  std::shared_ptr<const void> owner;
  size_t len = 0;
  const uint32_t* blocks = nullptr;
  const uint64_t* ids = nullptr;
  const uint16_t* norms = nullptr;
  const float* terms = nullptr;
  const uint8_t* qjl = nullptr;
};

class Storage {
 public:
  // An empty store that owns its rows. With `row_terms` every row also
  // carries one float32 (a term of its score the codes do not hold).
  Storage(uint64_t dim, uint64_t seed, uint8_t bits, bool use_qjl, bool row_terms = false);
  // A read-only store of the rows `rows` describes.
  Storage(uint64_t dim, uint64_t seed, uint8_t bits, bool use_qjl, bool row_terms, BorrowedRows rows);

  // A copy owns what it copied (a copy of a borrowing store shares the
  // owner); chunk pointers are rebuilt for the copy's own buffers.
  Storage(const Storage& other);
  Storage& operator=(const Storage& other);
  Storage(Storage&&) noexcept = default;
  Storage& operator=(Storage&&) noexcept = default;

  uint64_t dim() const { return dim_; }
  uint64_t seed() const { return seed_; }
  uint8_t bits() const { return bits_; }
  bool use_qjl() const { return use_qjl_; }
  size_t code_bytes() const { return code_bytes_; }
  size_t qjl_bytes() const { return qjl_bytes_; }
  size_t words_per_row() const { return words_per_row_; }
  bool has_row_terms() const { return row_terms_; }
  // Whether the rows are borrowed: every mutation below is then refused by
  // the caller before it starts (and is a no-op or an assertion here).
  bool read_only() const { return owner_ != nullptr; }

  size_t len() const { return len_; }

  // Appends one row. `qjl_bits`, when given, holds qjl_bytes() bytes; it is
  // kept only when use_qjl(). `term` is kept only with row terms. Row number
  // = len() before the call.
  void push(uint64_t id, uint16_t norm, std::span<const uint8_t> codes,
            std::optional<std::span<const uint8_t>> qjl_bits, float term = 0.0f);
  // Announces `extra` more rows, so that the chunks they land in are sized
  // exactly instead of growing by doubling. Changes nothing stored.
  void reserve(size_t extra);

  // Appends `rows` rows (1 to kChunkRows) as one new chunk, to a store whose
  // length is a multiple of kChunkRows, and returns its buffers for the
  // caller to fill: rows ids, norms and (with row terms) terms, and
  // ceil(rows / kBlockRows) blocks, every byte of them zero. QJL bytes of
  // these rows read as zeros until set_qjl_rows. Lets a reader move a
  // file's sections straight into the store. May throw std::bad_alloc,
  // leaving only what truncate() clears.
  struct ChunkSlots {
    uint32_t* blocks;
    uint64_t* ids;
    uint16_t* norms;
    float* terms;  // nullptr without row terms
  };
  ChunkSlots append_chunk(size_t rows);
  // Stores the QJL bytes of rows [0, len()) from `bytes` (len() *
  // qjl_bytes() of them), or nothing when they are all zero. Only with
  // use_qjl(), on a store that holds no QJL bytes yet. May throw.
  void set_qjl_rows(std::span<const uint8_t> bytes);

  // Drops rows [len, len()) (nothing when len > len()), and whatever a push
  // that threw left past row len, and frees the chunks they emptied. Never
  // throws: a trim that cannot get memory is skipped.
  void truncate(size_t len);
  // Keeps the rows whose bit is set in keep_mask (bit i of word i / 64, for
  // i < len()), in their order, compacted in place; frees emptied chunks.
  // O(rows); never throws.
  void retain(const uint64_t* keep_mask);
  // A new store with the same parameters holding rows[0], rows[1], ... in
  // that order (repeats allowed), copied word for word. Each row < len().
  // May throw std::bad_alloc.
  Storage select(std::span<const size_t> rows) const;

  uint64_t id(size_t row) const { return views_[row / kChunkRows].ids[row % kChunkRows]; }
  uint16_t norm_bits(size_t row) const { return views_[row / kChunkRows].norms[row % kChunkRows]; }
  // The row's term; only with has_row_terms().
  float row_term(size_t row) const { return views_[row / kChunkRows].terms[row % kChunkRows]; }
  std::optional<float> get_norm(size_t row) const;
  // Copies row `row`'s code bytes (code_bytes() of them) into `out`.
  void copy_codes(size_t row, std::span<uint8_t> out) const;
  // The row's QJL bytes, or nothing: always nothing without use_qjl(); with
  // it, nothing stands for qjl_bytes() zero bytes.
  std::optional<std::span<const uint8_t>> qjl_bits(size_t row) const;
  QuantizedVector row(size_t row, std::span<uint8_t> code_buffer) const;

  // Scan access: chunk c holds rows [c * kChunkRows, min(len, (c+1) * kChunkRows)).
  // Its blocks are (kChunkRows / kBlockRows) full blocks for every chunk but
  // the last; the last holds ceil(rows / kBlockRows) blocks, the tail of a
  // partial block zero-filled (in a borrowed store: whatever the memory
  // holds there). Ids, norms and terms are per row, chunk-local; terms are
  // nullptr without row terms.
  size_t chunk_count() const { return views_.size(); }
  const uint32_t* chunk_blocks(size_t c) const { return views_[c].blocks; }
  const uint64_t* chunk_ids(size_t c) const { return views_[c].ids; }
  const uint16_t* chunk_norms(size_t c) const { return views_[c].norms; }
  const float* chunk_terms(size_t c) const { return views_[c].terms; }

  // Heap bytes held (capacity, not size): for memory reports and tests. A
  // borrowed store counts its chunk table only, not the memory it borrows.
  size_t memory_bytes() const;

 private:
  // Everything about kChunkRows rows. A chunk is sized once when the caller
  // announced its rows (reserve), else grows by doubling; a full chunk is
  // trimmed and never touched again, so growth never copies old chunks and
  // the slack is bounded by one chunk.
  struct Chunk {
    std::vector<uint32_t, BlockAllocator<uint32_t>> blocks;
    std::vector<uint64_t> ids;
    std::vector<uint16_t> norms;
    std::vector<float> terms;  // empty without row terms
  };
  // Where every reader finds a chunk's rows: views_[c] points into chunks_[c]
  // (refreshed by rebind after anything that may move its buffers), or into
  // the borrowed memory.
  struct ChunkView {
    const uint32_t* blocks = nullptr;
    const uint64_t* ids = nullptr;
    const uint16_t* norms = nullptr;
    const float* terms = nullptr;
  };
  void rebind(size_t c);
  void rebind_all();
  void reserve_last_chunk(size_t rows);
  // The chunk bookkeeping every append shares. open_row starts row len():
  // a new chunk (sized when rows were announced) and a new zero-filled
  // block as needed, its id and norm appended; returns its word 0 (stride
  // kBlockRows) for the caller to fill. May throw std::bad_alloc, leaving
  // only what truncate() clears. trim_full_chunk then trims a chunk that row
  // filled; the caller counts the row (len_) last.
  uint32_t* open_row(uint64_t id, uint16_t norm, float term);
  void trim_full_chunk();
  // Appends row `row` of `src` (same parameters) by copying its words.
  void append_from(const Storage& src, size_t row);
  // Copies row `from` over row `to` (to < from) of this store.
  void move_row(size_t from, size_t to);
  // Row `row`'s word 0 in its block; nullptr for rows of no words (there is
  // no block to point into). The mutable form is for an owning store only.
  uint32_t* lane_words(size_t row) {
    if (words_per_row_ == 0) return nullptr;
    const size_t in_chunk = row % kChunkRows;
    return chunks_[row / kChunkRows].blocks.data() + (in_chunk / kBlockRows) * words_per_row_ * kBlockRows +
           in_chunk % kBlockRows;
  }
  const uint32_t* lane_words(size_t row) const {
    if (words_per_row_ == 0) return nullptr;
    const size_t in_chunk = row % kChunkRows;
    return views_[row / kChunkRows].blocks + (in_chunk / kBlockRows) * words_per_row_ * kBlockRows +
           in_chunk % kBlockRows;
  }

  uint64_t dim_;
  uint64_t seed_;
  uint8_t bits_;
  bool use_qjl_;
  bool row_terms_;
  size_t code_bytes_;
  size_t qjl_bytes_;
  size_t words_per_row_;
  size_t len_ = 0;
  size_t announced_ = 0;  // rows promised by reserve() and not yet pushed

  std::vector<Chunk> chunks_;  // empty in a borrowing store
  std::vector<ChunkView> views_;
  // qjl_bytes_ per row for rows [0, qjl_rows_) at qjl_view_; every later row
  // reads as zeros. Nothing is stored until a row brings a non-zero bit:
  // rows from add_batch (always zero) cost nothing, and a header claiming
  // wide QJL rows cannot make a load allocate bytes the file does not hold.
  std::vector<uint8_t> qjl_;
  const uint8_t* qjl_view_ = nullptr;  // qjl_.data(), or the borrowed bytes
  size_t qjl_rows_ = 0;
  std::shared_ptr<const void> owner_;  // set only in a borrowing store
};

}  // namespace lodex
