// The pre-render filter: sampling, then per-key rate limiting, fixed at
// construction. The first stage that drops a record decides, and the drop is
// counted against that stage.
//
// Thread safety: allow() and stats() may be called from any thread. The
// sampler takes no lock; the rate limiter and the counters each have their
// own lock, never held together. Either lock, once poisoned by a failure
// that unwound while it was held, makes every later call throw LockPoisoned.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/base/monotonic.h"
#include "core/filter/filter_settings.h"
#include "core/filter/poisonable_mutex.h"
#include "core/filter/rate_limiter.h"
#include "core/filter/sampler.h"

namespace vorlisk {

inline constexpr char kFilterStatsPoisoned[] = "filter stats poisoned";

struct FilterCounts {
  uint64_t sampled = 0;
  uint64_t rate_limited = 0;
  friend bool operator==(const FilterCounts&, const FilterCounts&) = default;
};

// Reads the monotonic clock; tests pass a fake one.
using MonotonicClock = MonotonicInstant (*)();

class PreRenderFilter {
 public:
  explicit PreRenderFilter(const FilterSettings& settings);

  bool is_empty() const { return !sampler_ && !rate_limiter_; }
  // Whether allow() reads the level (only the sampler does) and the key
  // (only the rate limiter does); callers skip converting what is not read.
  bool uses_level() const { return sampler_.has_value(); }
  bool uses_key() const { return rate_limiter_ != nullptr; }

  // True when the record goes on to rendering. The clock is read only when
  // the record reaches the rate limiter. Throws LockPoisoned.
  bool allow(std::string_view key, uint32_t level, MonotonicClock clock = &MonotonicInstant::now);

  // A snapshot of the drop counters. Throws LockPoisoned.
  FilterCounts stats();

 private:
  void count_drop(uint64_t FilterCounts::*counter);

  std::optional<SamplerStage> sampler_;
  std::unique_ptr<RateLimiterStage> rate_limiter_;
  PoisonableMutex counts_mutex_;
  FilterCounts counts_;
};

}  // namespace vorlisk
