#include "core/filter/rate_limiter.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vorlisk {

bool RateLimiterStage::allows(std::string_view key, MonotonicInstant now) {
  return mutex_.run_locked(kRateLimiterPoisoned, [&] { return step(key, now); });
}

bool RateLimiterStage::step(std::string_view key, MonotonicInstant now) {
  const std::optional<MonotonicInstant> cutoff = now.checked_sub(period_);

  auto found = keys_.find(key);
  if (found != keys_.end()) {
    if (cutoff) found->second.window.prune_through(*cutoff);
  } else {
    if (keys_.size() >= kMaxKeys && cutoff) sweep_expired_keys(keys_, *cutoff);
    if (keys_.size() >= kMaxKeys) {
      // Evict a tenth at once so the next new keys insert without a sort.
      evict_least_recently_seen(keys_, keys_.size() - (kMaxKeys - kMaxKeys / 10));
    }
    found = keys_.emplace(std::string(key), KeyWindow{}).first;
  }

  KeyWindow& entry = found->second;
  entry.last_seen = now;
  // A dropped record leaves no instant, so drops never extend the window.
  if (entry.window.size() >= max_per_window_) return false;

  entry.window.push_back(now);
  if (++calls_ >= kSweepInterval) {
    calls_ = 0;
    if (cutoff) sweep_expired_keys(keys_, *cutoff);
  }
  return true;
}

size_t RateLimiterStage::key_count() {
  return mutex_.run_locked(kRateLimiterPoisoned, [&] { return keys_.size(); });
}

void sweep_expired_keys(KeyWindowTable& keys, const MonotonicInstant& cutoff) {
  for (auto it = keys.begin(); it != keys.end();) {
    it->second.window.prune_through(cutoff);
    it = it->second.window.empty() ? keys.erase(it) : std::next(it);
  }
}

void evict_least_recently_seen(KeyWindowTable& keys, size_t count) {
  std::vector<std::pair<MonotonicInstant, std::string>> candidates;
  candidates.reserve(keys.size());
  for (const auto& [key, entry] : keys) candidates.emplace_back(entry.last_seen, key);
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  count = std::min(count, candidates.size());
  for (size_t i = 0; i < count; ++i) keys.erase(candidates[i].second);
}

}  // namespace vorlisk
