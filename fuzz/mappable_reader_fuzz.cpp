// libFuzzer harness for the mappable index file, read into memory and served
// from a map. The input (its first four bytes forced to the magic) must be
// refused as an invalid file or parse; a parsed file must hold exactly the
// bytes its header points at (decoded here independently of the reader),
// must come out the same from only the bytes a load reads, from a load of the
// file and from a map of it, must survive a save and a second parse
// unchanged, and an index served from the map must answer a search with the
// parsed index's very ids and score bits.
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "index.hpp"
#include "format/index_file.hpp"

namespace {

using lodex::IndexError;
using lodex::Result;
using lodex::StoredIndex;

using fuzz_support::fail;
using fuzz_support::le;

// Everything a reader of the result sees, as text: the error, or the
// parameters, the center bits and every row with its term and QJL bytes.
std::string describe(const Result<StoredIndex>& r) {
  if (!r) return "error " + std::to_string(static_cast<int>(r.error().kind())) + ": " + r.error().text();
  std::ostringstream out;
  const lodex::IndexParams& p = r->params;
  const lodex::Storage& s = r->storage;
  out << p.dim << "/" << s.dim() << "/" << int{p.bits} << "/" << p.use_qjl << "/" << p.seed << "/" << int(p.metric)
      << "/" << int(p.rotation) << "/" << s.has_row_terms() << ":";
  for (const float v : p.center) out << std::bit_cast<uint32_t>(v) << ",";
  std::vector<uint8_t> code(s.code_bytes());
  for (size_t i = 0; i < s.len(); ++i) {
    s.copy_codes(i, code);
    out << "|" << s.id(i) << "," << s.norm_bits(i) << ",";
    if (s.has_row_terms()) out << std::bit_cast<uint32_t>(s.row_term(i));
    out << ",";
    for (const uint8_t b : code) out << int{b} << ".";
    const auto qjl = s.qjl_bits(i);
    if (qjl && std::any_of(qjl->begin(), qjl->end(), [](uint8_t b) { return b != 0; })) {
      for (const uint8_t b : *qjl) out << int{b} << ":";
    }
  }
  return out.str();
}

// The rows as the layout table places them, read straight from the input.
void expect_rows(const std::vector<uint8_t>& f, const StoredIndex& got) {
  const uint8_t* h = f.data();
  const lodex::Storage& s = got.storage;
  const uint64_t count = le(h + 32, 8), words = le(h + 40, 8), center = le(h + 64, 8), ids = le(h + 72, 8),
                 norms = le(h + 80, 8), terms = le(h + 88, 8), codes = le(h + 96, 8), qjl = le(h + 104, 8);
  if (s.len() != count || s.dim() != le(h + 16, 8) || got.params.dim != le(h + 8, 8) || s.words_per_row() != words ||
      s.has_row_terms() != (terms != 0) || got.params.center.size() != (center != 0 ? got.params.dim : 0)) {
    fail("parameters differ from the header");
  }
  for (size_t j = 0; j < got.params.center.size(); ++j) {
    if (std::bit_cast<uint32_t>(got.params.center[j]) != le(h + center + 4 * j, 4)) fail("center");
  }
  const size_t code_bytes = s.code_bytes(), qjl_bytes = s.qjl_bytes();
  std::vector<uint8_t> code(code_bytes);
  for (size_t i = 0; i < s.len(); ++i) {
    const std::string row = " of row " + std::to_string(i);
    if (s.id(i) != le(h + ids + 8 * i, 8) || s.norm_bits(i) != le(h + norms + 2 * i, 2)) fail("id or norm" + row);
    if (terms != 0 && std::bit_cast<uint32_t>(s.row_term(i)) != le(h + terms + 4 * i, 4)) fail("term" + row);
    s.copy_codes(i, code);
    const uint8_t* block = h + codes + (i / 16) * words * 64;
    for (size_t k = 0; k < code_bytes; ++k) {
      if (code[k] != block[4 * ((k / 4) * 16 + i % 16) + k % 4]) fail("code" + row);
    }
    const auto bits = s.qjl_bits(i);
    for (size_t k = 0; qjl != 0 && k < qjl_bytes; ++k) {
      if ((bits ? (*bits)[k] : 0) != h[qjl + i * qjl_bytes + k]) fail("QJL" + row);
    }
  }
}

// A search of the parsed bytes and of the map must agree bit for bit.
void expect_same_search(const std::vector<uint8_t>& f, const std::string& path) {
  auto parsed = lodex::Index::from_bytes(f);
  auto mapped = lodex::Index::map(path, false);
  if (parsed.has_value() != mapped.has_value()) fail("the index opens one way only");
  if (!parsed) return;
  std::vector<float> query((*parsed)->dim());
  for (size_t j = 0; j < query.size(); ++j) query[j] = static_cast<float>(f[j % f.size()]) - 127.5f;
  const auto a = (*parsed)->search(query, 1, query.size(), 10);
  const auto b = (*mapped)->search(query, 1, query.size(), 10);
  if (a.has_value() != b.has_value()) fail("search fails one way only");
  auto bits = [](const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (const float x : v) out.push_back(std::bit_cast<uint32_t>(x));
    return out;
  };
  if (a && (a->ids != b->ids || bits(a->scores) != bits(b->scores))) {
    fail("the map's answers differ");
  }
}

std::string scratch_path() {
  const char* dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/ldx-map-fuzz-" + std::to_string(::getpid()) + ".ldx";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> f(data, data + size);
  for (size_t k = 0; k < 4 && k < f.size(); ++k) f[k] = "LDXM"[k];

  const Result<StoredIndex> parsed = lodex::parse_index_file(f);
  const std::string outcome = describe(parsed);
  if (!parsed) {
    const IndexError& e = parsed.error();
    const bool invalid_file = e.kind() == IndexError::Kind::kFile && !e.is_io();
    if (!invalid_file && e.kind() != IndexError::Kind::kOutOfMemory) fail("unexpected error: " + e.text());
  }
  const size_t needed = lodex::index_file_bytes_needed(f);
  if (needed < f.size() && describe(lodex::parse_index_file(std::span(f).first(needed))) != outcome) {
    fail("the bytes past the needed ones changed the outcome");
  }

  static const std::string path = scratch_path();
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
  if (describe(lodex::load_index_file(path)) != outcome) fail("a load of the file differs from the parse");
  if (f.size() >= 4) {
    const Result<StoredIndex> mapped = lodex::map_index_file(path, false);
    if (describe(mapped) != outcome) fail("the map differs from the parse");
  }
  if (parsed) {
    expect_rows(f, *parsed);
    const auto saved = lodex::index_file_bytes(parsed->params, parsed->storage, true);
    if (!saved) fail("resave: " + saved.error().text());
    const Result<StoredIndex> again = lodex::parse_index_file(*saved);
    if (describe(again) != outcome) fail("rows changed across a save");
    if (*lodex::index_file_bytes(again->params, again->storage, true) != *saved) fail("a second save differs");
    if (parsed->params.dim <= 1024 && parsed->storage.len() <= 4096) expect_same_search(f, path);
  }
  ::unlink(path.c_str());
  return 0;
}
