#include "core/base/thread_stack.h"

#include <pthread.h>

namespace vorlisk {

uintptr_t read_thread_stack_floor() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
  void* low = nullptr;
  size_t size = 0;
  const int got = pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  if (got != 0) return 0;
  return reinterpret_cast<uintptr_t>(low);
}

}  // namespace vorlisk
