#include "core/base/fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace vorlisk {
namespace {

std::atomic<uint64_t> g_fork_count{0};

}  // namespace

// Never destroyed: workers may still end, and unlist what they own, while
// the process exits.
//
// The list runs from `first` to `last`: objects listed `among_others` are
// put in front and those listed `after_the_others` at the back, so every
// one of the former comes before every one of the latter.
struct ForkGuardList {
  std::mutex mutex;
  ForkGuarded* first = nullptr;  // guarded by mutex
  ForkGuarded* last = nullptr;   // guarded by mutex
  bool installed = false;        // the fork handlers; set once, before any use

  static ForkGuardList& get();

  void add(ForkGuarded* object, ForkLockPlace place) {
    std::lock_guard<std::mutex> lock(mutex);
    if (place == ForkLockPlace::among_others) {
      object->next_ = first;
      if (first != nullptr) {
        first->previous_ = object;
      } else {
        last = object;
      }
      first = object;
    } else {
      object->previous_ = last;
      if (last != nullptr) {
        last->next_ = object;
      } else {
        first = object;
      }
      last = object;
    }
  }

  void remove(ForkGuarded* object) {
    std::lock_guard<std::mutex> lock(mutex);
    if (object->previous_ != nullptr) {
      object->previous_->next_ = object->next_;
    } else {
      first = object->next_;
    }
    if (object->next_ != nullptr) {
      object->next_->previous_ = object->previous_;
    } else {
      last = object->previous_;
    }
  }

  static void before_fork() {
    ForkGuardList& list = get();
    list.mutex.lock();
    for (ForkGuarded* o = list.first; o != nullptr; o = o->next_) o->lock_for_fork();
  }

  static void after_fork_in_parent() {
    ForkGuardList& list = get();
    for (ForkGuarded* o = list.last; o != nullptr; o = o->previous_) {
      o->unlock_after_fork_in_parent();
    }
    list.mutex.unlock();
  }

  static void after_fork_in_child() {
    g_fork_count.fetch_add(1, std::memory_order_relaxed);
    ForkGuardList& list = get();
    for (ForkGuarded* o = list.last; o != nullptr; o = o->previous_) {
      o->unlock_after_fork_in_child();
    }
    list.mutex.unlock();
  }
};

ForkGuardList& ForkGuardList::get() {
  static ForkGuardList* const list = [] {
    auto* made = new ForkGuardList;
    made->installed =
        pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
    return made;
  }();
  return *list;
}

namespace {

// Installed as the code loads, so that fork_count() counts every fork from
// then on, whether or not anything was listed yet.
[[maybe_unused]] const bool g_installed_at_load = ForkGuardList::get().installed;

}  // namespace

uint64_t fork_count() { return g_fork_count.load(std::memory_order_relaxed); }

bool fork_guard_installed() { return ForkGuardList::get().installed; }

ForkGuardRegistration::ForkGuardRegistration(ForkGuarded* object, ForkLockPlace place)
    : object_(object) {
  ForkGuardList::get().add(object_, place);
}

ForkGuardRegistration::~ForkGuardRegistration() { ForkGuardList::get().remove(object_); }

}  // namespace vorlisk
