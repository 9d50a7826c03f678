// The worker pool: every piece runs exactly once, concurrent callers each get
// only their own pieces, and a forked child builds a pool of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "pool.hpp"
#include "sanitizers.hpp"

namespace lodex {
namespace {

// Counts how often each piece ran and on how many distinct threads.
class CountingWork final : public IndexedWork {
 public:
  explicit CountingWork(size_t count) : runs_(count) {}
  void run(size_t i) noexcept override { runs_[i].fetch_add(1, std::memory_order_relaxed); }
  bool each_ran_once() const {
    for (const auto& r : runs_) {
      if (r.load() != 1) return false;
    }
    return true;
  }

 private:
  std::vector<std::atomic<int>> runs_;
};

// Each piece waits until every piece has started: it completes only if the
// pieces really run on different threads at once. The deadline turns a
// missing worker into a failure instead of a hang.
class RendezvousWork final : public IndexedWork {
 public:
  explicit RendezvousWork(int count) : count_(count) {}
  void run(size_t) noexcept override {
    arrived_.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived_.load() < count_) {
      if (std::chrono::steady_clock::now() > deadline) {
        missed_.store(true);
        return;
      }
      std::this_thread::yield();
    }
  }
  bool met() const { return !missed_.load(); }

 private:
  const int count_;
  std::atomic<int> arrived_{0};
  std::atomic<bool> missed_{false};
};

TEST(WorkerPool, HasAtLeastOneWorker) { EXPECT_GE(pool_worker_count(), 1u); }

TEST(WorkerPool, EveryPieceRunsExactlyOnce) {
  for (const size_t count : {0, 1, 2, 3, 7, 64, 1000}) {
    CountingWork work(count);
    parallel_for(count, work);
    EXPECT_TRUE(work.each_ran_once()) << count;
  }
}

TEST(WorkerPool, PiecesRunOnWorkers) {
  RendezvousWork work(2);
  parallel_for(2, work);
  EXPECT_TRUE(work.met());
}

TEST(WorkerPool, ConcurrentCallersShareThePool) {
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t) {
    callers.emplace_back([&failures, t] {
      for (int round = 0; round < 200; ++round) {
        CountingWork work(static_cast<size_t>(1 + (t * 7 + round) % 13));
        parallel_for(static_cast<size_t>(1 + (t * 7 + round) % 13), work);
        if (!work.each_ran_once()) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}

// A piece that takes a while keeps the workers busy; the other caller's
// pieces still all run (on its own thread if need be).
class SlowWork final : public IndexedWork {
 public:
  void run(size_t) noexcept override { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }
};

TEST(WorkerPool, CallerFinishesWhileWorkersAreBusy) {
  SlowWork slow;
  std::thread busy([&slow] { parallel_for(2 * pool_worker_count() + 2, slow); });
  CountingWork work(50);
  parallel_for(50, work);
  EXPECT_TRUE(work.each_ran_once());
  busy.join();
}

// The child of fork() has none of the parent's worker threads: its first
// parallel_for must build a new pool rather than wait on the old one. An
// alarm turns a hang into a failure.
TEST(WorkerPool, ForkedChildBuildsItsOwnPool) {
  if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multi-threaded fork";
  // The parent's workers may still be starting up inside the runtime.
  if (kAddressSanitizer) GTEST_SKIP() << kForkUnderAddressSanitizer;
  CountingWork warm(8);
  parallel_for(8, warm);  // the parent's pool exists before the fork
  ASSERT_TRUE(warm.each_ran_once());
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    alarm(30);
    CountingWork work(100);
    parallel_for(100, work);
    // Needs a live worker: the parent's threads are not in this process.
    RendezvousWork meet(2);
    parallel_for(2, meet);
    _exit(work.each_ran_once() && meet.met() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's pool still works after the fork.
  CountingWork after(8);
  parallel_for(8, after);
  EXPECT_TRUE(after.each_ran_once());
}

}  // namespace
}  // namespace lodex
