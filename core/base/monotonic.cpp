#include "core/base/monotonic.h"

#include <time.h>

#include <chrono>
#include <limits>

namespace vorlisk {

MonotonicInstant MonotonicInstant::now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return {static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

std::optional<MonotonicInstant> MonotonicInstant::checked_add(Duration d) const {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t sum_nanos = uint64_t{this->nanos} + d.nanos;
  const uint64_t carry = sum_nanos >= 1'000'000'000 ? 1 : 0;
  sum_nanos -= carry * 1'000'000'000;
  const __int128 sum_secs = static_cast<__int128>(secs) + d.secs + carry;
  if (sum_secs > kMax) return std::nullopt;
  return MonotonicInstant{static_cast<int64_t>(sum_secs), static_cast<uint32_t>(sum_nanos)};
}

std::optional<MonotonicInstant> MonotonicInstant::checked_sub(Duration d) const {
  // Work in 128 bits: secs - d.secs - borrow must stay >= INT64_MIN.
  __int128 s = static_cast<__int128>(secs) - static_cast<__int128>(d.secs);
  int64_t n = static_cast<int64_t>(nanos) - static_cast<int64_t>(d.nanos);
  if (n < 0) {
    n += 1'000'000'000;
    s -= 1;
  }
  if (s < std::numeric_limits<int64_t>::min()) return std::nullopt;
  return MonotonicInstant{static_cast<int64_t>(s), static_cast<uint32_t>(n)};
}

std::optional<MonotonicInstant> deadline_after(const std::optional<Duration>& limit) {
  if (!limit) return std::nullopt;
  return MonotonicInstant::now().checked_add(*limit);
}

void wait_until_deadline(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         const MonotonicInstant& deadline) {
  const MonotonicInstant now = MonotonicInstant::now();
  if (deadline <= now) return;
  const __int128 left_ns = (static_cast<__int128>(deadline.secs) - now.secs) * 1'000'000'000 +
                           (static_cast<int64_t>(deadline.nanos) - static_cast<int64_t>(now.nanos));
  constexpr int64_t kSliceNs = int64_t{3600} * 1'000'000'000;  // one hour
  const int64_t wait_ns = left_ns > kSliceNs ? kSliceNs : static_cast<int64_t>(left_ns);
  cv.wait_for(lock, std::chrono::nanoseconds(wait_ns));
}

}  // namespace vorlisk
