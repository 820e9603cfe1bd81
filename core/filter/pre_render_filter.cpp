#include "core/filter/pre_render_filter.h"

namespace vorlisk {

PreRenderFilter::PreRenderFilter(const FilterSettings& settings) : sampler_(settings.sampler) {
  if (settings.rate_limit) {
    rate_limiter_ = std::make_unique<RateLimiterStage>(settings.rate_limit->max_per_window,
                                                       settings.rate_limit->period);
  }
}

bool PreRenderFilter::allow(std::string_view key, uint32_t level, MonotonicClock clock) {
  if (sampler_ && !sample_allows(*sampler_, level)) {
    count_drop(&FilterCounts::sampled);
    return false;
  }
  // The stage's lock is released before the counters' lock is taken.
  if (rate_limiter_ && !rate_limiter_->allows(key, clock())) {
    count_drop(&FilterCounts::rate_limited);
    return false;
  }
  return true;
}

FilterCounts PreRenderFilter::stats() {
  return counts_mutex_.run_locked(kFilterStatsPoisoned, [&] { return counts_; });
}

void PreRenderFilter::count_drop(uint64_t FilterCounts::*counter) {
  counts_mutex_.run_locked(kFilterStatsPoisoned, [&] { ++(counts_.*counter); });
}

}  // namespace vorlisk
