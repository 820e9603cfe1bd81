#include "py/dispatch/fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace vorlisk::py {
namespace {

std::atomic<uint64_t> g_fork_count{0};

}  // namespace

// Never destroyed: workers may still end, and unlist their generations,
// while the process exits.
struct ForkGuardList {
  std::mutex mutex;
  ForkGuarded* first = nullptr;  // guarded by mutex

  static ForkGuardList& get();

  void add(ForkGuarded* object) {
    std::lock_guard<std::mutex> lock(mutex);
    object->next_ = first;
    if (first != nullptr) first->previous_ = object;
    first = object;
  }

  void remove(ForkGuarded* object) {
    std::lock_guard<std::mutex> lock(mutex);
    if (object->previous_ != nullptr) {
      object->previous_->next_ = object->next_;
    } else {
      first = object->next_;
    }
    if (object->next_ != nullptr) object->next_->previous_ = object->previous_;
  }

  static void before_fork() {
    ForkGuardList& list = get();
    list.mutex.lock();
    for (ForkGuarded* o = list.first; o != nullptr; o = o->next_) o->lock_for_fork();
  }

  static void after_fork_in_parent() {
    ForkGuardList& list = get();
    for (ForkGuarded* o = list.first; o != nullptr; o = o->next_) o->unlock_after_fork_in_parent();
    list.mutex.unlock();
  }

  static void after_fork_in_child() {
    g_fork_count.fetch_add(1, std::memory_order_relaxed);
    ForkGuardList& list = get();
    for (ForkGuarded* o = list.first; o != nullptr; o = o->next_) o->unlock_after_fork_in_child();
    list.mutex.unlock();
  }
};

// The first object is listed by a thread holding the interpreter lock (a
// dispatcher being built), so no fork can come between the handlers'
// registration and the list's first use.
ForkGuardList& ForkGuardList::get() {
  static ForkGuardList* const list = [] {
    auto* made = new ForkGuardList;
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    return made;
  }();
  return *list;
}

uint64_t fork_count() { return g_fork_count.load(std::memory_order_relaxed); }

ForkGuardRegistration::ForkGuardRegistration(ForkGuarded* object) : object_(object) {
  ForkGuardList::get().add(object_);
}

ForkGuardRegistration::~ForkGuardRegistration() { ForkGuardList::get().remove(object_); }

}  // namespace vorlisk::py
