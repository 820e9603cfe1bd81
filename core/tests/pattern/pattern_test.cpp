#include "core/pattern/pattern.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/tests/pattern/engine_replace.h"
#include "core/tests/test_time.h"

namespace vorlisk {
namespace {

using testing_support::Engine;
using testing_support::replace_with;

std::string compile_error(const PatternResult& result) {
  const std::string* error = std::get_if<std::string>(&result);
  return error ? *error : "<compiled>";
}

const CompiledPattern& compiled(const PatternResult& result) {
  EXPECT_TRUE(std::holds_alternative<CompiledPattern>(result)) << compile_error(result);
  return std::get<CompiledPattern>(result);
}

// ---- compilation ------------------------------------------------------------

struct CompileCase {
  const char* pattern;
  const char* linear_error;     // compile_pattern(pattern, false); "" = compiles
  const char* backtrack_error;  // compile_pattern(pattern, true); "" = compiles
};

class Compile : public ::testing::TestWithParam<CompileCase> {};

TEST_P(Compile, ErrorTextOfEachEngine) {
  const CompileCase& c = GetParam();
  const PatternResult linear = compile_pattern(c.pattern, false);
  const PatternResult either = compile_pattern(c.pattern, true);
  EXPECT_EQ(compile_error(linear), *c.linear_error ? c.linear_error : "<compiled>");
  EXPECT_EQ(compile_error(either), *c.backtrack_error ? c.backtrack_error : "<compiled>");
  EXPECT_EQ(compile_error(compile_standard_pattern(c.pattern)), compile_error(linear));
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, Compile,
    ::testing::Values(
        CompileCase{"(", "missing ): (", "Parsing error at position 1: missing closing parenthesis"},
        CompileCase{"\\d+", "", ""},
        CompileCase{"(?<=user=)\\w+", "invalid perl operator: (?<", ""},
        CompileCase{"(a)\\1", "invalid escape sequence: \\1", ""},
        // \C could cut a character in half.
        CompileCase{"a\\Cb",
                    "The escape \\C at position 1 matches a single byte, which can split a UTF-8 "
                    "character; it is not supported in value patterns.",
                    "Parsing error at position 3: using \\C is disabled by the application"},
        CompileCase{"\\\\C|\\Q\\C\\E|[\\\\C]", "", ""},
        // Set operations the engines would read as plain characters.
        CompileCase{"[a-z&&[^aeiou]]",
                    "Character class set operation \"&&\" at position 4 is not supported in value "
                    "patterns; escape the characters to match them literally.",
                    "Character class set operation \"&&\" at position 4 is not supported in value "
                    "patterns; escape the characters to match them literally."},
        CompileCase{"x[+--]",
                    "Character class set operation \"--\" at position 3 is not supported in value "
                    "patterns; escape the characters to match them literally.",
                    "Character class set operation \"--\" at position 3 is not supported in value "
                    "patterns; escape the characters to match them literally."},
        CompileCase{"[]~~]",
                    "Character class set operation \"~~\" at position 2 is not supported in value "
                    "patterns; escape the characters to match them literally.",
                    "Character class set operation \"~~\" at position 2 is not supported in value "
                    "patterns; escape the characters to match them literally."},
        CompileCase{"[ab[cd]]",
                    "Nested character class at position 3 is not supported in value patterns; "
                    "escape the \"[\" to match it literally.",
                    "Nested character class at position 3 is not supported in value patterns; "
                    "escape the \"[\" to match it literally."},
        CompileCase{"a&&b--c|[&\\&][-~][[:alpha:]-][\\[a]|\\Q[a&&b]\\E", "", ""},
        CompileCase{"[[.a.]]",
                    "Nested character class at position 1 is not supported in value patterns; "
                    "escape the \"[\" to match it literally.",
                    "Parsing error at position 1: POSIX collating elements are not supported"},
        // Comments, callouts and extended mode (backtracking engine only)
        // hold no syntax; an assertion group does.
        CompileCase{"(?x) card # [a&&b] (", "", ""},
        CompileCase{"(?x)(?-x: # [a&&b]\n)",
                    "Character class set operation \"&&\" at position 14 is not supported in "
                    "value patterns; escape the characters to match them literally.",
                    "Character class set operation \"&&\" at position 14 is not supported in "
                    "value patterns; escape the characters to match them literally."},
        // Word boundaries the engines would read as \b and text, a class
        // at the end of a range (both engines take the "-" as itself), and
        // CRLF mode, which PCRE2 reads as a recursion.
        CompileCase{"x\\b{begin}",
                    "Unknown word boundary \"\\b{begin}\" at position 1; the named ones are "
                    "\\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}.",
                    "Unknown word boundary \"\\b{begin}\" at position 1; the named ones are "
                    "\\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}."},
        CompileCase{"\\b{start", "Unknown word boundary \"\\b{start\" at position 0; the named "
                    "ones are \\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}.",
                    "Unknown word boundary \"\\b{start\" at position 0; the named "
                    "ones are \\b{start}, \\b{end}, \\b{start-half} and \\b{end-half}."},
        CompileCase{"\\b{2}x|\\b{ start }", "", ""},
        CompileCase{"[a\\w-z]",
                    "Character class range \"\\w-z\" at position 2 has a class at one end; "
                    "escape the \"-\" to match it literally.",
                    "Character class range \"\\w-z\" at position 2 has a class at one end; "
                    "escape the \"-\" to match it literally."},
        CompileCase{"(?R)^a$", "invalid perl operator: (?R",
                    "The flag R (CRLF mode) at position 2 is not supported in value patterns."},
        // Bytes that are no character are never read as white space.
        CompileCase{"(?x)a\x85" "b", "invalid UTF-8",
                    "Parsing error at position 5: UTF-8 error: isolated byte with 0x80 bit set"},
        CompileCase{"a{\xC0\xA0" "2}", "invalid UTF-8",
                    "Parsing error at position 2: UTF-8 error: overlong 2-byte sequence"},
        // Errors quote the pattern as written, not its translation.
        CompileCase{"\\w+(\\d", "missing ): \\w+(\\d",
                    "Parsing error at position 6: missing closing parenthesis"},
        CompileCase{"(?x) \\s* [\\d ", "missing ]: [\\d ",
                    "Parsing error at position 13: missing terminating ] for character class"},
        CompileCase{"\\u00e9(?<a-b>x)", "invalid named capture group: (?<a-b>",
                    "Parsing error at position 10: syntax error in subpattern name (missing "
                    "terminator?)"},
        CompileCase{"\\p{Greek}\\p{Foo}", "invalid character class range: \\p{Foo}",
                    "Parsing error at position 16: unknown property after \\P or \\p"},
        CompileCase{"\\w{2,1}", "invalid repetition size: {2,1}",
                    "Parsing error at position 6: numbers out of order in {} quantifier"},
        CompileCase{"(?#[a&&b])(?C'[a&&b]')[\\p{L&}&]", "invalid perl operator: (?#", ""},
        CompileCase{"(*pla:[a&&b])", "no argument for repetition operator: *",
                    "Character class set operation \"&&\" at position 8 is not supported in "
                    "value patterns; escape the characters to match them literally."}));

TEST(Compile, LinearEngineIsPreferredWhenItAccepts) {
  EXPECT_FALSE(compiled(compile_pattern("user=(\\w+)", true)).is_backtracking());
  EXPECT_TRUE(compiled(compile_pattern("(?<=user=)\\w+", true)).is_backtracking());
}

TEST(Compile, ProgramSizeLimit) {
  EXPECT_EQ(compile_error(compile_standard_pattern(std::string(1'300'000, 'a'))), "<compiled>");
  EXPECT_EQ(compile_error(compile_standard_pattern(std::string(1'400'000, 'a'))),
            "Compiled regex exceeds size limit of 10485760 bytes.");
}

TEST(Compile, NestingLimit) {
  const auto nested = [](int depth) {
    return std::string(static_cast<size_t>(depth), '(') + "a" +
           std::string(static_cast<size_t>(depth), ')');
  };
  EXPECT_EQ(compile_error(compile_pattern(nested(250), false)), "<compiled>");
  EXPECT_EQ(compile_error(compile_pattern(nested(251), false)),
            "Groups nest deeper than the limit of 250 levels at position 250.");
  EXPECT_EQ(compile_error(compile_pattern(nested(251) + "(?<=a)", true)),
            "Parsing error at position 251: parentheses are too deeply nested");
}

std::string repeated(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Runs `work` on a thread with a small stack: whatever recursed once per
// level of a deep pattern would overflow it.
template <class Work>
void on_small_stack(Work& work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 256 * 1024), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    (*static_cast<Work*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, run, &work), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// Patterns nested as deep as the syntax allows, or a million levels deep
// in the backtracking syntax, which never refuses to read a pattern: read,
// written for each engine, searched and freed without deep recursion.
TEST(Compile, DeepPatternsOnASmallStack) {
  const std::string patterns[] = {
      std::string(1'000'000, '('), "a" + repeated("*?*", 333'333),
      repeated("(?:a|", 250) + "\\b" + repeated(")*", 250),
      repeated("(", 249) + "\\<x" + repeated(")+?", 249) + "(?<=x)",
      repeated("(?:", 200) + repeated("\\w{2}+?", 40) + repeated(")", 200)};
  std::vector<std::string> results;
  auto work = [&] {
    for (const std::string& pattern : patterns) {
      for (bool allow_backtracking : {false, true}) {
        const PatternResult result = compile_pattern(pattern, allow_backtracking);
        if (const auto* error = std::get_if<std::string>(&result)) {
          results.push_back(error->substr(0, 40));
          continue;
        }
        for (std::string_view text : {"ax b", "\u00E9x a\u00E9"}) {
          results.push_back(redact_with_pattern(std::get<CompiledPattern>(result), text, "#")
                                .value_or("<no change>"));
        }
      }
    }
  };
  on_small_stack(work);
  // The third pattern matches where "a*" does; the fourth nests the word
  // test's own look-around past PCRE2's limit.
  EXPECT_EQ(results, (std::vector<std::string>{
                         "Groups nest deeper than the limit of 250",
                         "Parsing error at position 251: parenthes",
                         "Groups nest deeper than the limit of 250",
                         "Parsing error at position 378: quantifie",
                         "#x# #b#", "#\u00E9#x# #\u00E9#", "#x# #b#", "#\u00E9#x# #\u00E9#",
                         "invalid perl operator: (?<",
                         "Parsing error at position 249: parenthes",
                         "<no change>", "<no change>", "<no change>", "<no change>"}));
}

// ---- replacement, by every matcher -------------------------------------------

struct ReplaceCase {
  const char* pattern;
  const char* text;
  const char* replacement;
  std::optional<std::string> expected;  // nothing: no change
};

class Replace : public ::testing::TestWithParam<std::tuple<Engine, ReplaceCase>> {};

TEST_P(Replace, EveryMatcherAgrees) {
  const auto& [engine, c] = GetParam();
  EXPECT_EQ(replace_with(engine, c.pattern, c.text, c.replacement), c.expected)
      << c.pattern << " over '" << c.text << "' with '" << c.replacement << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Replace,
    ::testing::Combine(
        ::testing::Values(Engine::kLinear, Engine::kPikeVm, Engine::kBacktracking),
        ::testing::Values(
            ReplaceCase{"\\d+", "a1b22", "#", "a#b#"}, ReplaceCase{"\\d+", "abc", "#", std::nullopt},
            ReplaceCase{"a", "a", "a", "a"},  // same text, still a change
            ReplaceCase{"\\d", "a1b2", "", "ab"},
            // "$" expansion.
            ReplaceCase{"user=(\\w+)", "user=alice", "user=<$1>", "user=<alice>"},
            ReplaceCase{"user=(\\w+)", "user=alice", "$$", "$"},
            ReplaceCase{"user=(\\w+)", "user=alice", "${1}x", "alicex"},
            ReplaceCase{"user=(\\w+)", "user=alice", "$1x", ""},  // the group "1x"
            ReplaceCase{"user=(\\w+)", "user=alice", "$9|$99999999999999999999", "|"},
            ReplaceCase{"user=(\\w+)", "user=alice", "$0/$01", "user=alice/alice"},
            ReplaceCase{"user=(\\w+)", "user=alice", "$ a$ ${1 $$1 $-", "$ a$ ${1 $1 $-"},
            ReplaceCase{"(?P<name>\\w+)=(\\d+)?", "k=", "[${name}|$name.|$2|${nope}]",
                        "[k|k.||]"},
            // No group is called "", named or not.
            ReplaceCase{"(a)(b)", "xaby", "<${}>", "x<>y"},
            ReplaceCase{"(?P<k>a)(b)", "xaby", "<${}|${k}>", "x<|a>y"},
            ReplaceCase{"\\b(a)(b)", "\u00E9 ab", "<${}$2>", "\u00E9 <b>"},
            // Empty matches: never right after the previous match, never
            // inside a character.
            ReplaceCase{"x*", "h\u00E9llo", "-", "-h-\u00E9-l-l-o-"},
            ReplaceCase{"a*", "baaac", "-", "-b-c-"}, ReplaceCase{"x*", "", "-", "-"},
            ReplaceCase{"", "\U0001F600\u00E9", "|", "|\U0001F600|\u00E9|"},
            // Line feed handling: "." stops at it, "^"/"$" only at the ends.
            ReplaceCase{".+", "ab\ncd", "-", "-\n-"}, ReplaceCase{"^a|a$", "aa\naa\n", "-", "-a\naa\n"},
            ReplaceCase{"b$", "ab\n", "-", std::nullopt})));

TEST(Replace, EveryMatcherReadsWordsTheUnicodeWay) {
  // "é" is a word character, so \B holds between "a" and "é", and nowhere
  // inside "é"; the text's ends count as outside any word.
  for (Engine engine : {Engine::kLinear, Engine::kPikeVm, Engine::kBacktracking}) {
    EXPECT_EQ(replace_with(engine, "\\B", "a\u00E9", "-"), "a-\u00E9");
    EXPECT_EQ(replace_with(engine, "\\b", "a\u00E9", "-"), "-a\u00E9-");
    EXPECT_EQ(replace_with(engine, "\\B", "a\u00E9!", "-"), "a-\u00E9!-");
  }
}

TEST(Replace, BacktrackingFeatures) {
  EXPECT_EQ(replace_with(Engine::kBacktracking, "(?<=user=)\\w+", "user=alice id=user=bob", "*"),
            "user=* id=user=*");
  EXPECT_EQ(replace_with(Engine::kBacktracking, "(?<=a)b", "abab", "-"), "a-a-");
  EXPECT_EQ(replace_with(Engine::kBacktracking, "(\\w)\\1", "aabcc", "<$1>"), "<a>b<c>");
  EXPECT_EQ(replace_with(Engine::kBacktracking, "(?J)(?<n>a)|(?<n>b)", "ab", "[$n]"), "[a][b]");
}

// A repeated assertion (read as one or none of it) is written so that
// PCRE2 takes it, and means the same there.
TEST(Replace, RepeatedAssertionsInBothEngines) {
  for (const char* pattern : {"\\b*x", "^*a", "\\A+a", "(?m)$?b", "\\<{2}x", "\\B{0,3}y"}) {
    for (const char* text : {"x ax", "a\na", "aab b", "yxy", "\u00E9x y"}) {
      const PatternResult linear = compile_pattern(pattern, false);
      const PatternResult backtracking = compile_pattern(std::string("(?=)") + pattern, true);
      EXPECT_EQ(redact_with_pattern(compiled(linear), text, "#"),
                redact_with_pattern(compiled(backtracking), text, "#"))
          << pattern << " over " << text;
    }
  }
}

TEST(Replace, FailedSearchRedactsTheWholeText) {
  const PatternResult result = compile_pattern("(?=a)(a+)+$", true);
  ASSERT_TRUE(compiled(result).is_backtracking());
  const std::string text = "keep " + std::string(40, 'a') + "b";
  const auto start = thread_cpu_time();
  EXPECT_EQ(redact_with_pattern(compiled(result), text, "***"), "[REDACTED]");
  EXPECT_LT(thread_cpu_time() - start, std::chrono::seconds(2));
  // Not UTF-8: the engine refuses to search, which redacts too.
  EXPECT_EQ(redact_with_pattern(compiled(result), "a\xFF", "***"), "[REDACTED]");
}

TEST(Replace, NoMatchGivesNothingForEmptyAndNullText) {
  const PatternResult result = compile_standard_pattern("x");
  EXPECT_EQ(redact_with_pattern(compiled(result), std::string_view(), "-"), std::nullopt);
  const PatternResult empty = compile_standard_pattern("x*");
  EXPECT_EQ(redact_with_pattern(compiled(empty), std::string_view(), "-"), "-");
}

TEST(Replace, OnePatternSharedByManyThreads) {
  const PatternResult linear = compile_pattern("card=(\\d+)", false);
  const PatternResult backtracking = compile_pattern("(?<=card=)\\d+", true);
  // Built on first need: the threads race to build each program.
  const PatternResult bounded = compile_pattern("\\bcard=(\\d+)\\>", false);
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  std::atomic<size_t> ready{0};
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < wrong.size()) std::this_thread::yield();
      for (int i = 0; i < 300; ++i) {
        const std::string id = (t % 2 == 0 ? "\u00E9=" : "e=") + std::to_string(i);
        const std::string text = id + " card=" + std::to_string(t * 1000 + i);
        if (redact_with_pattern(compiled(bounded), text, "<$1>") !=
            id + " <" + std::to_string(t * 1000 + i) + ">") {
          ++wrong[t];
        }
        if (redact_with_pattern(compiled(linear), text, "card=<$1>") !=
            id + " card=<" + std::to_string(t * 1000 + i) + ">") {
          ++wrong[t];
        }
        if (redact_with_pattern(compiled(backtracking), text, "#") != id + " card=#") ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
}

}  // namespace
}  // namespace vorlisk
