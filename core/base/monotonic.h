// The monotonic clock as (seconds, nanoseconds), and waits against it.
//
// Instants keep the clock's full range: a deadline that would not fit is
// reported as absent rather than wrapped, and callers treat an absent
// deadline as "no limit".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "core/base/duration.h"

namespace vorlisk {

struct MonotonicInstant {
  int64_t secs = 0;
  uint32_t nanos = 0;  // 0..999'999'999

  static MonotonicInstant now();

  // this + d, or nothing when the seconds would exceed INT64_MAX.
  std::optional<MonotonicInstant> checked_add(Duration d) const;
  // this - d, or nothing when the seconds would fall below INT64_MIN.
  std::optional<MonotonicInstant> checked_sub(Duration d) const;

  friend auto operator<=>(const MonotonicInstant&, const MonotonicInstant&) = default;
};

// Deadline `limit` after now; nothing for no limit or when it overflows.
std::optional<MonotonicInstant> deadline_after(const std::optional<Duration>& limit);

// Waits on `cv` (with `lock` held by the caller) until notified, a spurious
// wake-up, or `deadline`; very long waits are cut into slices, so callers
// re-check their condition and the clock after every return.
void wait_until_deadline(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         const MonotonicInstant& deadline);

}  // namespace vorlisk
