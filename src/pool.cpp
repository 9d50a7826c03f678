// The worker pool: a mutex-guarded FIFO of intrusive tasks and the threads
// that drain it. Workers never allocate, throw or take any index lock; every
// byte they touch belongs to the call that queued the task, which waits for
// them before that memory goes away.
#include "pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace lodex {

namespace {

// A condition variable on a std::mutex, through pthreads. libstdc++ 12
// versions std::condition_variable::wait GLIBCXX_3.4.30, the one symbol that
// would tie the extension to GCC 12's runtime: a wheel built with it could
// not be installed on systems with an older libstdc++ (RHEL 9, Amazon Linux
// 2023), whose glibc it otherwise fits.
class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;
  ~Condition() { pthread_cond_destroy(&cond_); }

  void notify_one() { pthread_cond_signal(&cond_); }
  void notify_all() { pthread_cond_broadcast(&cond_); }
  template <class Ready>
  void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) pthread_cond_wait(&cond_, lock.mutex()->native_handle());
  }

 private:
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
};

struct Task {
  void (*run)(Task*) = nullptr;
  const void* owner = nullptr;  // the call that queued it, for take_back
  Task* next = nullptr;
};

class Pool {
 public:
  explicit Pool(size_t wanted) {
    // Workers block every signal, so the process's signal handlers (Python's
    // among them) always run on the application's own threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    for (size_t i = 0; i < wanted; ++i) {
      try {
        std::thread(&Pool::work, this).detach();
        ++workers_;
      } catch (const std::system_error&) {
        break;  // fewer workers; the calling threads do the rest
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  size_t workers() const { return workers_; }

  void submit(Task* const* tasks, size_t count) {
    {
      std::lock_guard lock(mutex_);
      for (size_t i = 0; i < count; ++i) {
        tasks[i]->next = nullptr;
        if (tail_ != nullptr) {
          tail_->next = tasks[i];
        } else {
          head_ = tasks[i];
        }
        tail_ = tasks[i];
      }
    }
    if (count == 1) {
      ready_.notify_one();
    } else {
      ready_.notify_all();
    }
  }

  // Unlinks one still-queued task of `owner`, or returns nullptr when all of
  // them have been taken by workers.
  Task* take_back(const void* owner) {
    std::lock_guard lock(mutex_);
    Task* previous = nullptr;
    for (Task* t = head_; t != nullptr; previous = t, t = t->next) {
      if (t->owner != owner) continue;
      if (previous != nullptr) {
        previous->next = t->next;
      } else {
        head_ = t->next;
      }
      if (tail_ == t) tail_ = previous;
      return t;
    }
    return nullptr;
  }

 private:
  [[noreturn]] void work() {
    for (;;) {
      Task* task = nullptr;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return head_ != nullptr; });
        task = head_;
        head_ = task->next;
        if (head_ == nullptr) tail_ = nullptr;
      }
      task->run(task);
    }
  }

  std::mutex mutex_;
  Condition ready_;
  Task* head_ = nullptr;
  Task* tail_ = nullptr;
  size_t workers_ = 0;
};

// The current process's pool. Replaced (never freed) in a forked child: the
// old object's threads do not exist there and its mutex may be held forever.
std::atomic<Pool*> g_pool{nullptr};
// Serialises creation. A child of fork() gets a fresh one: a thread of the
// parent may have held it, and no thread of the parent runs in the child.
// It is deliberately not taken across fork(): a search that creates the pool
// holds an index lock, which the index's own fork handler waits for, so
// holding this mutex there could deadlock the fork with that search.
std::mutex g_create_mutex;

void after_fork_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  new (&g_create_mutex) std::mutex();
}

// The hardware threads this process may run on: the affinity mask (taskset,
// container CPU sets) when the system reports one, else every thread.
size_t available_cpus() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  std::lock_guard lock(g_create_mutex);
  p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  static bool registered = false;  // handlers are inherited by children
  if (!registered) {
    pthread_atfork(nullptr, nullptr, &after_fork_child);
    registered = true;
  }
  p = new Pool(available_cpus());  // never deleted: see the comment of this file
  g_pool.store(p, std::memory_order_release);
  return *p;
}

// One parallel_for call: its helper tasks claim pieces from a shared counter
// until none is left, so a helper that starts late simply finds no work.
struct Call {
  IndexedWork* work = nullptr;
  size_t count = 0;
  std::atomic<size_t> next{0};

  std::mutex mutex;
  Condition done;
  size_t helpers_running = 0;  // queued or running helpers, under `mutex`

  void run_pieces() {
    for (size_t i = next.fetch_add(1, std::memory_order_relaxed); i < count;
         i = next.fetch_add(1, std::memory_order_relaxed)) {
      work->run(i);
    }
  }

  void helper_finished() {
    // Notify under the lock: the caller may destroy this Call as soon as it
    // sees zero, which it can only do after this thread has unlocked.
    std::lock_guard lock(mutex);
    if (--helpers_running == 0) done.notify_one();
  }
};

struct HelperTask : Task {
  Call* call = nullptr;
};

void run_helper(Task* task) {
  Call& call = *static_cast<HelperTask*>(task)->call;
  call.run_pieces();
  call.helper_finished();
}

}  // namespace

size_t pool_worker_count() { return pool().workers(); }

void parallel_for(size_t count, IndexedWork& work, size_t max_threads) {
  if (count == 0) return;
  if (max_threads == 1) {
    for (size_t i = 0; i < count; ++i) work.run(i);
    return;
  }
  Pool& p = pool();
  size_t helpers = std::min(count - 1, p.workers());
  if (max_threads > 1) helpers = std::min(helpers, max_threads - 1);
  if (helpers == 0) {
    for (size_t i = 0; i < count; ++i) work.run(i);
    return;
  }

  Call call;
  call.work = &work;
  call.count = count;
  call.helpers_running = helpers;
  std::vector<HelperTask> tasks(helpers);
  std::vector<Task*> queue(helpers);
  for (size_t i = 0; i < helpers; ++i) {
    tasks[i].run = &run_helper;
    tasks[i].owner = &call;
    tasks[i].call = &call;
    queue[i] = &tasks[i];
  }
  p.submit(queue.data(), helpers);

  call.run_pieces();
  // Helpers still queued (the workers are busy elsewhere) would find nothing
  // left to do: unqueue them instead of waiting for a worker to get there.
  size_t unqueued = 0;
  while (p.take_back(&call) != nullptr) ++unqueued;
  std::unique_lock lock(call.mutex);
  call.helpers_running -= unqueued;
  call.done.wait(lock, [&call] { return call.helpers_running == 0; });
}

}  // namespace lodex
