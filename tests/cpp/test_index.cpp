// The index unit: its lock (writers are not starved, a fork child inherits
// every index usable), all-or-nothing batches, searches that see whole
// batches and whole removals, the search's option checks, rows by id, bytes, and the sign vector a loaded index builds only when it
// needs it. Run plainly and under ThreadSanitizer
// (the fork test only plainly: neither sanitizer runtime is fork-safe while
// other threads work).
#include "index.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <random>
#include <thread>
#include <vector>

#include "format/index_file.hpp"
#include "pool.hpp"
#include "sanitizers.hpp"

namespace lodex {
namespace {

using std::chrono::milliseconds;

std::vector<float> random_rows(size_t rows, uint64_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g;
  std::vector<float> data(rows * dim);
  for (float& x : data) x = g(rng);
  return data;
}

std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = first + i;
  return ids;
}

std::unique_ptr<Index> make_index(uint64_t dim = 32, uint8_t bits = 4) {
  auto created = Index::create(dim, bits, false, 7);
  EXPECT_TRUE(created.has_value());
  return std::move(*created);
}

// How many rows a search saw: with k past every row, all of them.
size_t rows_seen(const Index& index, std::span<const float> query) {
  auto found = index.search(query, 1, query.size(), ~uint64_t{0}, {});
  EXPECT_TRUE(found.has_value());
  return found ? found->per_query : 0;
}

TEST(RwLock, WriterIsNotStarvedByOverlappingReaders) {
  RwLock lock;
  std::atomic<bool> stop_readers{false};
  std::atomic<bool> written{false};
  std::atomic<int> inside{0};
  std::vector<std::thread> readers;
  // Two readers hand the lock to each other so it is never free: a
  // reader-preferring lock would keep the writer out for ever.
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!stop_readers.load()) {
        lock.lock_shared();
        inside.fetch_add(1);
        std::this_thread::sleep_for(milliseconds(1));
        inside.fetch_sub(1);
        lock.unlock_shared();
      }
    });
  }
  while (inside.load() == 0) std::this_thread::yield();
  int inside_when_written = -1;
  std::thread writer([&] {
    lock.lock();
    inside_when_written = inside.load();
    written.store(true);
    lock.unlock();
  });
  // The test's own deadline: past it the readers stop, so the writer gets
  // in and the test fails rather than hangs.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!written.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  const bool in_time = written.load();
  stop_readers.store(true);
  writer.join();
  for (std::thread& t : readers) t.join();
  EXPECT_TRUE(in_time) << "the writer waited 30 s behind overlapping readers";
  EXPECT_EQ(inside_when_written, 0);
}

TEST(RwLock, TryFormsNeverWait) {
  RwLock lock;
  ASSERT_TRUE(lock.try_lock_shared());
  EXPECT_FALSE(lock.try_lock());
  EXPECT_TRUE(lock.try_lock_shared());
  lock.unlock_shared();
  lock.unlock_shared();
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock();
}

TEST(Index, SearchesSeeWholeBatchesAndWholeRemovals) {
  auto index = make_index();
  constexpr size_t kBatch = 3000;
  constexpr size_t kBatches = 12;
  const std::vector<float> rows = random_rows(kBatch, 32, 1);
  const std::vector<float> query = random_rows(1, 32, 2);
  std::atomic<bool> done{false};
  std::vector<std::vector<size_t>> seen(2);
  std::vector<std::thread> readers;
  for (size_t r = 0; r < seen.size(); ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) seen[r].push_back(rows_seen(*index, query));
    });
  }
  for (size_t b = 0; b < kBatches; ++b) ASSERT_TRUE(index->add(iota_ids(kBatch, b * kBatch), rows.data(), kBatch));
  for (size_t b = 0; b < kBatches; b += 2) {
    auto removed = index->remove(iota_ids(kBatch, b * kBatch));
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(*removed, kBatch);
  }
  done.store(true);
  for (std::thread& t : readers) t.join();
  for (const auto& counts : seen) {
    for (const size_t count : counts) EXPECT_EQ(count % kBatch, 0u) << "a search saw part of a batch or a removal";
  }
  EXPECT_EQ(rows_seen(*index, query), kBatch * kBatches / 2);
}

// Readers racing appends see a whole number of batches, never fewer than
// before, and exactly what a fresh index of that many rows answers.
TEST(Index, ReadersRacingAppendsMatchAFreshIndexOfWhatTheySaw) {
  constexpr uint64_t kDim = 32;
  constexpr size_t kBatch = 250;
  constexpr size_t kBatches = 16;
  auto live = make_index(kDim, 3);
  const std::vector<float> rows = random_rows(kBatch * kBatches, kDim, 23);
  const std::vector<float> query = random_rows(1, kDim, 24);
  struct Observation {
    size_t len;
    std::vector<uint64_t> top_ids;
    std::vector<float> top_scores;
  };
  std::atomic<bool> done{false};
  std::vector<std::vector<Observation>> seen(3);
  std::vector<std::thread> readers;
  for (size_t r = 0; r < seen.size(); ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) {
        auto found = live->search(query, 1, kDim, ~uint64_t{0}, {});
        ASSERT_TRUE(found.has_value());
        const size_t top = std::min<size_t>(15, found->per_query);
        seen[r].push_back({found->per_query, {found->ids.begin(), found->ids.begin() + top},
                           {found->scores.begin(), found->scores.begin() + top}});
      }
    });
  }
  for (size_t b = 0; b < kBatches; ++b) {
    ASSERT_TRUE(live->add(iota_ids(kBatch, b * kBatch), rows.data() + b * kBatch * kDim, kBatch));
  }
  done.store(true);
  for (std::thread& t : readers) t.join();
  for (const auto& observations : seen) {
    for (size_t i = 0; i < observations.size(); ++i) {
      const Observation& o = observations[i];
      ASSERT_EQ(o.len % kBatch, 0u) << "a search saw part of a batch";
      if (i > 0) {
        ASSERT_GE(o.len, observations[i - 1].len);
      }
      auto fresh = make_index(kDim, 3);
      ASSERT_TRUE(fresh->add(iota_ids(o.len), rows.data(), o.len));
      auto want = fresh->search(query, 1, kDim, 15, {});
      ASSERT_TRUE(want.has_value());
      EXPECT_EQ(o.top_ids, want->ids);
      ASSERT_EQ(o.top_scores.size(), want->scores.size());
      for (size_t i = 0; i < o.top_scores.size(); ++i) {
        EXPECT_EQ(std::bit_cast<uint32_t>(o.top_scores[i]), std::bit_cast<uint32_t>(want->scores[i]));
      }
    }
  }
}

TEST(Index, ForkChildInheritsUsableConsistentIndexes) {
  if (kAddressSanitizer) GTEST_SKIP() << kForkUnderAddressSanitizer;
  auto index = make_index(16, 3);
  const std::vector<float> rows = random_rows(20000, 16, 3);
  const std::vector<float> query = random_rows(1, 16, 4);
  ASSERT_TRUE(index->add(iota_ids(20000), rows.data(), 20000));
  std::atomic<bool> stop{false};
  // Another thread keeps adding and removing whole batches, holding the lock
  // most of the time, while this thread forks.
  std::thread busy([&] {
    while (!stop.load()) {
      (void)index->add(iota_ids(20000, 1'000'000), rows.data(), 20000);
      (void)index->remove(iota_ids(20000, 1'000'000));
    }
  });
  for (int round = 0; round < 20; ++round) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const size_t before = rows_seen(*index, query);
      const bool whole = before == 20000 || before == 40000;
      const bool added = index->add(iota_ids(1, 7), rows.data(), 1).has_value();
      _exit(whole && added && rows_seen(*index, query) == before + 1 ? 0 : 1);
    }
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
      if (waited == 60000) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "fork child hung on an inherited index";
      }
      std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
  }
  stop.store(true);
  busy.join();
}

TEST(Index, ABatchWithTheWrongIdCountChangesNothing) {
  auto index = make_index();
  const std::vector<float> rows = random_rows(10, 32, 5);
  auto status = index->add(iota_ids(9), rows.data(), 10);
  ASSERT_FALSE(status.has_value());
  EXPECT_EQ(status.error().kind(), IndexError::Kind::kInvalidArgument);
  EXPECT_EQ(status.error().text(), "ids length 9 != row count 10");
  EXPECT_EQ(index->size_locked(), 0u);
}

// The search's own checks of its options, in their order, with the messages
// of the Python method.
TEST(Index, SearchChecksItsOptionsInOrder) {
  auto index = make_index(8, 4);
  const std::vector<float> rows = random_rows(20, 8, 10);
  ASSERT_TRUE(index->add(iota_ids(20), rows.data(), 20));
  const RerankSource narrow{rows.data(), 20, 4};
  const uint64_t workers = pool_worker_count();
  const std::string range = "threads must be 1-" + std::to_string(workers) + " (the pool's workers), got ";
  auto error = [&](std::optional<uint64_t> threads, const RerankSource* rerank, std::optional<uint64_t> candidates,
                   size_t width) {
    IndexSearchOptions options;
    std::tie(options.threads, options.rerank, options.candidates) = std::tie(threads, rerank, candidates);
    auto found = index->search(std::span(rows).first(width), 1, width, 5, options);
    return found ? std::string("no error") : found.error().text();
  };
  EXPECT_EQ(error(0, nullptr, {}, 8), range + "0");
  EXPECT_EQ(error(workers + 1, &narrow, 3, 4), range + std::to_string(workers + 1));
  EXPECT_EQ(error({}, nullptr, 10, 8), "candidates applies only with rerank");
  EXPECT_EQ(error({}, &narrow, 3, 4), "candidates (3) must be at least k (5)");
  EXPECT_EQ(error({}, &narrow, {}, 4), "dimension mismatch: query has 4, index has 8");
  EXPECT_EQ(error({}, &narrow, {}, 8), "rerank vectors have 4 columns, the index has dimension 8");
}

TEST(Index, RowsById) {
  auto index = make_index(8, 5);
  const std::vector<float> rows = random_rows(6, 8, 6);
  ASSERT_TRUE(index->add(std::vector<uint64_t>{4, 9, 4, 0, ~uint64_t{0}, 3}, rows.data(), 6));
  EXPECT_TRUE(index->contains(0));
  EXPECT_TRUE(index->contains(~uint64_t{0}));
  EXPECT_FALSE(index->contains(5));

  std::vector<float> out(3 * 8);
  auto got = index->get(std::vector<uint64_t>{4, 0, 4}, out.data());
  ASSERT_TRUE(got.has_value());
  EXPECT_FALSE(got->has_value());
  EXPECT_EQ(std::memcmp(out.data(), out.data() + 16, 8 * sizeof(float)), 0);  // both the first row of id 4
  got = index->get(std::vector<uint64_t>{3, 5, 6}, out.data());
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->value_or(0), 5u);

  auto removed = index->remove(std::vector<uint64_t>{4, 4, 8});
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(*removed, 2u);
  EXPECT_FALSE(index->contains(4));
  EXPECT_EQ(index->size_locked(), 4u);
}

TEST(Index, BytesRoundTripAndLazySigns) {
  auto index = make_index(64, 2);
  const std::vector<float> rows = random_rows(100, 64, 8);
  ASSERT_TRUE(index->add(iota_ids(100), rows.data(), 100));
  auto bytes = index->to_bytes();
  ASSERT_TRUE(bytes.has_value());
  auto again = Index::from_bytes(*bytes);
  ASSERT_TRUE(again.has_value());
  const std::vector<float> query = random_rows(1, 64, 9);
  auto a = index->search(query, 1, 64, 10, {});
  auto b = (*again)->search(query, 1, 64, 10, {});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->ids, b->ids);
  EXPECT_EQ(std::memcmp(a->scores.data(), b->scores.data(), a->scores.size() * sizeof(float)), 0);

  // A header claiming dimension 2^28 and no rows opens without building the
  // 1 GiB sign vector; a search with nothing to scan never needs it.
  std::vector<uint8_t> header(kHeaderBytes, 0);
  std::memcpy(header.data(), "LDXI", 4);
  const uint32_t dim = 1u << 28;
  std::memcpy(header.data() + 6, &dim, 4);
  header[10] = 4;
  auto wide = Index::from_bytes(header);
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ((*wide)->dim(), dim);
  EXPECT_EQ((*wide)->size_locked(), 0u);

  // A dimension that is no power of two is still refused when the file is read.
  header[6] = 100;
  header[7] = header[8] = header[9] = 0;
  auto odd = Index::from_bytes(header);
  ASSERT_FALSE(odd.has_value());
  EXPECT_EQ(odd.error().text(), "dimension 100 is not a power of 2");
}

}  // namespace
}  // namespace lodex
