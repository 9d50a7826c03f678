// Index files. The original .ldx format: a 52-byte little-endian header,
// then the ids, norms, codes and optional QJL sections, back to back; the
// mappable format is described in mappable_file.hpp. Reading never looks
// outside the file's bytes.
//
//   offset size type  field
//        0    4 bytes magic "LDXI" (u32 0x4958444C)
//        4    2 u16   version (written 1, never checked)
//        6    4 u32   dim
//       10    1 u8    bits (stored as is, not validated)
//       11    1 u8    use_qjl (any non-zero byte is true)
//       12    8 u64   seed
//       20    8 u64   count n
//       28    8 u64   norms_offset  (52 + 8n)
//       36    8 u64   codes_offset  (52 + 10n)
//       44    8 u64   qjl_offset    (52 + 10n + n*code_bytes with QJL, else 0)
//   then n u64 ids at 52, n u16 norms, n code arrays, [n QJL arrays]
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"
#include "format/file_io.hpp"
#include "index_params.hpp"
#include "format/mappable_file.hpp"
#include "store/storage.hpp"

namespace lodex {

inline constexpr size_t kHeaderBytes = 52;

// The parameters an .ldx file records for a store: its own four, the inner
// product, the Hadamard rotation and no center.
IndexParams plain_params(const Storage& storage);

// Parses a whole file image of either format, told apart by the magic (a
// file shorter than 4 bytes, or of neither magic, is refused as an .ldx
// file). Errors of the .ldx format: InvalidFile "file too small" / "bad
// magic"; a row outside the file is an internal fault naming the first such
// row's position and the file's length (found from the header before any row
// is read); OutOfMemory when the rows cannot be held. Reserves no more rows
// than the file's length allows. A mappable file: check_mappable_header's
// errors, then read_mappable's.
Result<StoredIndex> parse_index_file(std::span<const uint8_t> file);

// How many leading bytes of a file the parser looks at: for an .ldx file the
// header alone when `file` is shorter than one or its magic is wrong, else
// the end of the farthest row section the header announces (SIZE_MAX when
// beyond it); for a mappable file, mappable_bytes_needed. Bytes past that
// point never change what parse_index_file gives.
size_t index_file_bytes_needed(std::span<const uint8_t> file);

// Reads the file at `path` as parse_index_file would read its bytes, and
// closes it before returning. Only the header and then the bytes it says the
// rows need are read, never "to the end". A regular file is checked against
// the length fstat gives and its rows are read in pieces straight into the
// store (an .ldx file's in pieces of about 1 MiB, a mappable file's a chunk
// at a time), so a load holds the store and one piece, not the file's bytes
// as well. A pipe or device is read as far as its data goes, into a buffer
// growing only as bytes arrive, then parsed. A read that a signal interrupts
// is retried, unless `stop_on_signal` says to give up, which ends the load
// with the EINTR I/O error.
Result<StoredIndex> load_index_file(const std::string& path, const StopOnSignal& stop_on_signal = {});

// Serves the mappable file at `path` from a read-only shared memory map
// (map_mappable_file: its errors, `warm` reads every page in first).
Result<StoredIndex> map_index_file(const std::string& path, bool warm);

// The whole file `save_index_file` would write, in memory. Errors: a
// dimension past the .ldx header's 32 bits is an InvalidArgument; OutOfMemory.
Result<std::vector<uint8_t>> index_file_bytes(const IndexParams& params, const Storage& storage,
                                              bool mappable = false);
// The .ldx bytes of a store of plain parameters.
Result<std::vector<uint8_t>> index_file_bytes(const Storage& storage);

// Writes an index to `path`: in the .ldx format when its parameters are
// plain and `mappable` is not asked for, else in the mappable format. Streams
// through an 8192-byte buffer. A regular file (or a missing one) is replaced
// atomically: a sibling temporary is written, synced and renamed over the
// target, so a failure leaves the old file untouched and a reader that has
// the old file mapped keeps its contents. When no temporary can be created
// beside a regular file, the save fails with that error and the file stays
// as it was. Other targets (devices, FIFOs) are written in place. An .ldx
// dimension past the header's 32 bits is refused before anything is written.
Status save_index_file(const std::string& path, const IndexParams& params, const Storage& storage,
                       bool mappable = false);
// The .ldx file of a store of plain parameters.
Status save_index_file(const std::string& path, const Storage& storage);

}  // namespace lodex
