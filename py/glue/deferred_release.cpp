#include "py/glue/deferred_release.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/base/fork_guard.h"
#include "py/glue/entry.h"
#include "py/glue/interpreter_exit.h"

namespace vorlisk::py {
namespace {

// On cache lines of its own: every entry reads `nonempty`, and a neighbour
// written by another thread (the writer's worker) would make that read miss.
//
// Threads without the interpreter lock hold the mutex for a moment; a child
// forked at that moment would find it held for ever. So the pool is listed
// with the fork guard, after every other listed object. Its mutex is the
// innermost lock everywhere: whoever holds another lock may drop a
// reference and so queue it here. Were it taken before another listed
// lock, the forking thread could hold it while waiting for a holder of that
// lock who waits for it; taken last, every holder it waits for lets go.
struct alignas(64) ReleasePool final : ForkGuarded {
  std::mutex mutex;
  std::vector<PyObject*> pending;  // guarded by mutex
  std::atomic<bool> nonempty{false};

  void lock_for_fork() override { mutex.lock(); }
  void unlock_after_fork_in_parent() override { mutex.unlock(); }
  void unlock_after_fork_in_child() override { mutex.unlock(); }
  ForkGuardRegistration fork_registration{this, ForkLockPlace::after_the_others};
};

// Never destroyed: worker threads may still release during process exit.
ReleasePool& pool() {
  static ReleasePool* instance = new ReleasePool;
  return *instance;
}

// Made as the extension loads, before any thread can hold another listed
// lock: listing takes the list's lock, which a forking thread holds while it
// waits for theirs.
[[maybe_unused]] ReleasePool& g_pool_at_load = pool();

}  // namespace

void release_reference(PyObject* obj) {
  if (obj == nullptr) return;
  if (holds_interpreter_lock()) {
    // The interpreter may be ending this thread, which then holds no lock.
    if (may_touch_interpreter_in_destructor()) Py_DECREF(obj);
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
