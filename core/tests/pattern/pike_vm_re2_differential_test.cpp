// The Pike VM against RE2 on the forms the linear engine hands RE2, on
// random patterns read by the real parser: on ASCII text, where RE2's own
// \b and \B are exact, the VM finds the same matches with the same groups
// as RE2 running the ASCII form. And the size bound the linear engine
// trusts to defer a program is never below the program RE2 builds.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"
#include "core/pattern/re2_program_bound.h"
#include "core/tests/pattern/pike_matches.h"
#include "core/tests/pattern/random_patterns.h"
#include "core/tests/pattern/re2_matches.h"

namespace vorlisk::pattern {
namespace {

using testing_support::compile_re2;
using testing_support::PatternWriter;
using testing_support::re2_matches;
using testing_support::vm_matches;

TEST(PikeVmAgainstRe2, SameMatchesAndGroupsOnAsciiText) {
  PatternWriter writer(20261207, /*faults=*/false);
  size_t compared = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string pattern = writer.pattern();
    SCOPED_TRACE("pattern " + pattern);
    const auto parsed = parse_linear_pattern(pattern);
    if (!std::holds_alternative<PatternTree>(parsed)) continue;
    const PatternTree& tree = std::get<PatternTree>(parsed);
    const auto ascii = compile_re2(emit_re2(tree, Re2Form::kAscii));
    ASSERT_TRUE(ascii->ok()) << ascii->error();
    const std::optional<PikeProgram> program = PikeProgram::compile(tree);
    ASSERT_TRUE(program.has_value());
    for (int t = 0; t < 8; ++t) {
      const std::string text = writer.text();
      ASSERT_EQ(vm_matches(*program, text), re2_matches(*ascii, text))
          << "ASCII form " << ascii->pattern() << " over \"" << text << "\"";
    }
    ++compared;
  }
  EXPECT_GT(compared, 2000u);
}

TEST(Re2ProgramBound, NeverBelowTheProgramRe2Builds) {
  PatternWriter writer(7351, /*faults=*/false, /*word_tests=*/true);
  for (int round = 0; round < 1500; ++round) {
    const std::string pattern = writer.pattern();
    const auto parsed = parse_linear_pattern(pattern);
    if (!std::holds_alternative<PatternTree>(parsed)) continue;
    const PatternTree& tree = std::get<PatternTree>(parsed);
    for (Re2Form form : {Re2Form::kAscii, Re2Form::kFull}) {
      const auto re = compile_re2(emit_re2(tree, form));
      ASSERT_TRUE(re->ok()) << pattern;
      EXPECT_GE(re2_instruction_bound(tree, form), static_cast<size_t>(re->ProgramSize())) << pattern;
    }
  }
}

// Large Unicode classes, repeated by counts: where a low bound would defer
// an error.
TEST(Re2ProgramBound, LargeClassesUnderCountedRepetitions) {
  const char* patterns[] = {"\\w", "\\W{3}", "[\\p{L}\\d]{2,5}", "(?i)\\p{Lu}{1,7}", "(?:\\S\\s){9}",
                            "\\p{Han}+\\P{Greek}{4}", "(?i)(?:\\p{L}+[ -]){1,12}\\p{L}+",
                            "[^\\x{80}-\\x{10FFFF}]{20}", "(?s:.){30}", "\\w{40}",
                            "(?:\\w|\\d|\\s|\\pN){10,20}", "\\x{10000}{200}", "[\\x{7FF}-\\x{800}]{100}"};
  for (const char* pattern : patterns) {
    const auto parsed = parse_linear_pattern(pattern);
    ASSERT_TRUE(std::holds_alternative<PatternTree>(parsed)) << pattern;
    const PatternTree& tree = std::get<PatternTree>(parsed);
    for (Re2Form form : {Re2Form::kAscii, Re2Form::kFull}) {
      const auto re = compile_re2(emit_re2(tree, form));
      ASSERT_TRUE(re->ok()) << pattern;
      EXPECT_GE(re2_instruction_bound(tree, form), static_cast<size_t>(re->ProgramSize())) << pattern;
    }
  }
}

// The bound is close enough that common patterns, large Unicode classes
// included, are built only when a text needs them.
TEST(Re2ProgramBound, CommonPatternsAreDeferred) {
  constexpr size_t kLimit = re2_instruction_limit(10 * 1024 * 1024);
  const char* patterns[] = {"\\b[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}\\b",
                            "\\b(?:\\d[ -]*?){13,16}\\b", "(?i)\\bbearer\\s+[A-Za-z0-9._~+/-]+=*",
                            "\\b\\d{3}-\\d{2}-\\d{4}\\b", "(?i)password=\\S+", "\\w+",
                            "(?i)\\b(?:\\p{L}+[ -]){1,12}\\p{L}+\\b", "\\w{20}"};
  for (const char* pattern : patterns) {
    const auto tree = parse_linear_pattern(pattern);
    ASSERT_TRUE(std::holds_alternative<PatternTree>(tree)) << pattern;
    EXPECT_LT(re2_instruction_bound(std::get<PatternTree>(tree), Re2Form::kFull), kLimit) << pattern;
  }
}

// A program the bound keeps under the limit always compiles: a pattern
// just under the limit by the bound's count is one RE2 takes.
TEST(Re2ProgramBound, UnderTheLimitRe2Compiles) {
  constexpr size_t kLimit = re2_instruction_limit(10 * 1024 * 1024);
  const std::string pattern(kLimit - 16, 'a');
  const auto tree = parse_linear_pattern(pattern);
  ASSERT_TRUE(std::holds_alternative<PatternTree>(tree));
  EXPECT_EQ(re2_instruction_bound(std::get<PatternTree>(tree), Re2Form::kFull), kLimit);
  EXPECT_TRUE(compile_re2(pattern)->ok());
}

}  // namespace
}  // namespace vorlisk::pattern
