// Search speed of the core, per bit width, kernel level and scan path: one
// query per call and batches, on one thread and on two. Rows are encoded
// from float32 vectors (Gaussian by default, or raw float32 files), so the
// first pass sees the score distribution real rows give. Every path's
// results are checked against the exact path's, bit for bit.
//
//   scan_bench [--rows N] [--dim D] [--k K] [--batch B] [--bits 2,3,4,5]
//              [--levels scalar,avx2,avx512,avx512vnni,avx512vbmi] [--paths exact,auto,fast] [--repeats R]
//              [--threads 1] [--data rows.f32 --queries queries.f32]   (raw row-major float32)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "kernels/cpu.hpp"
#include "quant/encode.hpp"
#include "rotation/hadamard.hpp"
#include "search/search.hpp"
#include "search_by_signs.hpp"
#include "store/storage.hpp"

namespace {

struct Config {
  size_t rows = 1000000;
  uint64_t dim = 128;
  uint64_t k = 10;
  size_t batch = 200;
  std::vector<int> bits = {2, 3, 4, 5};
  std::vector<lodex::SimdLevel> levels;
  int repeats = 7;
  bool two_threads = true;  // --threads 1: one-thread figures only
  std::string data;
  std::string queries;
  std::vector<lodex::ScanPath> paths = {lodex::ScanPath::kExact, lodex::ScanPath::kAuto};
};

std::vector<float> read_floats(const std::string& path, size_t count) {
  std::vector<float> v(count);
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(float)))) {
    std::fprintf(stderr, "cannot read %zu floats from %s\n", count, path.c_str());
    std::exit(1);
  }
  return v;
}

std::vector<float> gaussian(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> v(count);
  for (float& x : v) x = g(rng);
  return v;
}

lodex::Storage encode_all(const std::vector<float>& rows, size_t n, uint64_t dim, uint8_t bits,
                          const std::vector<float>& signs) {
  lodex::Storage storage(dim, 7, bits, false);
  storage.reserve(n);
  auto encoder = lodex::RowEncoder::create(dim, signs, bits);
  if (!encoder) std::exit(1);
  std::vector<uint8_t> codes(encoder->code_bytes());
  for (size_t i = 0; i < n; ++i) {
    const uint16_t norm = encoder->encode(rows.data() + i * dim, codes.data());
    storage.push(i, norm, codes, std::nullopt);
  }
  return storage;
}

// One-thread figures are the calling thread's CPU time: the machine is
// shared, and a competing process stretches wall time, not CPU time.
double thread_cpu_ms() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

double now_ms(bool cpu) {
  if (cpu) return thread_cpu_ms();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Run {
  double ms = 1e30;  // best time of the whole call
  lodex::BatchResults results;
  lodex::SearchStats stats;
};

Run time_batch(const lodex::Storage& s, const std::vector<float>& signs, const std::vector<float>& queries, size_t n,
               uint64_t k, lodex::SearchOptions options, int repeats) {
  Run run;
  options.stats = &run.stats;
  const bool cpu = options.max_threads == 1;
  for (int r = 0; r < repeats; ++r) {
    const double start = now_ms(cpu);
    auto found = lodex::testing_support::search_batch(s, signs, s.bits(), std::span(queries).first(n * s.dim()), n,
                                                      s.dim(), k, options);
    const double stop = now_ms(cpu);
    if (!found) std::abort();
    run.ms = std::min(run.ms, stop - start);
    run.results = std::move(*found);
  }
  return run;
}

// One query per call, `n` different queries; the best per-query time over repeats.
Run time_single(const lodex::Storage& s, const std::vector<float>& signs, const std::vector<float>& queries,
                size_t n, uint64_t k, lodex::SearchOptions options, int repeats) {
  Run run;
  options.stats = &run.stats;
  double best_total = 1e30;
  const bool cpu = options.max_threads == 1;
  for (int r = 0; r < repeats; ++r) {
    double total = 0;
    for (size_t i = 0; i < n; ++i) {
      const double start = now_ms(cpu);
      auto found = lodex::testing_support::search_batch(s, signs, s.bits(),
                                                        std::span(queries).subspan(i * s.dim(), s.dim()), 1, s.dim(),
                                                        k, options);
      const double stop = now_ms(cpu);
      if (!found) std::abort();
      total += stop - start;
    }
    best_total = std::min(best_total, total);
  }
  run.ms = best_total / static_cast<double>(n);
  return run;
}

void expect_same(const lodex::BatchResults& a, const lodex::BatchResults& b, size_t rows_a, const char* what) {
  const size_t n = std::min(a.ids.size(), b.ids.size()) / std::max<size_t>(a.per_query, 1);
  (void)rows_a;
  for (size_t i = 0; i < std::min(a.ids.size(), b.ids.size()); ++i) {
    uint32_t x;
    uint32_t y;
    std::memcpy(&x, &a.scores[i], 4);
    std::memcpy(&y, &b.scores[i], 4);
    if (a.ids[i] != b.ids[i] || x != y) {
      std::fprintf(stderr, "MISMATCH (%s) at %zu of %zu queries\n", what, i, n);
      std::abort();
    }
  }
}

lodex::SimdLevel level_named(const std::string& name) {
  for (const auto l : lodex::kAllSimdLevels) {
    if (name == lodex::simd_level_name(l)) return l;
  }
  std::fprintf(stderr, "unknown level %s\n", name.c_str());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Config c;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--rows") c.rows = std::stoull(value);
    else if (key == "--dim") c.dim = std::stoull(value);
    else if (key == "--k") c.k = std::stoull(value);
    else if (key == "--batch") c.batch = std::stoull(value);
    else if (key == "--repeats") c.repeats = std::stoi(value);
    else if (key == "--threads") c.two_threads = value != "1";
    else if (key == "--data") c.data = value;
    else if (key == "--queries") c.queries = value;
    else if (key == "--paths") {
      c.paths.clear();
      if (value.find("exact") != std::string::npos) c.paths.push_back(lodex::ScanPath::kExact);
      if (value.find("auto") != std::string::npos) c.paths.push_back(lodex::ScanPath::kAuto);
      if (value.find("fast") != std::string::npos) c.paths.push_back(lodex::ScanPath::kFast);
    }
    else if (key == "--bits") {
      c.bits.clear();
      for (size_t p = 0; p < value.size(); p += 2) c.bits.push_back(value[p] - '0');
    } else if (key == "--levels") {
      size_t p = 0;
      while (p <= value.size()) {
        const size_t q = std::min(value.find(',', p), value.size());
        c.levels.push_back(level_named(value.substr(p, q - p)));
        p = q + 1;
      }
    }
  }
  if (c.levels.empty()) {
    for (const auto l : lodex::supported_simd_levels()) c.levels.push_back(l);
  }
  const auto signs = lodex::make_sign_vector(c.dim, 7);
  if (!signs) return 1;
  const std::vector<float> rows = c.data.empty() ? gaussian(c.rows * c.dim, 1) : read_floats(c.data, c.rows * c.dim);
  const std::vector<float> queries =
      c.queries.empty() ? gaussian(c.batch * c.dim, 2) : read_floats(c.queries, c.batch * c.dim);
  const size_t singles = std::min<size_t>(c.batch, 20);

  std::printf("rows %zu, dim %llu, k %llu, batch %zu; ms per query, best of %d (1T: thread CPU time, 2T: wall)\n\n", c.rows,
              static_cast<unsigned long long>(c.dim), static_cast<unsigned long long>(c.k), c.batch, c.repeats);
  std::printf("| bits | level | path | single 1T | single 2T | batch 1T | batch 2T | exact-scored rows/query | fell back |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const int b : c.bits) {
    const auto bits = static_cast<uint8_t>(b);
    const lodex::Storage storage = encode_all(rows, c.rows, c.dim, bits, *signs);
    lodex::BatchResults reference;
    bool have_reference = false;
    for (const auto level : c.levels) {
      for (const auto path : c.paths) {
        lodex::SearchOptions o;
        o.level = level;
        o.path = path;
        o.max_threads = 1;
        const Run s1 = time_single(storage, *signs, queries, singles, c.k, o, c.repeats);
        const Run b1 = time_batch(storage, *signs, queries, c.batch, c.k, o, std::max(1, c.repeats / 3));
        o.max_threads = 2;
        const Run s2 = c.two_threads ? time_single(storage, *signs, queries, singles, c.k, o, c.repeats) : Run{};
        const Run b2 = c.two_threads ? time_batch(storage, *signs, queries, c.batch, c.k, o, std::max(1, c.repeats / 3))
                                     : b1;
        if (!have_reference) {
          reference = b1.results;
          have_reference = true;
        }
        expect_same(reference, b1.results, c.rows, "batch 1T");
        expect_same(reference, b2.results, c.rows, "batch 2T");
        const double n = static_cast<double>(c.batch);
        char two_single[32] = "-";
        char two_batch[32] = "-";
        if (c.two_threads) {
          std::snprintf(two_single, sizeof two_single, "%.3f", s2.ms);
          std::snprintf(two_batch, sizeof two_batch, "%.3f", b2.ms / n);
        }
        std::printf("| %d | %s | %s | %.3f | %s | %.3f | %s | %.0f | %zu |\n", b, lodex::simd_level_name(level),
                    path == lodex::ScanPath::kExact ? "exact" : path == lodex::ScanPath::kAuto ? "auto" : "fast", s1.ms,
                    two_single, b1.ms / n, two_batch, static_cast<double>(b1.stats.rows_exact) / n, b1.stats.fell_back);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
