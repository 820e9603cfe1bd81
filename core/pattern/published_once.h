// A value built by the first thread that needs it, then shared by all.
//
// The pattern layer builds its engines' programs when a text first needs
// them. No lock guards the building: each thread that finds nothing builds
// its own value and tries to publish it with one compare-and-swap; the
// loser deletes its own and takes the winner's. A process forked while
// another thread was building inherits no lock held (a mutex or a
// std::call_once flag could be), only, at worst, a value not published yet.
//
// Thread safety: get_or_build() and get() may be called from any number of
// threads at once; a published value is never replaced until destruction.
#pragma once

#include <atomic>
#include <memory>

namespace vorlisk {

template <class T>
class PublishedOnce {
 public:
  PublishedOnce() = default;
  PublishedOnce(const PublishedOnce&) = delete;
  PublishedOnce& operator=(const PublishedOnce&) = delete;
  ~PublishedOnce() { delete value_.load(std::memory_order_acquire); }

  // The published value, or null.
  const T* get() const { return value_.load(std::memory_order_acquire); }

  // The published value; when there is none, `build()` (returning a
  // std::unique_ptr<T>) makes one and publishes it, unless another thread
  // published first. Null only when `build()` gave null.
  template <class Build>
  const T* get_or_build(Build&& build) const {
    const T* value = get();
    if (value != nullptr) return value;
    std::unique_ptr<T> built = build();
    if (built == nullptr) return nullptr;
    T* expected = nullptr;
    if (value_.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return built.release();
    }
    return expected;  // `built` is deleted: the other thread's value stands
  }

  // Publishes `value` when nothing is published yet (at construction).
  void set(std::unique_ptr<T> value) {
    T* expected = nullptr;
    if (value_.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel)) {
      value.release();
    }
  }

 private:
  mutable std::atomic<T*> value_{nullptr};
};

}  // namespace vorlisk
