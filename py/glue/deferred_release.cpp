#include "py/glue/deferred_release.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "py/glue/entry.h"

namespace vorlisk::py {
namespace {

// On cache lines of its own: every entry reads `nonempty`, and a neighbour
// written by another thread (the writer's worker) would make that read miss.
struct alignas(64) ReleasePool {
  std::mutex mutex;
  std::vector<PyObject*> pending;  // guarded by mutex
  std::atomic<bool> nonempty{false};
};

// Never destroyed: worker threads may still release during process exit.
ReleasePool& pool() {
  static ReleasePool* instance = new ReleasePool;
  return *instance;
}

// Threads without the interpreter lock hold the pool's mutex for a moment;
// a child forked at that moment would find it held for ever. It is taken
// before every fork and released on both sides. Registered as the
// extension loads, before the fork handlers of any object that may release
// into the pool, it runs after theirs before a fork: the pool's mutex is
// the last lock taken, as it is everywhere else.
void lock_pool_for_fork() { pool().mutex.lock(); }
void unlock_pool_after_fork() { pool().mutex.unlock(); }
const bool g_pool_fork_handlers =
    pthread_atfork(&lock_pool_for_fork, &unlock_pool_after_fork, &unlock_pool_after_fork) == 0;

}  // namespace

void release_reference(PyObject* obj) {
  if (obj == nullptr) return;
  if (holds_interpreter_lock()) {
    Py_DECREF(obj);
    return;
  }
  ReleasePool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.pending.push_back(obj);
  p.nonempty.store(true, std::memory_order_release);
}

void drain_deferred_releases() {
  ReleasePool& p = pool();
  if (!p.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    taken.swap(p.pending);
    p.nonempty.store(false, std::memory_order_release);
  }
  for (PyObject* obj : taken) Py_DECREF(obj);
}

}  // namespace vorlisk::py
