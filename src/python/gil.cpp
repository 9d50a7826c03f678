// The short reads that keep the GIL: they try the index lock first and give
// the GIL up only when they must wait (gil.hpp has the rule).
#include "python/gil.hpp"

namespace lodex::python {

size_t shared_size(const lodex::Index& index) {
  lodex::RwLock& lock = index.lock();
  size_t count = 0;
  if (lock.try_lock_shared()) {
    count = index.size_locked();
    lock.unlock_shared();
    return count;
  }
  Py_BEGIN_ALLOW_THREADS
  lock.lock_shared();
  count = index.size_locked();
  lock.unlock_shared();
  Py_END_ALLOW_THREADS
  return count;
}

}  // namespace lodex::python
