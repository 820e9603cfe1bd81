#include "core/filter/rate_limiter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlisk {
namespace {

MonotonicInstant at(int64_t secs, uint32_t nanos = 0) { return {secs, nanos}; }

// Which of the calls (key, instant) pass, as a string of '+' and '-'.
std::string run(RateLimiterStage& stage, const std::vector<std::pair<std::string, MonotonicInstant>>& calls) {
  std::string outcome;
  for (const auto& [key, now] : calls) outcome += stage.allows(key, now) ? '+' : '-';
  return outcome;
}

TEST(RateLimiter, BudgetPerKeyWithinTheWindow) {
  RateLimiterStage stage(3, {60, 0});
  EXPECT_EQ(run(stage, {{"a", at(100)}, {"a", at(110)}, {"b", at(110)}, {"a", at(120)},
                        {"a", at(159, 999'999'999)},  // the first is not yet 60 s old
                        {"a", at(160)},                // exactly 60 s old: expired
                        {"a", at(160)}, {"b", at(160)}}),
            "++++-+-+");
}

TEST(RateLimiter, DropsDoNotExtendTheWindow) {
  RateLimiterStage stage(1, {10, 0});
  std::string outcome;
  for (int64_t t = 0; t < 31; ++t) outcome += stage.allows("k", at(1000 + t)) ? '+' : '-';
  EXPECT_EQ(outcome, "+---------+---------+---------+");
}

TEST(RateLimiter, WindowSlidesRecordByRecord) {
  RateLimiterStage stage(2, {10, 0});
  // Allowed at 0 and 4; 9 dropped; 10 frees the slot of 0, 14 that of 4.
  EXPECT_EQ(run(stage, {{"k", at(0)}, {"k", at(4)}, {"k", at(9)}, {"k", at(10)}, {"k", at(13)},
                        {"k", at(14)}}),
            "++-+-+");
}

struct PeriodCase {
  Duration period;
  const char* outcome;  // three calls of one key at 0, 1 ns and 1000 s later
};

class RateLimiterPeriod : public ::testing::TestWithParam<PeriodCase> {};

TEST_P(RateLimiterPeriod, ExtremePeriods) {
  RateLimiterStage stage(2, GetParam().period);
  const MonotonicInstant start = MonotonicInstant::now();
  EXPECT_EQ(run(stage, {{"k", start}, {"k", *start.checked_add({0, 1})},
                        {"k", *start.checked_add({1000, 1})}}),
            GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RateLimiterPeriod,
    ::testing::Values(PeriodCase{{0, 0}, "+++"},           // a zero window expires everything
                      PeriodCase{{0, 1}, "+++"},
                      PeriodCase{{500, 0}, "+++"},
                      PeriodCase{{2000, 0}, "++-"},
                      PeriodCase{{uint64_t{1} << 62, 0}, "++-"},
                      PeriodCase{{uint64_t{1} << 63, 0}, "++-"},  // cutoff below the clock's range
                      PeriodCase{Duration::max(), "++-"}));

TEST(RateLimiter, HugePeriodSweepsNothing) {
  RateLimiterStage stage(1, Duration::max());
  for (int i = 0; i < 1500; ++i) ASSERT_TRUE(stage.allows("k" + std::to_string(i), at(i)));
  EXPECT_EQ(stage.key_count(), 1500u);
}

TEST(RateLimiter, PeriodicSweepEveryThousandPassesOfAnyKey) {
  RateLimiterStage stage(5, {10, 0});
  for (int i = 0; i < 999; ++i) ASSERT_TRUE(stage.allows("old" + std::to_string(i), at(0)));
  ASSERT_TRUE(stage.allows("mid", at(5)));  // the 1000th pass sweeps; nothing has expired
  EXPECT_EQ(stage.key_count(), 1000u);
  for (int i = 0; i < 998; ++i) ASSERT_TRUE(stage.allows("late" + std::to_string(i), at(15)));
  ASSERT_TRUE(stage.allows("mid", at(15)));
  EXPECT_EQ(stage.key_count(), 1998u);  // expired keys wait for the next sweep
  ASSERT_TRUE(stage.allows("new", at(15)));
  EXPECT_EQ(stage.key_count(), 1000u);  // the 999 keys seen only at 0 are gone
}

std::string key_of(int i) { return "key-" + std::to_string(i); }

TEST(RateLimiter, EvictsTheLeastRecentlySeenTenthAtTheCap) {
  RateLimiterStage stage(1, {3600, 0});
  for (int i = 0; i < 8192; ++i) ASSERT_TRUE(stage.allows(key_of(i), at(0, static_cast<uint32_t>(i))));
  // Key 0 is seen again (and dropped): its refreshed last_seen keeps it.
  EXPECT_FALSE(stage.allows(key_of(0), at(1)));
  EXPECT_EQ(stage.key_count(), 8192u);

  EXPECT_TRUE(stage.allows("newcomer", at(2)));
  EXPECT_EQ(stage.key_count(), 7374u);
  // Keys 1..819 were the oldest and start again from nothing; 820 is kept.
  EXPECT_FALSE(stage.allows(key_of(0), at(3)));
  EXPECT_FALSE(stage.allows(key_of(820), at(3)));
  EXPECT_TRUE(stage.allows(key_of(819), at(3)));
  EXPECT_TRUE(stage.allows(key_of(1), at(3)));
}

TEST(RateLimiter, SweepsExpiredKeysBeforeEvicting) {
  RateLimiterStage stage(1, {10, 0});
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(stage.allows(key_of(i), at(0)));
  for (int i = 100; i < 8192; ++i) ASSERT_TRUE(stage.allows(key_of(i), at(8)));
  EXPECT_EQ(stage.key_count(), 8192u);
  EXPECT_TRUE(stage.allows("newcomer", at(12)));  // the first 100 have expired
  EXPECT_EQ(stage.key_count(), 8093u);
  EXPECT_FALSE(stage.allows(key_of(100), at(12)));  // nothing live was evicted
}

TEST(EvictLeastRecentlySeen, TiesGoInIterationOrder) {
  KeyWindowTable keys;
  for (int i = 0; i < 20; ++i) keys[key_of(i)].last_seen = at(i < 10 ? 5 : 1);
  std::vector<std::string> order;
  for (const auto& [key, entry] : keys) {
    if (entry.last_seen == at(1)) order.push_back(key);
  }
  evict_least_recently_seen(keys, 4);
  EXPECT_EQ(keys.size(), 16u);
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(keys.count(order[i]), i < 4 ? 0u : 1u) << i;
}

TEST(PoisonableMutex, FailureWhileHeldPoisonsForGood) {
  PoisonableMutex mutex;
  EXPECT_EQ(mutex.run_locked("state poisoned", [] { return 7; }), 7);
  EXPECT_THROW(mutex.run_locked("state poisoned", []() -> int { throw std::bad_alloc(); }),
               std::bad_alloc);
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool ran = false;
    try {
      mutex.run_locked("state poisoned", [&] { ran = true; });
      ADD_FAILURE() << "ran under a poisoned mutex";
    } catch (const LockPoisoned& error) {
      EXPECT_STREQ(error.what(), "state poisoned");
    }
    EXPECT_FALSE(ran);
  }
}

TEST(PoisonableMutex, FailureCaughtInsideTheSectionDoesNotPoison) {
  PoisonableMutex mutex;
  mutex.run_locked("x", [] {
    try {
      throw 1;
    } catch (int) {
    }
  });
  EXPECT_NO_THROW(mutex.run_locked("x", [] {}));
}

}  // namespace
}  // namespace vorlisk
