#include "core/worker/line_ring.h"

#include <utility>

namespace vorlisk {

namespace {
constexpr size_t kFirstSlots = 16;
}  // namespace

void LineRing::push_back(std::string&& line) {
  if (size_ == capacity_) grow();
  slots_[(head_ + size_) & (capacity_ - 1)] = std::move(line);
  ++size_;
}

void LineRing::pop_front() {
  slots_[head_] = std::string();
  head_ = (head_ + 1) & (capacity_ - 1);
  if (--size_ == 0) {
    head_ = 0;
    if (capacity_ > kKeptSlots) {
      slots_.reset();
      capacity_ = 0;
    }
  }
}

void LineRing::grow() {
  const size_t capacity = capacity_ == 0 ? kFirstSlots : capacity_ * 2;
  auto slots = std::make_unique<std::string[]>(capacity);
  for (size_t i = 0; i < size_; ++i) slots[i] = std::move(slots_[(head_ + i) & (capacity_ - 1)]);
  slots_ = std::move(slots);
  capacity_ = capacity;
  head_ = 0;
}

}  // namespace vorlisk
