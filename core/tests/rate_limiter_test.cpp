#include "core/filter/rate_limiter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace vorlisk {
namespace {

MonotonicInstant at(int64_t secs, uint32_t nanos = 0) { return {secs, nanos}; }
std::string key_of(int i) { return "key-" + std::to_string(i); }

// '+' for each call that passes, '-' for each drop.
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

class RateLimiterPeriod : public ::testing::TestWithParam<std::pair<Duration, std::string>> {};

TEST_P(RateLimiterPeriod, ExtremePeriods) {
  // Calls at the clock's real instants: a cutoff may fall below its range.
  RateLimiterStage stage(2, GetParam().first);
  const MonotonicInstant start = MonotonicInstant::now();
  EXPECT_EQ(run(stage, {{"k", start}, {"k", *start.checked_add({0, 1})},
                        {"k", *start.checked_add({1000, 1})}}),
            GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RateLimiterPeriod,
    ::testing::Values(std::pair{Duration{0, 0}, "+++"}, std::pair{Duration{0, 1}, "+++"},
                      std::pair{Duration{2000, 0}, "++-"},
                      std::pair{Duration{uint64_t{1} << 63, 0}, "++-"},
                      std::pair{Duration::max(), "++-"}));

TEST(RateLimiter, PeriodicSweepEveryThousandPassesOfAnyKey) {
  RateLimiterStage stage(5, {10, 0});
  for (int i = 0; i < 999; ++i) ASSERT_TRUE(stage.allows(key_of(i), at(0)));
  ASSERT_TRUE(stage.allows("mid", at(5)));  // the 1000th pass sweeps; nothing has expired
  EXPECT_EQ(stage.key_count(), 1000u);
  for (int i = 0; i < 998; ++i) ASSERT_TRUE(stage.allows("late" + std::to_string(i), at(15)));
  ASSERT_TRUE(stage.allows("mid", at(15)));
  EXPECT_EQ(stage.key_count(), 1998u);  // expired keys wait for the next sweep
  ASSERT_TRUE(stage.allows("new", at(15)));
  EXPECT_EQ(stage.key_count(), 1000u);  // the 999 keys seen only at 0 are gone
}

TEST(RateLimiter, AtTheCapSweepsThenEvictsTheLeastRecentlySeenTenth) {
  RateLimiterStage stage(1, {10, 0});
  for (int i = 0; i < 8192; ++i) ASSERT_TRUE(stage.allows(key_of(i), i < 100 ? at(0) : at(8, i)));
  EXPECT_TRUE(stage.allows("first newcomer", at(12)));  // the 100 keys of t=0 expired
  EXPECT_EQ(stage.key_count(), 8093u);
  for (int i = 0; i < 99; ++i) ASSERT_TRUE(stage.allows("n" + std::to_string(i), at(12, i + 1)));
  EXPECT_FALSE(stage.allows(key_of(100), at(13)));  // a drop refreshes last_seen
  EXPECT_TRUE(stage.allows("last newcomer", at(13)));
  EXPECT_EQ(stage.key_count(), 7374u);
  // Evicted: 101..919, the oldest; they start again from nothing.
  EXPECT_EQ(run(stage, {{key_of(100), at(14)}, {key_of(920), at(14)}, {key_of(101), at(14)},
                        {key_of(919), at(14)}}),
            "--++");
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

}  // namespace
}  // namespace vorlisk
