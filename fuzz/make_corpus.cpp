// Writes the reader fuzzers' seed corpora: for the .ldx reader, a small
// valid file for every bit width with and without QJL bits, written by the
// real writer, and crafted variants that reach each of the reader's odd
// paths; for the mappable reader, small mappable files of every width and
// kind (metric, rotation, center, row terms) and crafted variants.
// Deterministic, so the committed corpus only changes when this program does.
//
//   make_corpus LDX_DIR MAPPABLE_DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "format/index_file.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

lodex::Storage sample(uint64_t dim, uint8_t bits, bool use_qjl, size_t rows, bool terms = false) {
  lodex::Storage s(dim, 0x5EED, bits, use_qjl, terms);
  std::mt19937_64 rng(dim * 131 + bits * 7 + (use_qjl ? 1 : 0));
  Bytes codes(s.code_bytes()), qjl(s.qjl_bytes());
  for (size_t i = 0; i < rows; ++i) {
    for (auto& b : codes) b = static_cast<uint8_t>(rng());
    for (auto& b : qjl) b = static_cast<uint8_t>(rng());
    const uint64_t id = rng();
    const auto norm = static_cast<uint16_t>(rng());
    s.push(id, norm, codes, qjl, terms ? static_cast<float>(rng() % 100) : 0.0f);
  }
  return s;
}

Bytes written(const fs::path& dir, const lodex::Storage& s, const lodex::IndexParams* mappable = nullptr) {
  const fs::path p = dir / ".scratch";
  const auto st = mappable != nullptr ? lodex::save_index_file(p, *mappable, s, true) : lodex::save_index_file(p, s);
  if (!st) {
    std::fprintf(stderr, "save failed: %s\n", st.error().text().c_str());
    std::exit(1);
  }
  std::ifstream in(p, std::ios::binary);
  Bytes b{std::istreambuf_iterator<char>(in), {}};
  fs::remove(p);
  return b;
}

void put(Bytes& f, size_t at, uint64_t v, size_t width) {
  for (size_t k = 0; k < width; ++k) f[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

void emit(const fs::path& dir, const std::string& name, const Bytes& b) {
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

}  // namespace

// Small mappable files, each with a name, and crafted variants of one.
void mappable_corpus(const fs::path& dir) {
  fs::create_directories(dir);
  using lodex::Metric;
  using lodex::RotationKind;
  auto file = [&](uint64_t dim, uint64_t width, uint8_t bits, bool qjl, Metric metric, RotationKind rotation,
                  bool center, bool terms, size_t rows) {
    const lodex::Storage s = sample(width, bits, qjl, rows, terms);
    lodex::IndexParams params = lodex::plain_params(s);
    params.dim = dim;
    params.metric = metric;
    params.rotation = rotation;
    for (uint64_t j = 0; center && j < dim; ++j) params.center.push_back(static_cast<float>(j) - 2.5f);
    return written(dir, s, &params);
  };
  for (uint8_t bits = 2; bits <= 5; ++bits) {
    emit(dir, "plain-b" + std::to_string(bits), file(16, 16, bits, bits % 2 == 1, Metric::kIp, RotationKind::kHadamard,
                                                      false, false, 20));
  }
  emit(dir, "empty", file(64, 64, 4, true, Metric::kIp, RotationKind::kHadamard, false, false, 0));
  emit(dir, "cosine-general", file(20, 32, 3, false, Metric::kCosine, RotationKind::kGeneral, false, false, 5));
  emit(dir, "l2-center-terms", file(8, 8, 5, true, Metric::kL2, RotationKind::kHadamard, true, true, 17));
  emit(dir, "ip-center-general", file(5, 5, 4, false, Metric::kIp, RotationKind::kGeneral, true, true, 3));

  const Bytes base = file(8, 8, 3, true, Metric::kIp, RotationKind::kHadamard, true, true, 18);
  const std::pair<const char*, std::function<void(Bytes&)>> crafted[] = {
      {"short-127", [](Bytes& f) { f.resize(127); }},
      {"version-2", [](Bytes& f) { put(f, 4, 2, 2); }},
      {"bits-9", [](Bytes& f) { f[54] = 9; }},
      {"count-plus-1", [](Bytes& f) { put(f, 32, 19, 8); }},
      {"count-2pow60", [](Bytes& f) { put(f, 32, uint64_t{1} << 60, 8); }},
      {"codes-near-top", [](Bytes& f) { put(f, 96, ~uint64_t{63}, 8); }},
      {"overlapping", [](Bytes& f) { put(f, 80, 192, 8); }},
      {"tail-lanes", [](Bytes& f) { std::fill(f.end() - 64, f.end(), 0xA5); }},
      {"nan-norms", [](Bytes& f) { std::fill_n(f.begin() + (f[80] | f[81] << 8), 36, uint8_t{0xFF}); }},
      {"trailing", [](Bytes& f) { f.resize(f.size() + 17, 0xEE); }},
  };
  for (const auto& [name, edit] : crafted) {
    Bytes f = base;
    edit(f);
    emit(dir, name, f);
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LDX_CORPUS_DIR MAPPABLE_CORPUS_DIR\n", argv[0]);
    return 2;
  }
  mappable_corpus(argv[2]);
  const fs::path dir = argv[1];
  fs::create_directories(dir);

  for (uint8_t bits = 2; bits <= 5; ++bits) {
    for (bool qjl : {false, true}) {
      emit(dir, "valid-b" + std::to_string(bits) + (qjl ? "-qjl" : ""), written(dir, sample(16, bits, qjl, 3)));
    }
  }
  emit(dir, "empty", written(dir, sample(64, 4, false, 0)));
  emit(dir, "empty-qjl", written(dir, sample(64, 4, true, 0)));
  emit(dir, "odd-bits7", written(dir, sample(8, 7, true, 2)));
  emit(dir, "odd-dim100", written(dir, sample(100, 2, false, 1)));

  const Bytes base = written(dir, sample(8, 3, true, 2));
  const std::pair<const char*, std::function<void(Bytes&)>> crafted[] = {
      {"short-51", [](Bytes& f) { f.resize(51); }},
      {"bad-magic", [](Bytes& f) { f[0] = 'X'; }},
      {"version-7", [](Bytes& f) { put(f, 4, 7, 2); }},
      {"use-qjl-2", [](Bytes& f) { f[11] = 2; }},
      {"qjl-offset-0", [](Bytes& f) { put(f, 44, 0, 8); }},
      {"bits-0", [](Bytes& f) { f[10] = 0; }},
      {"count-plus-1", [](Bytes& f) { put(f, 20, 3, 8); }},
      {"count-2pow60", [](Bytes& f) { put(f, 20, uint64_t{1} << 60, 8); }},
      {"norms-near-top", [](Bytes& f) { put(f, 28, ~uint64_t{0} - 1, 8); }},
      {"codes-near-top", [](Bytes& f) { put(f, 36, ~uint64_t{0} - 2, 8); }},
      {"dim-2pow31-bits5", [](Bytes& f) { put(f, 6, uint64_t{1} << 31, 4), f[10] = 5; }},
      {"overlapping", [](Bytes& f) { put(f, 28, 52, 8), put(f, 36, 54, 8), put(f, 44, 52, 8); }},
      {"trailing", [](Bytes& f) { f.resize(f.size() + 17, 0xEE); }},
  };
  for (const auto& [name, edit] : crafted) {
    Bytes f = base;
    edit(f);
    emit(dir, name, f);
  }
  return 0;
}
