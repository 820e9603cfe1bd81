// The queue's lines, oldest first, in one ring of slots that grows by
// doubling: once it has grown to the queue's usual depth, pushing and
// taking a line never allocate. (A std::deque allocates a block on the
// producer's thread and frees one on the worker's every sixteen lines, and
// memory freed on another thread than the one that took it costs both the
// allocator's lock.) A ring that runs empty with more than kKeptSlots slots
// gives its memory back, so a burst does not pin it.
//
// Not thread-safe: the queue mutex guards it with the rest of the queue's
// state.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace vorlisk {

class LineRing {
 public:
  static constexpr size_t kKeptSlots = 1024;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Takes the line's text; may grow the ring.
  void push_back(std::string&& line);
  // The oldest line; the ring must not be empty.
  std::string& front() { return slots_[head_]; }
  // Drops the oldest line (normally already moved away by the caller).
  void pop_front();

 private:
  void grow();

  std::unique_ptr<std::string[]> slots_;
  size_t capacity_ = 0;  // 0 or a power of two
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace vorlisk
