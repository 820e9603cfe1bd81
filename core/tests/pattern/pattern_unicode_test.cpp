// The Unicode meaning of the value patterns' classes and word boundaries,
// the syntax they are written in, and the limits of long searches.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>
#include <string>

#include "core/base/utf8.h"
#include "core/pattern/pattern.h"
#include "core/tests/pattern/engine_replace.h"
#include "core/tests/test_time.h"

namespace vorlisk {
namespace {

using testing_support::Engine;
using testing_support::replace_with;

std::string engine_name(const ::testing::TestParamInfo<Engine>& info) {
  switch (info.param) {
    case Engine::kLinear:
      return "Linear";
    case Engine::kPikeVm:
      return "PikeVm";
    case Engine::kBacktracking:
      break;
  }
  return "Backtracking";
}

std::string replaced(Engine engine, std::string_view pattern, std::string_view text) {
  return replace_with(engine, pattern, text).value_or(std::string(text));
}

// Every code point that any version of Unicode so far has assigned outside
// the private-use planes, and none of the surrogates, in order.
const std::string& every_character() {
  static const std::string text = [] {
    std::string out;
    for (char32_t cp = 0; cp <= 0xE01EF; ++cp) {
      if (cp == 0x32400) cp = 0xE0000;
      if (cp < 0xD800 || cp > 0xDFFF) append_utf8(out, cp);
    }
    return out;
  }();
  return text;
}

class PerEngine : public ::testing::TestWithParam<Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, PerEngine,
                         ::testing::Values(Engine::kLinear, Engine::kPikeVm, Engine::kBacktracking),
                         engine_name);

struct Case {
  const char* pattern;
  const char* text;
  const char* expected;  // null: no change
  const char* replacement = "#";
};

void expect_replaced(Engine engine, std::span<const Case> cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(replace_with(engine, c.pattern, c.text, c.replacement),
              c.expected ? std::optional<std::string>(c.expected) : std::nullopt)
        << c.pattern << " over " << c.text;
  }
}

// ---- classes ---------------------------------------------------------------

TEST_P(PerEngine, PerlClassesAreUnicodeOnes) {
  const Case cases[] = {
      {"token=\\w+", "token=\u043F\u0430\u0440\u043E\u043B\u044C99 ok", "# ok"},
      {"secret=\\w+", "secret=p\u00E4sswort", "#"},
      {"\\w+", "e\u0301t\u00E9\u203F_\u200D\u24B6 \u00B2!", "# \u00B2!"},  // mark, Pc, ZWJ, Ⓐ; not No
      {"\\d+", "a\u0663\u0664b 12 \u00B2", "a#b # \u00B2"},
      {"\\s+", "a\u00A0b\u3000c\x0B" "d\u0085e\u2029f\u200Bg", "a#b#c#d#e#f\u200Bg"},
      {"[^\\s\\d]+", "ab 1\u0663c", "# 1\u0663#"},
      {"[\\w-]+", "a-\u00E9 b", "# #"},
      {"\\W+", "\u00E9!\u00A0x", "\u00E9#x"},
      {"[[:alpha:]]+", "ab\u00E9", "#\u00E9"},  // POSIX classes stay ASCII
      {"[[:^digit:]]+", "a\u0663 1", "#1"},
      {"\\p{Greek}+ \\p{sc=Cyrillic}+ \\p{Script=Latin}", "\u03B1\u03B2 \u0436 z", "#"},
      {"\\p{Letter}\\p{gc=Lu}\\pN\\p{ Decimal_Number }\\P{L}", "aB\u00B2\u0663!", "#"},
      {"\\p{isGreek}\\p{greek}\\p{Grek}\\p{gc!=Lu}", "\u03B1\u03B2\u03B3a", "#"},
      {"[\\p{Cs}]|[^\\p{Any}]", "a", nullptr},
      {"\\v\\u000B\\u{b}\\U0000000B\\x0B\\x{B}", "\x0B\x0B\x0B\x0B\x0B\x0B", "#"},
      {"(?i)\\p{Lu}+", "aB\u00E9", "#"},  // the case of a category folds, as of a class
  };
  expect_replaced(GetParam(), cases);
}

// Both engines put every character in the same classes, and the Perl
// classes are the same under (?i): their case is folded like any class's,
// and each holds every case of its letters. A category or script under
// (?i) takes the other cases of its letters, in both engines.
// Where two replacement results first differ, for a readable failure.
std::string first_difference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  const auto [at, _] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const size_t offset = static_cast<size_t>(at - a.begin());
  return "differ at byte " + std::to_string(offset) + ": " + a.substr(offset, 12) + " | " +
         b.substr(offset, 12);
}

TEST(UnicodeClasses, EnginesAndCaseAgreeOnEveryCharacter) {
  const std::string& text = every_character();
  for (const char* pattern : {"\\w+", "\\W+", "\\d+", "\\D+", "\\s+", "\\S+", "[^\\w\\s]+", "[\\W\\d]+"}) {
    const std::string linear = replaced(Engine::kLinear, pattern, text);
    EXPECT_NE(linear.size(), text.size()) << pattern;
    EXPECT_EQ(first_difference(replaced(Engine::kBacktracking, pattern, text), linear), "") << pattern;
    EXPECT_EQ(first_difference(replaced(Engine::kPikeVm, pattern, text), linear), "") << pattern;
    EXPECT_EQ(first_difference(replaced(Engine::kLinear, std::string("(?i)") + pattern, text), linear), "")
        << pattern;
  }
  for (const char* pattern : {"\\p{L}+", "\\p{Greek}+", "\\P{Latin}+", "(?i)\\p{Greek}+", "(?i)[\\p{Lu}\\d]+"}) {
    EXPECT_EQ(first_difference(replaced(Engine::kBacktracking, pattern, text),
                               replaced(Engine::kLinear, pattern, text)),
              "")
        << pattern;
  }
}

TEST(UnicodeClasses, APatternFullOfWordClassesFitsTheProgramLimit) {
  std::string words;
  for (int i = 0; i < 300; ++i) words += "\\w";
  EXPECT_EQ(replace_with(Engine::kLinear, words, "x"), std::nullopt);
  EXPECT_EQ(replace_with(Engine::kLinear, "(\\w+[-.]\\d*\\s?){40}", "a"), std::nullopt);
  // Past the limit, the limit's own error, as for any other pattern.
  EXPECT_EQ(replace_with(Engine::kLinear, "\\w{1000}", "x"),
            "<error: Compiled regex exceeds size limit of 10485760 bytes.>");
  // PCRE2 writes \w by its own properties, so many fit its 64 KiB too.
  EXPECT_EQ(replace_with(Engine::kBacktracking, words + "\\b\\B\\b\\B", "x"), std::nullopt);
}

// ---- word boundaries ---------------------------------------------------------

TEST_P(PerEngine, WordBoundariesFollowTheUnicodeWord) {
  const Case cases[] = {
      {"\\B", "\u00E9\u00E9", "\u00E9#\u00E9"},
      {"\\b", "\u00E9\u00E9 x", "#\u00E9\u00E9# #x#"},
      {"\\bpass\\b", "pass\u00E9 pass p\u0301pass", "pass\u00E9 # p\u0301pass"},
      {"\\<secret\\>", "my secret is here", "my # is here"},
      {"\\<\\w|\\w\\>", "ab \u00E9\u00E9", "## ##"},
      {"\\b{start}\\w+", "hello", "#"},
      {"\\w+\\b{end}", "\u00FCber!", "#!"},
      {"\\b{start-half}x", "x ax \u00E9x", "# ax \u00E9x"},
      {"x\\b{end-half}", "xa x x\u00E9", "xa # x\u00E9"},
      {"\\B\\d+\\B", "1234 a12b \u0663\u0664\u0665", "1#4 a#b \u0663#\u0665"},
      {"(?i)\\bK\\b", "\u212A k kk", "# # kk"},
      {"\\b+x\\b{2}", "x", "#"},
  };
  expect_replaced(GetParam(), cases);
}

// On ASCII text the linear engine searches with RE2's own \b and \B, on
// other text with the Pike VM from where RE2 finds a match may start: both
// give what the VM alone and the backtracking engine give.
TEST(WordBoundaries, AsciiAndUnicodeTextsAgree) {
  for (const char* pattern : {"\\b\\w+\\b", "\\B.", "\\b", "x\\B|\\Bx", "(?:\\b\\d{3}\\b\\s?)+", "\\B\\b|\\b",
                              "\\<\\w+\\>", "\\b{end-half}\\W"}) {
    for (const char* text : {"ab_1 x-123 xx 456!", "\u00E9b_1 x-123 x\u00E9 456\u3002", ""}) {
      const std::string linear = replaced(Engine::kLinear, pattern, text);
      EXPECT_EQ(linear, replaced(Engine::kBacktracking, pattern, text)) << pattern << " over " << text;
      EXPECT_EQ(linear, replaced(Engine::kPikeVm, pattern, text)) << pattern << " over " << text;
    }
  }
}

TEST(WordBoundaries, GroupsAndNamesOfTheExactSearch) {
  EXPECT_EQ(replace_with(Engine::kLinear, "\\b(?<user>\\w+)@(\\w+)\\b", "to \u00FCmit@d\u00F6 ok",
                         "<$user at ${2}>"),
            "to <\u00FCmit at d\u00F6> ok");
}

// A pattern that backtracking would search without end is searched in
// linear time, on ASCII text (RE2's own \b) and on other text (RE2 finds
// where a match may start, the Pike VM matches exactly): no match, and
// never a failure.
TEST(WordBoundaries, PathologicalPatternIsSearchedInLinearTime) {
  const std::string word(20'000, 'a');
  for (const std::string& text : {word + "\u00E9!", word + "!"}) {
    const auto start = thread_cpu_time();
    EXPECT_EQ(replace_with(Engine::kLinear, "(?:\\w+)+\\b\\w", text), std::nullopt);
    EXPECT_LT(thread_cpu_time() - start, std::chrono::seconds(2));
  }
}

// ---- syntax --------------------------------------------------------------------

TEST_P(PerEngine, SyntaxOfThePatterns) {
  const Case cases[] = {
      {"(?<key>\\w+)=(?P<value>\\d+)", "a=1 b=2", "a:1 b:2", "$key:$value"},
      {"\\u0041\\u{42}\\U00000043\\x44\\x{1F600}", "ABCD\U0001F600", "#"},
      {"(?x) a \\  b # a comment [(\n c [ d e ] \\# \u3000", "a bcd#", "#"},
      {"(?x: a b )c d", "abc d", "#"},
      {"a(?x) b (?-x) c", "ab c", "#"},
      {"a{ 2 }b{,2}c{1, 2}", "aabbcc", "#"},
      {"a**b+?+c{2}{2}", "aaabbcccc", "#"},
      {"\\Q\\w \\E+", "\\w   ", "#"},
  };
  expect_replaced(GetParam(), cases);
}

// ---- limits of the backtracking engine -------------------------------------

TEST(BacktrackingLimits, LongTextWithinTheStepLimitIsSearched) {
  const std::string text = "x" + std::string(150'000, 'b') + " tail";
  const PatternResult pattern = compile_pattern("(?<=x)(?:b|c)*", true);
  ASSERT_TRUE(std::holds_alternative<CompiledPattern>(pattern));
  EXPECT_EQ(redact_with_pattern(std::get<CompiledPattern>(pattern), text, "#"), "x# tail");
}

TEST(BacktrackingLimits, CatastrophicPatternFailsClosedQuickly) {
  const PatternResult pattern = compile_pattern("(a|a)+(?=b)", true);
  ASSERT_TRUE(std::holds_alternative<CompiledPattern>(pattern));
  const std::string text = std::string(40, 'a') + "c";
  const auto start = thread_cpu_time();
  EXPECT_EQ(redact_with_pattern(std::get<CompiledPattern>(pattern), text, "#"), "[REDACTED]");
  // About 10 ms in a plain build; sanitizers are slower.
  EXPECT_LT(thread_cpu_time() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace vorlisk
