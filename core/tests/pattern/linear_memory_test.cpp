// A linear expression confined to a memory cap: its RE2 budgets still hold
// both programs of every form, the Pike VM's program stays within what its
// bound counts, and its matches are those of the expression compiled with
// the default budgets, also where its automata's caches overflow.
#include "core/pattern/linear_memory.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <variant>
#include <vector>

#include "core/pattern/pattern.h"
#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/re2_program_bound.h"
#include "core/tests/pattern/random_patterns.h"
#include "core/tests/pattern/re2_matches.h"

namespace vorlisk::pattern {
namespace {

using testing_support::PatternWriter;

constexpr size_t kCap = 4 * 1024 * 1024;

TEST(LinearMemory, ConfinedBudgetsHoldBothProgramsAndTheBoundTheVmProgram) {
  PatternWriter writer(40517, /*faults=*/false, /*word_tests=*/true);
  size_t checked = 0;
  for (int round = 0; round < 1500; ++round) {
    const std::string pattern = writer.pattern();
    SCOPED_TRACE("pattern " + pattern);
    const auto parsed = parse_linear_pattern(pattern);
    if (!std::holds_alternative<PatternTree>(parsed)) continue;
    const PatternTree& tree = std::get<PatternTree>(parsed);
    for (Re2Form form : {Re2Form::kAscii, Re2Form::kFull}) {
      RE2::Options options = testing_support::re2_options();
      options.set_max_mem(confined_re2_budget(re2_instruction_bound(tree, form)));
      const std::string text = emit_re2(tree, form);
      const RE2 re(re2::StringPiece(text.data(), text.size()), options);
      ASSERT_TRUE(re.ok()) << re.error();
      // -1 when the reverse program does not fit.
      EXPECT_GE(re.ReverseProgramSize(), 0);
    }
    const std::optional<PikeProgram> program = PikeProgram::compile(tree);
    ASSERT_TRUE(program.has_value());
    EXPECT_LE(program->instructions().size(), measure_tree(tree).pike_instructions + 2);
    ++checked;
  }
  EXPECT_GT(checked, 1000u);
}

std::string redacted(const CompiledPattern& pattern, const std::string& text, const char* replacement) {
  return redact_with_pattern(pattern, text, replacement).value_or("=");
}

TEST(LinearMemory, AConfinedExpressionMatchesAsWithTheDefaultBudgets) {
  // Texts over few characters, on which these patterns' automata build
  // thousands of states, more than a confined cache holds.
  std::mt19937 random(99);
  std::string ab;
  std::string ab_other;
  for (int i = 0; i < 200000; ++i) {
    ab += "ab"[random() % 2];
    ab_other += "ab"[random() % 2];
    if (random() % 50 == 0) ab += "c1 -"[random() % 4];
    if (random() % 50 == 0) ab_other += random() % 2 == 0 ? "\u00e9" : "c";
  }
  for (const char* pattern : {"a[ab]{12}c", "(?:a|b)*a(?:a|b){11}", "(a)[ab]{10}(b)", "\\b[ab]{10}\\b",
                              "\\<[ab]{9}\\>", "\\w[ab]{10}", "(?m)^[ab]{6}", "[ab]{10}$"}) {
    SCOPED_TRACE(pattern);
    const PatternResult confined = compile_pattern(pattern, false, kCap);
    const PatternResult unconfined = compile_pattern(pattern, false);
    ASSERT_TRUE(std::holds_alternative<CompiledPattern>(confined));
    ASSERT_TRUE(std::holds_alternative<CompiledPattern>(unconfined));
    const auto& small = std::get<CompiledPattern>(confined);
    const auto& large = std::get<CompiledPattern>(unconfined);
    EXPECT_LE(small.memory_bound(), kCap);
    EXPECT_GT(large.memory_bound(), kCap);
    for (const std::string* text : {&ab, &ab_other}) {
      for (const char* replacement : {"#", "<$1>"}) {
        EXPECT_EQ(redacted(small, *text, replacement), redacted(large, *text, replacement));
      }
    }
  }
}

}  // namespace
}  // namespace vorlisk::pattern
