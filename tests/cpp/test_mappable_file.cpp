// The mappable file: the same index through bytes, a file, a load and a map;
// the choice of format on save; hostile headers and cut files refused with
// their reasons.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "format/index_file.hpp"

namespace lodex {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  uint64_t dim, width;
  uint8_t bits;
  bool qjl;
  Metric metric;
  RotationKind rotation;
  bool center, terms;
  size_t rows;
};

StoredIndex make(const Case& c) {
  StoredIndex out{{}, Storage(c.width, 99, c.bits, c.qjl, c.terms)};
  out.params = plain_params(out.storage);
  out.params.dim = c.dim;
  out.params.metric = c.metric;
  out.params.rotation = c.rotation;
  std::mt19937_64 rng(c.rows * 31 + c.bits);
  if (c.center) {
    for (uint64_t j = 0; j < c.dim; ++j) out.params.center.push_back(static_cast<float>(rng() % 1000) - 500.5f);
  }
  std::vector<uint8_t> codes(c.width);
  Bytes packed(out.storage.code_bytes()), qjl(out.storage.qjl_bytes());
  for (size_t i = 0; i < c.rows; ++i) {
    for (auto& code : codes) code = static_cast<uint8_t>(rng() & ((1u << c.bits) - 1));
    pack_codes(codes, c.bits, packed);
    for (auto& b : qjl) b = i % 3 == 0 ? static_cast<uint8_t>(rng()) : 0;
    out.storage.push(rng(), static_cast<uint16_t>(rng()), packed, qjl, static_cast<float>(rng() % 97) * 0.25f);
  }
  return out;
}

// Parameters and every row (codes, norm bits, term, QJL bytes), as text.
std::string describe(const Result<StoredIndex>& r) {
  std::ostringstream out;
  if (!r) return "error " + std::to_string(static_cast<int>(r.error().kind())) + ": " + r.error().text();
  const IndexParams& p = r->params;
  const Storage& s = r->storage;
  out << p.dim << "/" << s.dim() << "/" << int{p.bits} << "/" << p.use_qjl << "/" << p.seed << "/"
      << int(p.metric) << "/" << int(p.rotation) << "/" << s.has_row_terms() << " center:";
  for (float v : p.center) out << v << ",";
  Bytes code(s.code_bytes());
  for (size_t i = 0; i < s.len(); ++i) {
    s.copy_codes(i, code);
    out << "\n" << s.id(i) << " " << s.norm_bits(i) << " " << (s.has_row_terms() ? s.row_term(i) : 0.0f) << " ";
    for (uint8_t b : code) out << int{b} << ".";
    const auto qjl = s.qjl_bits(i);
    if (qjl && std::any_of(qjl->begin(), qjl->end(), [](uint8_t b) { return b != 0; })) {
      for (uint8_t b : *qjl) out << " " << int{b};
    }
  }
  return out.str();
}

Bytes read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& p, const Bytes& b) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

class MappableFile : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("lodex-mappable-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

class RoundTrip : public MappableFile, public testing::WithParamInterface<Case> {};

TEST_P(RoundTrip, BytesFileLoadAndMapAgree) {
  const StoredIndex index = make(GetParam());
  const std::string want = describe(index);
  const Result<Bytes> bytes = index_file_bytes(index.params, index.storage, true);
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size(), mappable_file_bytes(index.params, index.storage));
  EXPECT_EQ(describe(parse_index_file(*bytes)), want);

  const fs::path path = dir_ / "index.ldx";
  ASSERT_TRUE(save_index_file(path, index.params, index.storage, true).has_value());
  EXPECT_EQ(read_bytes(path), *bytes);
  EXPECT_EQ(describe(load_index_file(path)), want);
  for (const bool warm : {false, true}) {
    const Result<StoredIndex> mapped = map_index_file(path, warm);
    ASSERT_EQ(describe(mapped), want);
    ASSERT_TRUE(mapped->storage.read_only());
    // Served as stored: the code blocks the scan reads are the original's.
    const Storage& s = mapped->storage;
    ASSERT_EQ(s.chunk_count(), index.storage.chunk_count());
    for (size_t c = 0; c < s.chunk_count(); ++c) {
      const size_t words = (std::min(kChunkRows, s.len() - c * kChunkRows) + kBlockRows - 1) / kBlockRows *
                           s.words_per_row() * kBlockRows;
      ASSERT_EQ(std::memcmp(s.chunk_blocks(c), index.storage.chunk_blocks(c), words * 4), 0) << c;
    }
    // A mapped store writes and copies out exactly what it maps.
    EXPECT_EQ(*index_file_bytes(mapped->params, s, true), *bytes);
    std::vector<size_t> rows;
    for (size_t i = 0; i < s.len(); i += 7) rows.push_back(s.len() - 1 - i);
    const Storage picked = s.select(rows);
    EXPECT_FALSE(picked.read_only());
    EXPECT_EQ(describe(StoredIndex{mapped->params, picked}),
              describe(StoredIndex{index.params, index.storage.select(rows)}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RoundTrip,
    testing::Values(Case{"plain_qjl_chunks", 64, 64, 4, true, Metric::kIp, RotationKind::kHadamard, false, false,
                         2 * kChunkRows + 37},
                    Case{"cosine_general_center_terms", 100, 100, 3, false, Metric::kCosine, RotationKind::kGeneral,
                         true, true, 45},
                    Case{"l2_center_terms_qjl", 16, 16, 2, true, Metric::kL2, RotationKind::kHadamard, true, true, 17},
                    Case{"pad_bits", 8, 8, 5, false, Metric::kIp, RotationKind::kHadamard, false, false, 33},
                    Case{"empty", 128, 128, 4, true, Metric::kCosine, RotationKind::kHadamard, false, true, 0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(MappableFile, PlainParametersKeepTheOriginalFormatUnlessAsked) {
  StoredIndex index = make({"", 32, 32, 4, true, Metric::kIp, RotationKind::kHadamard, false, false, 5});
  const Bytes ldx = *index_file_bytes(index.storage);
  EXPECT_EQ(*index_file_bytes(index.params, index.storage), ldx);
  EXPECT_EQ(std::string(ldx.begin(), ldx.begin() + 4), "LDXI");
  EXPECT_EQ(index_file_bytes(index.params, index.storage, true)->at(3), 'M');
  index.params.metric = Metric::kL2;
  EXPECT_EQ(index_file_bytes(index.params, index.storage)->at(3), 'M');

  // The original format cannot be mapped: the error says what to do.
  write_bytes(dir_ / "plain.ldx", ldx);
  const Result<StoredIndex> mapped = map_index_file(dir_ / "plain.ldx", false);
  ASSERT_FALSE(mapped.has_value());
  EXPECT_EQ(mapped.error().kind(), IndexError::Kind::kInvalidArgument);
  EXPECT_NE(mapped.error().text().find("mappable=True"), std::string::npos);
}

void put(Bytes& f, size_t at, uint64_t v, size_t width) {
  for (size_t k = 0; k < width; ++k) f[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

TEST_F(MappableFile, HostileHeadersAreRefusedWithTheirReason) {
  const StoredIndex index = make({"", 32, 32, 4, true, Metric::kIp, RotationKind::kHadamard, false, true, 20});
  const Bytes base = *index_file_bytes(index.params, index.storage, true);
  const std::pair<std::function<void(Bytes&)>, const char*> cases[] = {
      {[](Bytes& f) { put(f, 4, 2, 2); }, "unsupported version 2 (this lodex reads version 1)"},
      {[](Bytes& f) { put(f, 48, 8192, 4); }, "unsupported layout: blocks of 16 rows in chunks of 8192 rows"},
      {[](Bytes& f) { f[54] = 6; }, "bits 6 outside 2-5"},
      {[](Bytes& f) { f[55] = 2; }, "use_qjl byte 2 is neither 0 nor 1"},
      {[](Bytes& f) { f[56] = 3; }, "unknown metric 3"},
      {[](Bytes& f) { f[57] = 2; }, "unknown rotation 2"},
      {[](Bytes& f) { put(f, 8, 48, 8), put(f, 16, 48, 8); }, "dimension 48 is not a power of 2 (Hadamard rotation)"},
      {[](Bytes& f) { put(f, 16, 64, 8); }, "width 64 differs from dimension 32 (Hadamard rotation)"},
      {[](Bytes& f) { f[57] = 1, put(f, 16, 64, 8); }, "width 64 does not fit dimension 32"},
      {[](Bytes& f) { put(f, 40, 3, 8); }, "3 words per row where width 32 at 4 bits takes 4"},
      {[](Bytes& f) { put(f, 104, 0, 8); }, "use_qjl without a QJL section"},
      {[](Bytes& f) { put(f, 72, 64, 8); }, "ids section at offset 64 overlaps the header"},
      {[](Bytes& f) { put(f, 80, f[80] + 8, 1); }, "misaligned norms section at offset 328"},
      {[](Bytes& f) { put(f, 96, ~uint64_t{63}, 8); }, "truncated: the codes section at offset 18446744073709551552"},
      {[](Bytes& f) { put(f, 32, uint64_t{1} << 62, 8); }, "truncated: the ids section"},
      {[](Bytes& f) { put(f, 80, 192, 8); }, "the ids and norms sections overlap"},
  };
  for (const auto& [edit, reason] : cases) {
    Bytes f = base;
    edit(f);
    write_bytes(dir_ / "bad.ldx", f);
    const std::string want = std::string("invalid .ldx file: ") + reason;
    for (const Result<StoredIndex>& r : {parse_index_file(f), load_index_file(dir_ / "bad.ldx"),
                                         map_index_file(dir_ / "bad.ldx", false)}) {
      ASSERT_FALSE(r.has_value()) << reason;
      EXPECT_EQ(r.error().text().substr(0, want.size()), want);
    }
  }
  // Reserved bytes are ignored.
  Bytes f = base;
  put(f, 6, 0xFFFF, 2), put(f, 112, ~uint64_t{0}, 8);
  EXPECT_EQ(describe(parse_index_file(f)), describe(index));

  // Cut anywhere, the file is refused as too small or truncated.
  for (size_t len = 0; len < base.size(); ++len) {
    const Result<StoredIndex> r = parse_index_file(std::span(base).first(len));
    ASSERT_FALSE(r.has_value()) << len;
    const std::string& text = r.error().text();
    ASSERT_TRUE(text == "invalid .ldx file: file too small" || text.starts_with("invalid .ldx file: truncated"))
        << len << ": " << text;
  }
}

}  // namespace
}  // namespace lodex
