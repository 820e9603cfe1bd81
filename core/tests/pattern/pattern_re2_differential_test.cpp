// The linear parse against RE2 itself, on random patterns written in the
// syntax both read alike (none of the pattern syntax's additions, none of
// its refusals): the parse accepts exactly what RE2 accepts, fails with
// RE2's own text otherwise, and the RE2 forms written from the tree find
// the same matches and groups on ASCII text as RE2 on the pattern itself.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/tests/pattern/random_patterns.h"
#include "core/tests/pattern/re2_matches.h"

namespace vorlisk::pattern {
namespace {

using testing_support::compile_re2;
using testing_support::re2_matches;
using testing_support::PatternWriter;

TEST(PatternParserAgainstRe2, AcceptsWhatRe2AcceptsAndMatchesAlike) {
  PatternWriter writer(20240611);
  size_t accepted = 0;
  size_t rejected = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::string pattern = writer.pattern();
    SCOPED_TRACE("pattern " + pattern);
    const auto raw = compile_re2(pattern);
    const auto parsed = parse_linear_pattern(pattern);
    // A repetition of a repetition, which RE2 rejects, is the pattern
    // syntax's own.
    if (raw->error_code() == RE2::ErrorRepeatOp) continue;
    if (!raw->ok()) {
      ++rejected;
      ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << "accepted what RE2 rejects: " << raw->error();
      EXPECT_EQ(std::get<std::string>(parsed), raw->error());
      continue;
    }
    ++accepted;
    ASSERT_TRUE(std::holds_alternative<PatternTree>(parsed)) << std::get<std::string>(parsed);
    const PatternTree& tree = std::get<PatternTree>(parsed);
    EXPECT_EQ(tree.capture_count, static_cast<uint32_t>(raw->NumberOfCapturingGroups()));
    for (const auto& [number, name] : raw->CapturingGroupNames()) {
      EXPECT_EQ(tree.capture_names.at(static_cast<size_t>(number)), name);
    }
    const auto ascii = compile_re2(emit_re2(tree, Re2Form::kAscii));
    ASSERT_TRUE(ascii->ok()) << ascii->pattern() << ": " << ascii->error();
    ASSERT_TRUE(tree.word_assertions_re2_ascii);
    std::unique_ptr<RE2> full;
    if (!tree.has_word_assertion) {
      full = compile_re2(emit_re2(tree, Re2Form::kFull));
      ASSERT_TRUE(full->ok()) << full->error();
    }
    for (int t = 0; t < 6; ++t) {
      const std::string text = writer.text();
      const std::string expected = re2_matches(*raw, text);
      EXPECT_EQ(re2_matches(*ascii, text), expected) << "ASCII form " << ascii->pattern() << " over " << text;
      if (full) {
        EXPECT_EQ(re2_matches(*full, text), expected) << "full form over " << text;
      }
    }
  }
  // Both sides of the comparison were well exercised.
  EXPECT_GT(accepted, 600u);
  EXPECT_GT(rejected, 150u);
}

}  // namespace
}  // namespace vorlisk::pattern
