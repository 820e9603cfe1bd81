#include "core/filter/pre_render_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>

namespace vorlisk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct PlainCase {
  double value;
  const char* text;
};

class PlainDecimal : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainDecimal, ShortestDigitsWithoutExponent) {
  EXPECT_EQ(plain_decimal(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlainDecimal,
    ::testing::Values(PlainCase{2.0, "2"}, PlainCase{1.5, "1.5"}, PlainCase{-0.0, "-0"},
                      PlainCase{0.1, "0.1"}, PlainCase{-2.5e-7, "-0.00000025"},
                      PlainCase{1e21, "1000000000000000000000"},
                      PlainCase{1e23, "100000000000000000000000"}, PlainCase{kNaN, "NaN"},
                      PlainCase{kInf, "inf"}, PlainCase{-kInf, "-inf"}));

TEST(PlainDecimal, SmallestSubnormalIsWrittenInFull) {
  const std::string text = plain_decimal(5e-324);
  EXPECT_EQ(text.size(), 2u + 324u);
  EXPECT_EQ(text.substr(0, 4), "0.00");
  EXPECT_EQ(text.back(), '5');
}

struct InvalidCase {
  double rate;
  std::optional<uint64_t> max;
  double period;
  const char* message;
};

class InvalidSettings : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidSettings, FirstFailingCheckIsReported) {
  const InvalidCase c = GetParam();
  const auto result = validate_filter_settings(c.rate, std::nullopt, c.max, c.period);
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_EQ(std::get<std::string>(result), c.message);
}

constexpr char kTooLarge[] =
    "rate_limit_period too large: cannot convert float seconds to Duration: value is either too "
    "big or NaN";

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidSettings,
    ::testing::Values(
        InvalidCase{2.0, std::nullopt, 60, "sample_rate must be between 0.0 and 1.0, got 2"},
        InvalidCase{kNaN, std::nullopt, 60, "sample_rate must be between 0.0 and 1.0, got NaN"},
        InvalidCase{-1e-300, std::nullopt, 60,
                    "sample_rate must be between 0.0 and 1.0, got -0."
                    "00000000000000000000000000000000000000000000000000000000000000000000000000000"
                    "00000000000000000000000000000000000000000000000000000000000000000000000000000"
                    "00000000000000000000000000000000000000000000000000000000000000000000000000000"
                    "000000000000000000000000000000000000000000000000000000000000000000001"},
        InvalidCase{5.0, 0, 0.0, "sample_rate must be between 0.0 and 1.0, got 5"},
        InvalidCase{0.5, 0, 0.0, "rate_limit_max must be >= 1, got 0"},
        InvalidCase{1.0, std::nullopt, 0.0, "rate_limit_period must be > 0, got 0"},
        InvalidCase{1.0, 5, -0.0, "rate_limit_period must be > 0, got -0"},
        InvalidCase{1.0, 5, -kInf, "rate_limit_period must be > 0, got -inf"},
        InvalidCase{1.0, 5, kInf, "rate_limit_period must be > 0, got inf"},
        InvalidCase{1.0, std::nullopt, 1e20, kTooLarge},
        InvalidCase{1.0, std::nullopt, 18446744073709551616.0, kTooLarge}));

TEST(FilterSettings, BuildsTheStagesTheArgumentsAskFor) {
  auto plain = std::get<FilterSettings>(validate_filter_settings(1.0, "no such level", {}, 60));
  EXPECT_FALSE(plain.sampler);  // the name is ignored without a sampler
  EXPECT_FALSE(plain.rate_limit);

  auto both = std::get<FilterSettings>(validate_filter_settings(-0.0, "WARNING", 7, 0.25));
  ASSERT_TRUE(both.sampler);
  EXPECT_TRUE(both.sampler->has_max_level);
  EXPECT_EQ(both.sampler->max_level, 30u);
  ASSERT_TRUE(both.rate_limit);
  EXPECT_EQ(both.rate_limit->max_per_window, 7u);
  EXPECT_EQ(both.rate_limit->period, (Duration{0, 250'000'000}));

  auto unknown = std::get<FilterSettings>(validate_filter_settings(0.5, "loud", {}, 5e-324));
  EXPECT_EQ(unknown.sampler->max_level, 20u);
  auto no_bound = std::get<FilterSettings>(validate_filter_settings(0.5, {}, UINT64_MAX, 1e-10));
  EXPECT_FALSE(no_bound.sampler->has_max_level);
  EXPECT_EQ(no_bound.rate_limit->period, (Duration{0, 0}));
}

MonotonicInstant g_now{1000, 0};
MonotonicInstant fake_clock() { return g_now; }

PreRenderFilter make_filter(double rate, std::optional<std::string_view> level,
                            std::optional<uint64_t> max, double period) {
  return PreRenderFilter(std::get<FilterSettings>(validate_filter_settings(rate, level, max, period)));
}

TEST(PreRenderFilter, EmptyFilterAllowsEverything) {
  PreRenderFilter filter = make_filter(1.0, {}, {}, 60);
  EXPECT_TRUE(filter.is_empty());
  EXPECT_FALSE(filter.uses_key());
  EXPECT_TRUE(filter.allow("k", 0, fake_clock));
  EXPECT_EQ(filter.stats(), (FilterCounts{0, 0}));
}

TEST(PreRenderFilter, SampledRecordsNeverReachTheRateLimiter) {
  PreRenderFilter filter = make_filter(0.0, "info", 1, 60);
  g_now = {1000, 0};
  EXPECT_FALSE(filter.allow("k", 20, fake_clock));  // sampled: leaves no trace in "k"'s window
  EXPECT_FALSE(filter.allow("k", 20, fake_clock));
  EXPECT_TRUE(filter.allow("k", 30, fake_clock));   // above the bound: rate limited next
  EXPECT_FALSE(filter.allow("k", 30, fake_clock));
  EXPECT_EQ(filter.stats(), (FilterCounts{2, 1}));
  g_now = {1060, 0};
  EXPECT_TRUE(filter.allow("k", 40, fake_clock));
  EXPECT_EQ(filter.stats(), (FilterCounts{2, 1}));
}

TEST(PreRenderFilter, ConcurrentCallersShareOneBudget) {
  PreRenderFilter filter = make_filter(1.0, {}, 1000, 3600);
  std::atomic<int> passed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) passed += filter.allow("shared", 0) ? 1 : 0;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(passed.load(), 1000);
  EXPECT_EQ(filter.stats(), (FilterCounts{0, 3000}));
}

}  // namespace
}  // namespace vorlisk
