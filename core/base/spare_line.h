// Spare line buffers, one per thread.
//
// A rendered line is allocated on the thread that logs and released by the
// writer's worker once written. Freed across threads like that, every line
// makes both threads take the allocator's arena lock, which under a steady
// stream costs more than rendering the line. Instead the worker hands
// written lines back through the queue, a push returns one to the pushing
// thread, and that thread renders its next line into it: the same few
// buffers go round and nothing is freed on the other thread.
//
// Thread safety: each thread touches only its own spare.
#pragma once

#include <cstddef>
#include <string>

namespace vorlisk {

// Lines of more capacity than this are not kept: a rare huge line must not
// pin its memory.
inline constexpr size_t kMaxSpareLineCapacity = 64 * 1024;

// Whether `line`'s buffer is worth keeping for another line.
inline bool reusable_line_buffer(const std::string& line) {
  return line.capacity() > std::string().capacity() && line.capacity() <= kMaxSpareLineCapacity;
}

// The calling thread's spare, emptied, or an empty string when it has none.
std::string take_spare_line();

// Keeps `line`'s buffer as the calling thread's spare, unless the thread
// already has one or the buffer is not reusable (then it is released here).
void keep_spare_line(std::string line);

}  // namespace vorlisk
