// libFuzzer harness for the .ldx reader (inputs of the mappable format's magic
// are left to mappable_reader_fuzz). Every input must either parse or be
// refused as an invalid file or a row outside the file; a parsed index must
// hold exactly the bytes its header points at, must come out the same from
// only the bytes a load reads, and must survive a save and a second parse
// unchanged. Allocation limits come from the libFuzzer flags (see run.sh):
// the reader may not reserve what the input cannot back.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "format/index_file.hpp"

namespace {

using lodex::IndexError;
using lodex::Storage;

using fuzz_support::fail;
using fuzz_support::le;

bool all_zero(std::span<const uint8_t> b) {
  return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
}

// Compares two rows' QJL bits as every reader sees them: an absent buffer in
// a QJL index stands for zero bytes. Nothing is materialised, since a header
// may claim rows of 2^29 QJL bytes.
bool same_qjl(std::optional<std::span<const uint8_t>> a, std::optional<std::span<const uint8_t>> b) {
  if (a && b) return std::equal(a->begin(), a->end(), b->begin(), b->end());
  if (a) return all_zero(*a);
  if (b) return all_zero(*b);
  return true;
}

// The layout as the format states it, decoded here independently of the
// reader, so a reader that takes a row from the wrong place is caught.
struct Header {
  uint64_t dim, count, norms, codes, qjl;
  uint8_t bits;
  bool use_qjl;
};

Header decode(const uint8_t* f) {
  return {le(f + 6, 4), le(f + 20, 8), le(f + 28, 8), le(f + 36, 8), le(f + 44, 8), f[10], f[11] != 0};
}

void expect_rows(const uint8_t* f, const Header& h, const Storage& s) {
  if (s.dim() != h.dim || s.bits() != h.bits || s.use_qjl() != h.use_qjl || s.len() != h.count) {
    fail("parameters or row count differ from the header");
  }
  if (s.len() == 0) return;  // a header may claim rows of any width
  std::vector<uint8_t> code(s.code_bytes());
  const size_t qjl_bytes = lodex::qjl_bytes_for(h.dim);
  for (size_t i = 0; i < s.len(); ++i) {
    if (s.id(i) != le(f + 52 + 8 * i, 8)) fail("id of row " + std::to_string(i));
    if (s.norm_bits(i) != le(f + h.norms + 2 * i, 2)) fail("norm of row " + std::to_string(i));
    s.copy_codes(i, code);
    if (!code.empty() && std::memcmp(code.data(), f + h.codes + i * code.size(), code.size()) != 0) {
      fail("code of row " + std::to_string(i));
    }
    const auto qjl = s.qjl_bits(i);
    if (qjl && (!h.use_qjl || qjl->size() != qjl_bytes)) fail("QJL buffer of row " + std::to_string(i));
    std::optional<std::span<const uint8_t>> in_file;
    if (h.use_qjl && h.qjl != 0) in_file = std::span(f + h.qjl + i * qjl_bytes, qjl_bytes);
    if (!same_qjl(qjl, in_file)) fail("QJL bits of row " + std::to_string(i));
  }
}

uint16_t quieted(uint16_t norm) { return (norm & 0x7FFF) > 0x7F80 ? norm | 0x0040 : norm; }

// `b` holds the rows of `a`; after a save, NaN norms have their quiet bit set.
void expect_same_rows(const Storage& a, const Storage& b, bool resaved, const std::string& how) {
  if (a.dim() != b.dim() || a.bits() != b.bits() || a.use_qjl() != b.use_qjl() || a.seed() != b.seed() ||
      a.len() != b.len()) {
    fail("parameters changed " + how);
  }
  if (a.len() == 0) return;
  std::vector<uint8_t> ca(a.code_bytes()), cb(b.code_bytes());
  for (size_t i = 0; i < a.len(); ++i) {
    a.copy_codes(i, ca);
    b.copy_codes(i, cb);
    const uint16_t norm = resaved ? quieted(a.norm_bits(i)) : a.norm_bits(i);
    if (a.id(i) != b.id(i) || norm != b.norm_bits(i) || ca != cb || !same_qjl(a.qjl_bits(i), b.qjl_bits(i))) {
      fail("row " + std::to_string(i) + " changed " + how);
    }
  }
}

lodex::Result<Storage> parse_rows(std::span<const uint8_t> f) {
  auto parsed = lodex::parse_index_file(f);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  return std::move(parsed->storage);
}

// A load reads no further than index_file_bytes_needed says: whatever lies
// past that point must not change the outcome.
void expect_same_from_needed_bytes(std::span<const uint8_t> input, const lodex::Result<Storage>& whole) {
  const size_t needed = lodex::index_file_bytes_needed(input);
  if (needed >= input.size()) return;
  const lodex::Result<Storage> prefix = parse_rows(input.first(needed));
  if (whole.has_value() != prefix.has_value()) fail("the bytes past the needed ones changed the outcome");
  if (!whole) {
    if (whole.error().kind() != prefix.error().kind() || whole.error().text() != prefix.error().text()) {
      fail("the needed bytes alone give another error: " + prefix.error().text());
    }
    return;
  }
  expect_same_rows(*whole, *prefix, false, "when read from the needed bytes alone");
}

std::string scratch_path() {
  const char* dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/ldx-fuzz-" + std::to_string(::getpid()) + ".ldx";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The other format's magic: mappable_reader_fuzz's inputs.
  if (lodex::is_mappable_file({data, size})) return 0;
  const lodex::Result<Storage> parsed = parse_rows({data, size});
  expect_same_from_needed_bytes({data, size}, parsed);
  if (!parsed) {
    const IndexError& e = parsed.error();
    const bool invalid_file = e.kind() == IndexError::Kind::kFile && !e.is_io();
    if (!invalid_file && e.kind() != IndexError::Kind::kInternalFault) fail("unexpected error: " + e.text());
    if (invalid_file && e.text() != "invalid .ldx file: file too small" && e.text() != "invalid .ldx file: bad magic") {
      fail("unexpected reason: " + e.text());
    }
    return 0;
  }
  expect_rows(data, decode(data), *parsed);

  // A header can claim QJL rows far wider than the input (they read as
  // zeros); writing those out proves nothing more and would fill the disk.
  const uint64_t n = parsed->len();
  const uint64_t row_bytes = 10 + parsed->code_bytes() + (parsed->use_qjl() ? parsed->qjl_bytes() : 0);
  if (n != 0 && row_bytes > (uint64_t{1} << 20) / n) return 0;

  static const std::string path = scratch_path();
  if (const lodex::Status saved = lodex::save_index_file(path, *parsed); !saved) fail("resave: " + saved.error().text());
  const auto again = lodex::load_index_file(path);
  if (!again) fail("reload: " + again.error().text());
  expect_same_rows(*parsed, again->storage, true, "across a save");
  ::unlink(path.c_str());
  return 0;
}
