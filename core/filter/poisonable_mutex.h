// A mutex that refuses to be used again once a failure has unwound through a
// section that held it: the state it guards may be half-updated, so every
// later user fails instead of reading it.
//
// Thread safety: run_locked() may be called from any thread; the poisoned
// flag is only read and written while the underlying mutex is held.
#pragma once

#include <mutex>
#include <stdexcept>

namespace vorlisk {

// Thrown by PoisonableMutex::run_locked() once the mutex is poisoned. The
// text is the one the caller passed; the mutex is never repaired.
class LockPoisoned : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PoisonableMutex {
 public:
  // Runs `section` with the mutex held and returns its result. A failure
  // that leaves `section` poisons the mutex on its way out. Throws
  // LockPoisoned(poisoned_message) instead of running `section` once the
  // mutex is poisoned.
  template <class Section>
  auto run_locked(const char* poisoned_message, Section&& section) -> decltype(section()) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (poisoned_) throw LockPoisoned(poisoned_message);
    try {
      return section();
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
};

}  // namespace vorlisk
