// A growable ring buffer of monotonic instants, oldest first: the sliding
// window of one rate-limit key. Appends at the back and prunes at the front
// in constant time; storage grows by doubling and is never shrunk while the
// key lives.
//
// Thread safety: none of its own; the rate-limit stage's lock guards it.
#pragma once

#include <cstddef>
#include <memory>

#include "core/base/monotonic.h"

namespace vorlisk {

class InstantRing {
 public:
  InstantRing() = default;
  InstantRing(InstantRing&&) noexcept = default;
  InstantRing& operator=(InstantRing&&) noexcept = default;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const MonotonicInstant& front() const { return slots_[head_]; }

  void push_back(const MonotonicInstant& instant) {
    if (size_ == capacity_) grow();
    slots_[(head_ + size_) % capacity_] = instant;
    ++size_;
  }

  void pop_front() {
    head_ = (head_ + 1) % capacity_;
    --size_;
  }

  // Removes instants from the front while they are at or before `cutoff`.
  void prune_through(const MonotonicInstant& cutoff) {
    while (size_ != 0 && front() <= cutoff) pop_front();
  }

 private:
  void grow() {
    const size_t capacity = capacity_ == 0 ? 4 : capacity_ * 2;
    auto slots = std::make_unique<MonotonicInstant[]>(capacity);
    for (size_t i = 0; i < size_; ++i) slots[i] = slots_[(head_ + i) % capacity_];
    slots_ = std::move(slots);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<MonotonicInstant[]> slots_;
  size_t capacity_ = 0;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace vorlisk
