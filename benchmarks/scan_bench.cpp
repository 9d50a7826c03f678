// Scan throughput of every kernel level the machine supports: rows scored per
// second per core over one stored index, for one and two threads. Random
// codes and norms (the scan's cost does not depend on their values).
//
//   scan_bench [rows] [dim] [k]      defaults: 1000000 128 10
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "cpu.hpp"
#include "rotation.hpp"
#include "search.hpp"
#include "storage.hpp"

namespace {

lodex::Storage random_storage(size_t rows, uint64_t dim, uint8_t bits, uint64_t seed) {
  lodex::Storage storage(dim, seed, bits, false);
  storage.reserve(rows);
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> codes(storage.code_bytes());
  for (size_t i = 0; i < rows; ++i) {
    for (uint8_t& b : codes) b = static_cast<uint8_t>(rng());
    // dim * bits is a whole number of bytes for every dim >= 8: no unused bits.
    const float norm = 0.5f + static_cast<float>(rng() % 1000) / 1000.0f;
    storage.push(i, lodex::bf16_from_f32(norm), codes, std::nullopt);
  }
  return storage;
}

struct Timing {
  double wall;  // seconds per query, best run
  double cpu;   // process CPU seconds per query, best run: per-core rates stay
                // meaningful on a machine shared with other work
};

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Timing best_of(const lodex::Storage& storage, const std::vector<float>& signs, uint8_t bits,
               const std::vector<float>& query, uint64_t k, const lodex::SearchOptions& options, int repeats) {
  Timing best{1e30, 1e30};
  for (int r = 0; r < repeats; ++r) {
    const double cpu0 = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    auto found = lodex::search(storage, signs, bits, query, k, options);
    const auto stop = std::chrono::steady_clock::now();
    const double cpu1 = process_cpu_seconds();
    if (!found || found->size() != std::min<uint64_t>(k, storage.len())) std::abort();
    best.wall = std::min(best.wall, std::chrono::duration<double>(stop - start).count());
    best.cpu = std::min(best.cpu, cpu1 - cpu0);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const uint64_t dim = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const uint64_t k = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10;
  const auto signs = lodex::make_sign_vector(dim, 7);
  if (!signs) return 1;
  std::mt19937 rng(11);
  std::normal_distribution<float> gauss;
  std::vector<float> query(dim);
  for (float& q : query) q = gauss(rng);

  std::printf("rows %zu, dim %llu, k %llu; rows/s per core (best of 7)\n\n", rows,
              static_cast<unsigned long long>(dim), static_cast<unsigned long long>(k));
  std::printf("| bits | level  | 1 thread: M rows/s (CPU time) | wall | 2 threads: M rows/s/core (CPU time) | wall | 2-thread query ms |\n");
  std::printf("|------|--------|------|------|------|------|------|\n");
  for (uint8_t bits = 2; bits <= 5; ++bits) {
    const lodex::Storage storage = random_storage(rows, dim, bits, 1234 + bits);
    for (const auto level : {lodex::SimdLevel::kScalar, lodex::SimdLevel::kAvx2, lodex::SimdLevel::kAvx512}) {
      if (!lodex::simd_level_supported(level)) continue;
      lodex::SearchOptions options;
      options.level = level;
      options.max_threads = 1;
      const int repeats = level == lodex::SimdLevel::kScalar ? 3 : 15;
      const Timing one = best_of(storage, *signs, bits, query, k, options, repeats);
      options.max_threads = 2;
      const Timing two = best_of(storage, *signs, bits, query, k, options, repeats);
      const double n = static_cast<double>(rows) / 1e6;
      std::printf("| %d | %s | %.1f | %.1f | %.1f | %.1f | %.2f |\n", bits, lodex::simd_level_name(level), n / one.cpu,
                  n / one.wall, n / two.cpu, n / two.wall / 2, two.wall * 1e3);
    }
  }
  return 0;
}
