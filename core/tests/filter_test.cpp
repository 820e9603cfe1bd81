#include "core/filter/pre_render_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace vorlisk {
namespace {

class PlainDecimal : public ::testing::TestWithParam<std::pair<double, std::string>> {};

TEST_P(PlainDecimal, ShortestDigitsWithoutExponent) {
  EXPECT_EQ(plain_decimal(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlainDecimal,
    ::testing::Values(std::pair{2.0, "2"}, std::pair{1.5, "1.5"}, std::pair{-0.0, "-0"},
                      std::pair{0.0, "0"}, std::pair{-2.5e-7, "-0.00000025"},
                      std::pair{1e21, "1000000000000000000000"},
                      std::pair{1e23, "100000000000000000000000"},
                      std::pair{5e-324, "0." + std::string(323, '0') + "5"},
                      std::pair{std::numeric_limits<double>::quiet_NaN(), "NaN"},
                      std::pair{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(PreRenderFilter, ConcurrentCallersShareOneBudget) {
  PreRenderFilter filter(std::get<FilterSettings>(validate_filter_settings(1.0, {}, 1000, 3600)));
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
