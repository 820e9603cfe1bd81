// The bytes of the heap in use, for tests that hold a memory bound to what
// really stays allocated.
//
// glibc counts the chunks in use in every arena with their headers (and a
// thread's cache of freed chunks as in use: measure from a thread that
// allocates nothing in between). Under a sanitizer, whose allocator stands
// in for glibc's, its own count of the bytes allocated.
//
// Thread safety: any thread; the count is the process's.
#pragma once

#include <malloc.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vorlisk {

inline size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

}  // namespace vorlisk
