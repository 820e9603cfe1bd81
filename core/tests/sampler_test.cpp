#include "core/filter/sampler.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

namespace vorlisk {
namespace {

TEST(SamplerRng, MatchesTheReferenceStepAndSeed) {
  uint64_t state = 0;
  EXPECT_EQ(wyrand_step(state), 0x9a45cd888d59f0d6ULL);
  EXPECT_EQ(wyrand_step(state), 0x01445b6a189663f5ULL);
  state = 12345;
  EXPECT_EQ(wyrand_step(state), 0xb699757c9eced02dULL);
  EXPECT_EQ(state, 0x2d358dccaa6ca8deULL);
  // Python's hash() of the packed 20-byte message under PYTHONHASHSEED=0.
  EXPECT_EQ(sampling_rng_seed_from({1234567, 890}, 7), 0x636e00c05120c8ddULL);
  EXPECT_EQ(sampling_rng_seed_from({-5, 999'999'999}, UINT64_MAX), 0xe8d8fb47964fa185ULL);
}

constexpr uint64_t kTwoPow63 = uint64_t{1} << 63;
constexpr double kBelowOne = 1.0 - 1.0 / 9007199254740992.0;  // 1 - 2^-53

class UnitFloat : public ::testing::TestWithParam<std::pair<uint64_t, std::optional<double>>> {};

TEST_P(UnitFloat, RoundsToNearestAndRefusesOne) {
  EXPECT_EQ(unit_float_from_bits(GetParam().first << 1), GetParam().second) << GetParam().first;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, UnitFloat,
    ::testing::Values(std::pair{uint64_t{0}, std::optional{0.0}},
                      std::pair{kTwoPow63 / 4, std::optional{0.25}},
                      std::pair{kTwoPow63 - 1024, std::optional{kBelowOne}},
                      std::pair{kTwoPow63 - 513, std::optional{kBelowOne}},
                      std::pair{kTwoPow63 - 512, std::optional<double>{}},  // tie to even: 2^63
                      std::pair{kTwoPow63 - 1, std::optional<double>{}}));

struct DecisionCase {
  SamplerStage stage;
  uint32_t level;
  bool passes;
  bool draws;
};

class SamplerDecision : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(SamplerDecision, DrawsOnlyWhenItMust) {
  const DecisionCase c = GetParam();
  std::thread([&] {  // a fresh thread: its generator is not seeded yet
    EXPECT_EQ(sample_allows(c.stage, c.level), c.passes);
    EXPECT_EQ(sampler_rng_seeded(), c.draws);
  }).join();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SamplerDecision,
    ::testing::Values(DecisionCase{{false, 0, 0.0}, 50, false, false},
                      DecisionCase{{true, 30, 0.0}, 31, true, false},
                      DecisionCase{{true, 30, 0.5}, UINT32_MAX, true, false},
                      DecisionCase{{true, 30, 0.0}, 30, false, false},
                      DecisionCase{{true, 30, 0.999999}, 30, true, true},
                      DecisionCase{{false, 0, -0.0}, 0, false, false}));

TEST(SamplerRng, ThreadsHaveDistinctNumbersAndStreams) {
  std::vector<uint64_t> numbers(4);
  std::vector<double> first_draws(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < numbers.size(); ++i) {
    threads.emplace_back([&, i] {
      numbers[i] = current_thread_number();
      first_draws[i] = next_unit_float();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<uint64_t>(numbers.begin(), numbers.end()).size(), numbers.size());
  EXPECT_EQ(std::set<double>(first_draws.begin(), first_draws.end()).size(), first_draws.size());
}

// Pre-forked workers must not sample the same records: a child draws from a
// new seed, while the parent goes on exactly where it was.
TEST(SamplerRng, AForkedChildReseedsAndTheParentGoesOn) {
  std::thread([] {
    next_unit_float();
    uint64_t state = sampler_rng_state();
    std::array<double, 8> parent{};
    std::array<double, 8> child{};
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (double& u : child) u = next_unit_float();
      const bool sent = write(pipe_fds[1], child.data(), sizeof child) == sizeof child;
      _exit(sent ? 0 : 1);
    }
    close(pipe_fds[1]);
    for (double& u : parent) u = next_unit_float();
    ASSERT_EQ(read(pipe_fds[0], child.data(), sizeof child), static_cast<ssize_t>(sizeof child));
    close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    for (const double u : parent) {
      std::optional<double> expected;
      while (!(expected = unit_float_from_bits(wyrand_step(state)))) {
      }
      EXPECT_EQ(u, *expected);
    }
    EXPECT_NE(parent, child);
  }).join();
}

}  // namespace
}  // namespace vorlisk
