// Threads meeting in the core: nested fork-join calls on the pool, searches
// running side by side on one store, and the reader-writer pattern the
// binding uses (appends under an exclusive lock, searches under a shared one).
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
#include <shared_mutex>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "rotation.hpp"
#include "scan_fixtures.hpp"
#include "search.hpp"
#include "storage.hpp"

namespace lodex {
namespace {

using testing_support::bits_of;
using testing_support::gaussian;
using testing_support::random_storage;

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

// ------------------------------------------------------- readers and a writer

// The binding's locking pattern on a bare store: one writer appends batches
// under the exclusive lock while readers search under the shared lock. Every
// reader sees a whole number of batches, never fewer rows than it saw before,
// and results equal to a single-threaded search over that many rows.
TEST(ReaderWriter, SearchesSeeWholeBatchesAndMatchAFreshSearch) {
  Watchdog watchdog;
  constexpr uint64_t kDim = 32;
  constexpr uint8_t kBits = 3;
  constexpr size_t kBatch = 250;
  constexpr size_t kBatches = 16;
  constexpr size_t kReaders = 3;
  const Storage source = random_storage(kDim, kBits, kBatch * kBatches, 23);
  const auto signs = make_sign_vector(kDim, 9);
  ASSERT_TRUE(signs.has_value());
  const std::vector<float> query = gaussian(kDim, 3);

  std::shared_mutex lock;
  Storage live(kDim, 9, kBits, false);

  // Loose lock-step, so that every batch meets searches whatever the
  // scheduler does: read i of each reader starts once i batches are in, and
  // batch i is appended once every reader holds the lock for read i - 1. So
  // read i races batch i for the lock, and sees i or i + 1 batches.
  std::atomic<size_t> appended{0};
  std::vector<std::atomic<size_t>> reads(kReaders);

  struct Observation {
    size_t len;
    std::vector<ScoredResult> results;
  };
  std::vector<std::vector<Observation>> seen(kReaders);
  std::vector<std::thread> readers;
  for (size_t r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (size_t i = 0; i <= kBatches; ++i) {
        while (appended.load() < i) std::this_thread::yield();
        std::shared_lock guard(lock);
        reads[r].store(i + 1);
        const auto found = search(live, *signs, kBits, query, 15, many_pieces());
        seen[r].push_back({live.len(), found.has_value() ? *found : std::vector<ScoredResult>{}});
      }
    });
  }

  std::vector<uint8_t> codes(source.code_bytes());
  for (size_t b = 0; b < kBatches; ++b) {
    for (size_t r = 0; r < kReaders; ++r) {
      while (reads[r].load() < b) std::this_thread::yield();
    }
    {
      std::unique_lock guard(lock);
      for (size_t i = b * kBatch; i < (b + 1) * kBatch; ++i) {
        source.copy_codes(i, codes);
        live.push(source.id(i), source.norm_bits(i), codes, std::nullopt);
      }
    }
    appended.store(b + 1);
  }
  for (std::thread& t : readers) t.join();

  // A fresh single-threaded search over each prefix length that was observed.
  std::map<size_t, std::vector<ScoredResult>> fresh;
  for (const auto& observations : seen) {
    for (const Observation& o : observations) {
      if (fresh.contains(o.len)) continue;
      Storage prefix(kDim, 9, kBits, false);
      for (size_t i = 0; i < o.len; ++i) {
        source.copy_codes(i, codes);
        prefix.push(source.id(i), source.norm_bits(i), codes, std::nullopt);
      }
      fresh[o.len] = *search(prefix, *signs, kBits, query, 15, one_piece());
    }
  }
  for (size_t r = 0; r < kReaders; ++r) {
    ASSERT_EQ(seen[r].size(), kBatches + 1);
    EXPECT_EQ(seen[r].back().len, kBatch * kBatches) << "reader " << r << " missed the last batch";
    for (size_t i = 0; i < seen[r].size(); ++i) {
      const Observation& o = seen[r][i];
      ASSERT_EQ(o.len % kBatch, 0u) << "reader " << r << " saw a partial batch";
      ASSERT_TRUE(o.len / kBatch == i || o.len / kBatch == i + 1) << "reader " << r << " read " << i;
      if (i > 0) {
        ASSERT_GE(o.len, seen[r][i - 1].len) << "reader " << r;
      }
      expect_same_ranking(o.results, fresh[o.len], "reader " + std::to_string(r) + " at " + std::to_string(o.len));
    }
  }
}

}  // namespace
}  // namespace lodex
