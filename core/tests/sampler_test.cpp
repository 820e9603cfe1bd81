#include "core/filter/sampler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace vorlisk {
namespace {

TEST(Wyrand, StepsMatchTheReferenceSequence) {
  uint64_t state = 0;
  EXPECT_EQ(wyrand_step(state), 0x9a45cd888d59f0d6ULL);
  EXPECT_EQ(wyrand_step(state), 0x01445b6a189663f5ULL);
  EXPECT_EQ(wyrand_step(state), 0x1842218b97e7a496ULL);
  state = 12345;
  EXPECT_EQ(wyrand_step(state), 0xb699757c9eced02dULL);
  EXPECT_EQ(state, 0x2d358dccaa6ca8deULL);
}

TEST(SamplingSeed, HashesTheTwentyByteMessage) {
  // Reference: Python's hash() of the packed message under PYTHONHASHSEED=0.
  EXPECT_EQ(sampling_rng_seed_from({1234567, 890}, 7), 0x636e00c05120c8ddULL);
  EXPECT_EQ(sampling_rng_seed_from({-5, 999'999'999}, UINT64_MAX), 0xe8d8fb47964fa185ULL);
}

struct UnitFloatCase {
  uint64_t x;  // the 63 bits kept from a draw
  bool accepted;
  double value;
};

class UnitFloat : public ::testing::TestWithParam<UnitFloatCase> {};

TEST_P(UnitFloat, RoundsAndRefusesOne) {
  const auto got = unit_float_from_bits(GetParam().x << 1);
  ASSERT_EQ(got.has_value(), GetParam().accepted) << GetParam().x;
  if (got) {
    EXPECT_EQ(*got, GetParam().value);
  }
}

constexpr uint64_t kTwoPow63 = uint64_t{1} << 63;
constexpr double kBelowOne = 1.0 - 1.0 / 9007199254740992.0;  // 1 - 2^-53

INSTANTIATE_TEST_SUITE_P(
    Edges, UnitFloat,
    ::testing::Values(UnitFloatCase{0, true, 0.0}, UnitFloatCase{kTwoPow63 / 4, true, 0.25},
                      UnitFloatCase{kTwoPow63 - 1024, true, kBelowOne},
                      UnitFloatCase{kTwoPow63 - 513, true, kBelowOne},
                      UnitFloatCase{kTwoPow63 - 512, false, 0.0},  // tie rounds to even: 2^63
                      UnitFloatCase{kTwoPow63 - 1, false, 0.0}));

// Runs `body` on a fresh thread, whose generator is not yet seeded.
template <typename Body>
void on_fresh_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

struct BoundCase {
  SamplerStage stage;
  uint32_t level;
  bool passes;
  bool draws;
};

class SamplerDecision : public ::testing::TestWithParam<BoundCase> {};

TEST_P(SamplerDecision, DrawsOnlyWhenItMust) {
  const BoundCase c = GetParam();
  on_fresh_thread([&] {
    EXPECT_FALSE(sampler_rng_seeded());
    EXPECT_EQ(sample_allows(c.stage, c.level), c.passes);
    EXPECT_EQ(sampler_rng_seeded(), c.draws);
  });
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SamplerDecision,
    ::testing::Values(BoundCase{{false, 0, 0.0}, 50, false, false},       // rate 0 drops all
                      BoundCase{{true, 30, 0.0}, 31, true, false},        // above the bound
                      BoundCase{{true, 30, 0.0}, UINT32_MAX, true, false},
                      BoundCase{{true, 30, 0.0}, 30, false, false},       // at the bound: sampled
                      BoundCase{{true, 30, 0.999999}, 30, true, true},    // a draw is needed
                      BoundCase{{false, 0, -0.0}, 0, false, false}));

TEST(Sampler, PassFractionFollowsTheRate) {
  const SamplerStage stage{false, 0, 0.25};
  constexpr int kDraws = 200'000;
  int passed = 0;
  for (int i = 0; i < kDraws; ++i) passed += sample_allows(stage, 20) ? 1 : 0;
  // Five standard deviations of a binomial(200000, 0.25): ~970.
  EXPECT_NEAR(passed, kDraws / 4, 1000);
}

TEST(Sampler, ThreadsHaveDistinctNumbersAndStreams) {
  std::vector<uint64_t> numbers(4);
  std::vector<double> first_draws(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < numbers.size(); ++i) {
    threads.emplace_back([&, i] {
      numbers[i] = current_thread_number();
      EXPECT_EQ(current_thread_number(), numbers[i]);
      first_draws[i] = next_unit_float();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<uint64_t>(numbers.begin(), numbers.end()).size(), numbers.size());
  EXPECT_EQ(std::set<double>(first_draws.begin(), first_draws.end()).size(), first_draws.size());
}

}  // namespace
}  // namespace vorlisk
