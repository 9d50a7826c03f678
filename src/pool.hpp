// The process-wide fork-join worker pool of search. Created on first use with
// one worker per CPU of the process's affinity mask (taskset, container CPU
// sets; every hardware thread when the system reports no mask), and never
// destroyed: idle workers wait on a condition variable, which lets the
// process exit around them. A child made by fork() gets a fresh pool on its
// first use; the parent's is abandoned.
#pragma once

#include <cstddef>

namespace lodex {

// Something a parallel_for body can be called through without allocating.
class IndexedWork {
 public:
  // Runs piece i. Must not throw: it may run on a worker thread.
  virtual void run(size_t i) noexcept = 0;

 protected:
  ~IndexedWork() = default;
};

// The number of worker threads of the process's pool (creating the pool if
// this process has none yet). At least 1 unless no thread could be started.
size_t pool_worker_count();

// Runs work.run(i) for every i in 0 .. count-1 on the pool and on the calling
// thread, and returns once every piece has finished. Pieces are claimed in
// index order, each exactly once; the calling thread blocks only itself and,
// when the workers are busy with other calls, runs the pieces on its own.
// Allocates (on the calling thread only) before any piece is handed out.
// max_threads > 0 caps the threads working on this call, the calling thread
// included (1: the calling thread alone).
void parallel_for(size_t count, IndexedWork& work, size_t max_threads = 0);

}  // namespace lodex
