// The backtracking engine's step limit: it bounds each search for the next
// match over all the start positions that search tries, never the whole
// replacement, and never one position alone.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/pattern/backtracking_engine.h"
#include "core/tests/pattern/engine_replace.h"
#include "core/tests/test_time.h"

namespace vorlisk {
namespace {

using testing_support::Engine;
using testing_support::replace_with;

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out.append(piece);
  return out;
}

// Slow enough to see a search that runs unbounded (minutes), fast enough
// for the sanitizer builds. Counted in this thread's CPU time, which a
// loaded machine does not stretch.
constexpr auto kBoundedSearch = std::chrono::seconds(5);

TEST(StepLimit, SearchFailsWhenItsStartPositionsTogetherPassTheLimit) {
  // Every one of the 200,000 positions tries ".*" backwards: quadratic, and
  // each position alone within any per-position limit.
  const auto start = thread_cpu_time();
  EXPECT_EQ(replace_with(Engine::kBacktracking, "(?=.*z)a", std::string(200'000, 'a'), "#"),
            "[REDACTED]");
  EXPECT_LT(thread_cpu_time() - start, kBoundedSearch);
}

struct LongSearchCase {
  const char* name;
  std::string pattern;
  std::string text;
  std::optional<std::string> expected;
};

void PrintTo(const LongSearchCase& c, std::ostream* os) { *os << c.name; }

class WithinTheLimit : public ::testing::TestWithParam<LongSearchCase> {};

TEST_P(WithinTheLimit, SearchIsAnswered) {
  const LongSearchCase& c = GetParam();
  EXPECT_EQ(replace_with(Engine::kBacktracking, c.pattern, c.text, "#"), c.expected);
}

std::string long_literal() {
  std::string out;
  for (size_t i = 0; i < 12'000; ++i) out.push_back(static_cast<char>('a' + i % 26));
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Searches, WithinTheLimit,
    ::testing::Values(
        // About 100,000 steps for each of twelve matches: 1.2 million for the
        // whole text, but each search for the next match is within the limit.
        LongSearchCase{"EachSearchHasItsOwnLimit", "a+?(?=z)",
                       repeat(std::string(100'000, 'a') + "z", 12), repeat("#z", 12)},
        // One position takes far more than its share of the limit among the
        // text's positions, and the search as a whole stays within it.
        LongSearchCase{"OnePositionTakesMostOfTheLimit", "a+?(?=z)",
                       "b" + std::string(5'000, 'a') + "z", "b#z"},
        LongSearchCase{"CalloutsOfThePatternAreNoOps", "(?C1)a+?(?C'x')(?=z)",
                       std::string(5'000, 'a') + "z", "#z"},
        // Too large for PCRE2 with a callout at every item: searched with
        // its own per-position limit.
        LongSearchCase{"PatternTooLargeToCountStillMatches", "(?<=x)" + long_literal(),
                       "x" + long_literal() + "y", "x#y"},
        LongSearchCase{"PatternTooLargeToCountStillFailsClosed", "(a|a)+(?=b)|" + long_literal(),
                       std::string(40, 'a') + "c", "[REDACTED]"}),
    [](const ::testing::TestParamInfo<LongSearchCase>& info) { return info.param.name; });

TEST(StepLimit, ThreadsShareAnExpressionWhoseSearchesNeedCounting) {
  auto compiled = BacktrackingExpression::compile("a+?(?=z)");
  ASSERT_TRUE(std::holds_alternative<BacktrackingExpression>(compiled));
  const BacktrackingExpression& expression = std::get<BacktrackingExpression>(compiled);
  const std::string text = std::string(5'000, 'a') + "z";
  std::vector<std::thread> threads;
  std::vector<int> wrong(6, 0);
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        if (expression.replace_all(text, "#") != "#z") ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
}

}  // namespace
}  // namespace vorlisk
