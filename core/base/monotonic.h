// The monotonic clock as (seconds, nanoseconds), and waits against it:
// to a deadline, and while progress is made within a stall limit.
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

// Where a stretch of a stall-limited wait began: the instant, and the
// progress mark seen then.
struct StallStart {
  MonotonicInstant since;
  uint64_t seen = 0;
};

// Waits on `cv` (with `lock` held by the caller) while `pending()` holds,
// calling `before_wait()` before every wait. A stretch of `stall` without
// `mark()` changing ends the wait with false; no stall limit (or one whose
// deadline cannot be represented) waits as long as it takes. The first
// stretch runs from `start`, which may lie before the call: progress made
// since then counts, so several waits begun together share one bound even
// when they are waited on one after another. Progress is looked for after
// every wake-up, the deadline's included, and the next stretch counts from
// when it was made (`progress_at()`, which whoever makes progress must keep
// up to date), not from when it was seen: the wake-up may come as late as
// the old deadline.
template <class Pending, class Mark, class ProgressAt, class BeforeWait>
bool wait_while_progressing(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            const std::optional<Duration>& stall, StallStart start,
                            Pending pending, Mark mark, ProgressAt progress_at,
                            BeforeWait before_wait) {
  std::optional<MonotonicInstant> deadline;
  if (stall) deadline = start.since.checked_add(*stall);
  uint64_t seen = start.seen;
  if (deadline && mark() != seen) {
    seen = mark();
    deadline = progress_at().checked_add(*stall);
  }
  while (pending()) {
    before_wait();
    if (!deadline) {
      cv.wait(lock);
      continue;
    }
    if (MonotonicInstant::now() >= *deadline) return false;
    wait_until_deadline(cv, lock, *deadline);
    if (const uint64_t now_seen = mark(); now_seen != seen) {
      seen = now_seen;
      deadline = progress_at().checked_add(*stall);
    }
  }
  return true;
}

// The same, with the first stretch starting now.
template <class Pending, class Mark, class ProgressAt, class BeforeWait>
bool wait_while_progressing(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            const std::optional<Duration>& stall, Pending pending, Mark mark,
                            ProgressAt progress_at, BeforeWait before_wait) {
  return wait_while_progressing(cv, lock, stall, StallStart{MonotonicInstant::now(), mark()},
                                pending, mark, progress_at, before_wait);
}

}  // namespace vorlisk
