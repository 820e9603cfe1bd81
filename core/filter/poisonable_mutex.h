// A mutex that refuses to be used again once a failure has unwound through a
// section that held it: the state it guards may be half-updated, so every
// later user fails instead of reading it.
//
// Thread safety: lock() may be called from any thread; the poisoned flag is
// only read and written while the underlying mutex is held.
#pragma once

#include <exception>
#include <mutex>
#include <stdexcept>

namespace vorlisk {

// Thrown by PoisonableMutex::lock() once the mutex is poisoned. The text is
// the one the caller passed to lock(); it is never repaired.
class LockPoisoned : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PoisonableMutex {
 public:
  // Holds the mutex. Leaving the scope by an exception that started while
  // the guard was alive poisons the mutex.
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
      owner_.mutex_.unlock();
    }

   private:
    friend class PoisonableMutex;
    explicit Guard(PoisonableMutex& owner)
        : owner_(owner), exceptions_at_entry_(std::uncaught_exceptions()) {}
    PoisonableMutex& owner_;
    int exceptions_at_entry_;
  };

  // Takes the mutex; throws LockPoisoned(poisoned_message) instead when a
  // failure once unwound while it was held.
  [[nodiscard]] Guard lock(const char* poisoned_message) {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      throw LockPoisoned(poisoned_message);
    }
    return Guard(*this);
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace vorlisk
