// The rate-limit stage: at most `max_per_window` records per key within any
// sliding window of `period`, over a table of at most 8192 keys.
//
// Each key keeps the instants of its allowed records. Expired instants are
// pruned at the front of the calling key's window, by a sweep of the whole
// table every 1000 allowed records, and by a sweep when a new key arrives at
// the cap; a table still full after that sweep evicts the tenth of its keys
// seen least recently. Instants and cutoffs never wrap: a cutoff that would
// fall below the clock's range is absent, and nothing expires.
//
// Thread safety: every step runs under the stage's own lock. A failure that
// unwinds while the lock is held poisons the stage, and every later step
// throws LockPoisoned("rate limiter state poisoned").
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/base/duration.h"
#include "core/base/monotonic.h"
#include "core/base/siphash.h"
#include "core/filter/instant_ring.h"
#include "core/filter/poisonable_mutex.h"

namespace vorlisk {

inline constexpr char kRateLimiterPoisoned[] = "rate limiter state poisoned";

struct KeyWindow {
  InstantRing window;         // allowed records, oldest first; never empty between steps
  MonotonicInstant last_seen; // latest call for the key, allowed or dropped
};

// Key text (repaired UTF-8) -> its window; looked up by string_view without
// a copy, hashed with a per-table random key.
using KeyWindowTable = std::unordered_map<std::string, KeyWindow, KeyedTextHash, std::equal_to<>>;

class RateLimiterStage {
 public:
  static constexpr uint64_t kMaxKeys = 8192;
  static constexpr uint64_t kSweepInterval = 1000;

  // `max_per_window` >= 1.
  RateLimiterStage(uint64_t max_per_window, Duration period)
      : max_per_window_(max_per_window), period_(period) {}

  // One record of `key` at `now` (read by the caller before the lock is
  // taken): true when it passes. Throws LockPoisoned once poisoned.
  bool allows(std::string_view key, MonotonicInstant now);

  // Number of keys in the table (for tests and diagnostics).
  size_t key_count();

 private:
  bool step(std::string_view key, MonotonicInstant now);  // lock held

  PoisonableMutex mutex_;
  KeyWindowTable keys_;
  uint64_t calls_ = 0;  // allowed records since the last periodic sweep
  const uint64_t max_per_window_;
  const Duration period_;
};

// Prunes every window through `cutoff` and removes the keys left empty.
void sweep_expired_keys(KeyWindowTable& keys, const MonotonicInstant& cutoff);

// Removes `count` keys in ascending `last_seen` order; ties go in the table's
// iteration order.
void evict_least_recently_seen(KeyWindowTable& keys, size_t count);

}  // namespace vorlisk
