#include "core/render/text_buffer.h"

#include <algorithm>

#include "core/base/spare_line.h"

namespace vorlisk {
namespace {

constexpr size_t kSmallestLineCapacity = 128;
constexpr size_t kLargestLineCapacity = 64 * 1024;
// Past the line and its newline: the writers that store whole words ask
// for up to this much more room than they keep.
constexpr size_t kWordStoreSlack = 16;

thread_local size_t t_line_capacity = kSmallestLineCapacity;

}  // namespace

void TextBuffer::grow(size_t needed) {
  size_t target = capacity_ * 2;
  if (target < used_ + needed) target = used_ + needed;
  if (target < 64) target = 64;
  out_.resize(target);
  refresh();
}

size_t line_capacity_hint() { return t_line_capacity; }

std::string new_line_buffer() {
  std::string line = take_spare_line();
  line.reserve(t_line_capacity);
  return line;
}

void note_line_length(size_t length) {
  t_line_capacity = std::clamp(length + 1 + kWordStoreSlack, kSmallestLineCapacity, kLargestLineCapacity);
}

}  // namespace vorlisk
