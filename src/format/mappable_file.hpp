// The mappable index file: parameters the original .ldx header cannot hold
// (metric, rotation, center), and a body laid out exactly as the row store
// holds it, every section aligned, so that a read-only shared memory map of
// the file can serve searches as it is. The reader trusts nothing: every
// offset and size is checked against the file's length, in 128-bit
// arithmetic, before any byte past the header is touched.
//
// All integers little-endian. Header (128 bytes):
//   offset size type  field
//        0    4 bytes magic "LDXM" (u32 0x4D58444C; an .ldx reader says "bad magic")
//        4    2 u16   version, 1; a reader refuses any version it does not know
//        6    2 u16   reserved, written 0, ignored
//        8    8 u64   dim: the width of the vectors added and searched
//       16    8 u64   width m: codes per row (== dim for the Hadamard rotation,
//                     dim <= m <= dim rounded up to 32 for the general one)
//       24    8 u64   seed
//       32    8 u64   count n: rows
//       40    8 u64   words_per_row: u32 code words per row, as the store pads
//                     a row of m codes of `bits` bits
//       48    4 u32   chunk_rows, 16384: rows per chunk of the store
//       52    2 u16   block_rows, 16: rows per interleaved code block
//       54    1 u8    bits, 2 to 5
//       55    1 u8    use_qjl, 0 or 1
//       56    1 u8    metric: 0 inner product, 1 cosine, 2 squared L2
//       57    1 u8    rotation: 0 Hadamard, 1 general
//       58    6       reserved, written 0, ignored
//       64    8 u64   center_offset: dim f32, the center; 0 when there is none
//       72    8 u64   ids_offset: n u64 ids
//       80    8 u64   norms_offset: n u16 bfloat16 norms (bits as stored)
//       88    8 u64   terms_offset: n f32 row terms; 0 when there are none
//       96    8 u64   codes_offset: ceil(n / 16) code blocks of
//                     block_bytes = words_per_row * 16 * 4 bytes, back to back
//      104    8 u64   qjl_offset: n rows of ceil(m / 8) QJL bytes (zeros for a
//                     row without stored bits); present exactly when use_qjl
//      112   16       reserved, written 0, ignored
//
// Code block b holds rows 16b .. 16b+15: word w of lane (row) l is the u32 at
// block byte 4 * (w * 16 + l), row codes packed as in the .ldx format (LSB
// first, one bit stream per row, padded with zero bits to whole words). Chunk
// c of the store is rows 16384c .. and blocks 1024c ..: every chunk but the
// last is full. The lanes past the last row of a partial last block are
// written as zeros (a reader must not rely on it: any value there is read
// safely and never reaches a result).
//
// Every present section starts at a multiple of 64 bytes at or after the
// header's end, sections never overlap, and every one ends inside the file;
// the writer puts the codes at a multiple of 4096 and lays the sections down
// in the order center, ids, norms, terms, codes, QJL, with zero padding.
// Bytes past the last section are ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"
#include "format/file_io.hpp"
#include "index_params.hpp"
#include "store/storage.hpp"

namespace lodex {

inline constexpr uint32_t kMappableMagic = 0x4D58444C;  // "LDXM" read as a little-endian u32
inline constexpr size_t kMappableHeaderBytes = 128;
inline constexpr uint16_t kMappableVersion = 1;
inline constexpr uint64_t kSectionAlignment = 64;
inline constexpr uint64_t kCodesAlignment = 4096;

// What an index file holds: its parameters and its rows.
struct StoredIndex {
  IndexParams params;
  Storage storage;
};

// Whether `head` starts with the mappable format's magic.
bool is_mappable_file(std::span<const uint8_t> head);

// The header's fields, decoded and checked against a file length: every
// section lies inside the file, aligned, apart from the others.
struct MappableLayout {
  IndexParams params;  // without the center, which lives in the body
  uint64_t width;
  uint64_t count;
  uint64_t words_per_row;
  uint64_t center_offset;  // 0: none
  uint64_t ids_offset;
  uint64_t norms_offset;
  uint64_t terms_offset;  // 0: none
  uint64_t codes_offset;
  uint64_t qjl_offset;  // 0: none
  uint64_t end;         // where the last section ends
};

// Decodes the kMappableHeaderBytes bytes at `head` (the magic already
// matched) of a file of `file_len` bytes. Errors: InvalidFile with the
// reason (an unknown version, a field out of range, a section out of place
// or past the end of the file).
Result<MappableLayout> check_mappable_header(std::span<const uint8_t> head, uint64_t file_len);

// How many leading bytes of a mappable file its reader looks at: the header
// alone when it is short or refused for a reason that does not depend on the
// file's length, else the end of the farthest section (SIZE_MAX when beyond
// it). Bytes past that point never change what the reader gives.
size_t mappable_bytes_needed(std::span<const uint8_t> file);

// The rows (copied into a store that owns them) and the center of a file
// whose header is `layout`. Every chunk's sections are read straight into
// its buffers; lanes past the last row and pad bits past a row's codes
// come out zero whatever the file holds there. OutOfMemory when the rows
// cannot be held.
Result<StoredIndex> read_mappable(const MappableLayout& layout, ByteSource& source);

// Maps the mappable file at `path` read-only and shared and serves its rows
// from the mapping: the header is read once with pread, checked, and never
// read again from the map. With `warm` every page is read in before this
// returns (a slow open instead of a slow first search). Errors: I/O errors;
// InvalidArgument for a file of the original .ldx format (it cannot be
// mapped) or one that is not a regular file; the InvalidFile reasons of
// check_mappable_header.
Result<StoredIndex> map_mappable_file(const std::string& path, bool warm);

// The file's length for these rows.
uint64_t mappable_file_bytes(const IndexParams& params, const Storage& storage);
// Lays the whole file down through `out` (the outcome is out's).
void write_mappable(FileWriter& out, const IndexParams& params, const Storage& storage);

}  // namespace lodex
