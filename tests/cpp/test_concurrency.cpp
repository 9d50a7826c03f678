// Threads meeting in the core: nested fork-join calls on the pool and
// searches running side by side on one store. (The index's own lock, with
// writers and readers, is tested in test_index.cpp.)
// Written to be run under ThreadSanitizer as well as plainly; every test is
// guarded by a watchdog so a deadlock fails instead of hanging the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "rotation/hadamard.hpp"
#include "scan_fixtures.hpp"
#include "search/search.hpp"
#include "search/top_k.hpp"
#include "store/storage.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::random_storage;
using testing_support::search;

// Aborts the process (with a message naming the test) if it is still alive
// after `limit`: a hang must fail the run, not stall it until CI's timeout.
// The bound is generous; it only detects deadlocks, it measures nothing.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(120))
      : thread_([this, limit] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            const auto* info = testing::UnitTest::GetInstance()->current_test_info();
            std::fprintf(stderr, "deadlock: %s.%s still running after %llds\n", info ? info->test_suite_name() : "?",
                         info ? info->name() : "?", static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}

  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

// Counts how often each piece ran.
class CountingWork final : public IndexedWork {
 public:
  explicit CountingWork(size_t count) : hits_(count) {}
  void run(size_t i) noexcept override { hits_[i].fetch_add(1, std::memory_order_relaxed); }
  bool each_ran_once() const {
    return std::all_of(hits_.begin(), hits_.end(), [](const std::atomic<int>& h) { return h.load() == 1; });
  }

 private:
  std::vector<std::atomic<int>> hits_;
};

// ------------------------------------------------------------------- the pool

// A piece that itself fans out: with every worker busy in an outer piece, the
// inner calls must still finish (their callers run the pieces themselves).
class NestedWork final : public IndexedWork {
 public:
  explicit NestedWork(size_t inner) : inner_(inner) {}
  void run(size_t) noexcept override {
    CountingWork work(inner_);
    parallel_for(inner_, work);
    if (!work.each_ran_once()) failures.fetch_add(1);
    done.fetch_add(1);
  }
  std::atomic<size_t> failures{0};
  std::atomic<size_t> done{0};

 private:
  size_t inner_;
};

TEST(Pool, NestedCallsFinish) {
  Watchdog watchdog;
  NestedWork work(16);
  parallel_for(12, work);
  EXPECT_EQ(work.done.load(), 12u);
  EXPECT_EQ(work.failures.load(), 0u);
}

// ----------------------------------------------------------- concurrent search

SearchOptions many_pieces() {
  SearchOptions options;
  options.piece_rows = 64;  // more pieces than workers: some wait in the queue
  return options;
}

SearchOptions one_piece() {
  SearchOptions options;
  options.max_threads = 1;
  return options;
}

// Same ranking: identical score bits rank by rank, and identical ids wherever
// the score is not tied with a neighbour (ties may be ordered either way).
void expect_same_ranking(const std::vector<ScoredResult>& got, const std::vector<ScoredResult>& want,
                         const std::string& context) {
  ASSERT_EQ(got.size(), want.size()) << context;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(bits_of(got[i].score), bits_of(want[i].score)) << context << " rank " << i;
    const bool tied = (i > 0 && want[i - 1].score == want[i].score) ||
                      (i + 1 < want.size() && want[i + 1].score == want[i].score);
    if (!tied) {
      ASSERT_EQ(got[i].id, want[i].id) << context << " rank " << i;
    }
  }
}

class ConcurrentSearch : public testing::TestWithParam<uint8_t> {};

// Several threads searching one store at once get exactly what a search alone
// on one thread gets.
TEST_P(ConcurrentSearch, MatchesSoloResults) {
  Watchdog watchdog;
  const uint8_t bits = GetParam();
  constexpr uint64_t kDim = 64;
  const Storage storage = random_storage(kDim, bits, 6000, 17 + bits);
  const auto signs = make_sign_vector(kDim, 5);
  ASSERT_TRUE(signs.has_value());
  constexpr size_t kThreads = 4;
  constexpr size_t kQueries = 8;
  std::vector<std::vector<float>> queries;
  std::vector<std::vector<ScoredResult>> solo;
  for (size_t q = 0; q < kQueries; ++q) {
    queries.push_back(gaussian(kDim, 100 + q));
    const auto found = search(storage, *signs, bits, queries.back(), 20, one_piece());
    ASSERT_TRUE(found.has_value());
    solo.push_back(*found);
  }

  std::vector<std::vector<std::vector<ScoredResult>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (size_t round = 0; round < 3; ++round) {
        for (size_t q = 0; q < kQueries; ++q) {
          const auto found = search(storage, *signs, bits, queries[(q + t) % kQueries], 20, many_pieces());
          seen[t].push_back(found.has_value() ? *found : std::vector<ScoredResult>{});
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t t = 0; t < kThreads; ++t) {
    for (size_t i = 0; i < seen[t].size(); ++i) {
      expect_same_ranking(seen[t][i], solo[(i % kQueries + t) % kQueries],
                          "thread " + std::to_string(t) + " call " + std::to_string(i));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, ConcurrentSearch, testing::Values(2, 3, 4, 5));

}  // namespace
}  // namespace lodex
