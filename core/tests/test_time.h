// Time in tests, so that what a test asserts follows from the code and not
// from how the machine schedules its threads:
//
//  * `kTimeScale` multiplies periods that must outlast a preempted thread
//    (a stall limit that steady progress must never reach, a time-out
//    after which a child counts as hung): sanitizer builds run threads
//    several times slower;
//  * `thread_cpu_time()` bounds work that must be quick by what the
//    calling thread spent on it: a thread that waits for a core spends
//    nothing meanwhile.
//
// Thread safety: `thread_cpu_time` reads the calling thread's own clock.
#pragma once

#include <time.h>

#include <chrono>

namespace vorlisk {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr int kTimeScale = 4;
#else
inline constexpr int kTimeScale = 1;
#endif

// The CPU time the calling thread has used so far.
inline std::chrono::nanoseconds thread_cpu_time() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace vorlisk
