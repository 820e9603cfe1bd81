// The linear parse against RE2 itself, on random patterns written in the
// syntax both read alike (none of the pattern syntax's additions, none of
// its refusals): the parse accepts exactly what RE2 accepts, fails with
// RE2's own text otherwise, and the RE2 forms written from the tree find
// the same matches and groups on ASCII text as RE2 on the pattern itself.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/render/pattern_emit.h"
#include "core/render/pattern_parser.h"
#include "core/tests/re2_matches.h"

namespace vorlisk::pattern {
namespace {

using testing_support::compile_re2;
using testing_support::re2_matches;

class PatternWriter {
 public:
  explicit PatternWriter(uint32_t seed) : random_(seed) {}

  std::string pattern() {
    depth_ = 0;
    std::string out = alternation();
    if (chance(3)) out += pick_of(kEndFaults);
    return out;
  }

  std::string text() {
    static constexpr std::string_view kAlphabet = "aAbBkKxXsS01 _-.\n\t!";
    std::string out;
    for (size_t n = pick(16); n > 0; --n) out.push_back(kAlphabet[pick(kAlphabet.size())]);
    return out;
  }

 private:
  static constexpr std::string_view kFaults[] = {
      ")", "(", "\\", "\\q", "\\1", "*", "+?", "{2,1}", "{1001}", "a{1000,1001}", "(?z)",
      "(?P<1a>x)", "(?P<a-b>x)", "[z-a]", "[[:foo:]]", "\\p{Foo}", "\\pX", "\\x{110000}",
      "(?i-)", "(?-)", "(?P=n)", "(?=x)", "(?<=x)", "(?#x)", "\\Z", "(?P<n", "\\x{4", "\\8",
      "(a{100}){20}", "((a{10}){10}){11}", "[\\b]", "[\\p]"};
  // Faults that take in the rest of the pattern.
  static constexpr std::string_view kEndFaults[] = {"[a", "\\p", "\\", "(?P<", "(?P<n", "\\p{L", "(?i"};
  static constexpr std::string_view kLiterals[] = {
      "a", "b", "k", "x", "A", "B", "K", "S", "s", "0", "1", "_", " ", "-", "!", "\\.", "\\-", "\\*",
      "\\x41", "\\x{62}", "\\101", "\\n", "\\t", "\\_"};
  static constexpr std::string_view kSets[] = {
      ".", "\\d", "\\w", "\\s", "\\D", "\\W", "\\S", "\\pL", "\\p{Lu}", "\\PL", "\\p{Greek}",
      "\\p{^Lu}", "\\pN", "\\p{Latin}", "\\p{Any}"};
  static constexpr std::string_view kClassMembers[] = {
      "a", "b", "x", "K", "0", "_", ".", "*", "^", "\\-", "\\]", "a-c", "0-5", "A-Z", "k-s", "\\d",
      "\\w", "\\s", "\\D", "\\W", "\\S", "[:alpha:]", "[:^space:]", "[:word:]", "[:upper:]", "\\pL",
      "\\p{Greek}", "\\x41", "\\x{62}-\\x{64}", "\\n", " "};
  static constexpr std::string_view kAssertions[] = {"^", "$", "\\A", "\\z", "\\b", "\\B"};
  static constexpr std::string_view kRepetitions[] = {"*", "+", "?", "*?", "+?", "??", "{2}", "{0,1}",
                                                      "{1,3}", "{2,}", "{0}", "{1,2}?", "{3,}?"};
  static constexpr std::string_view kFlags[] = {"i", "m", "s", "U", "i-s", "-i", "im", "s-U"};

  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }
  bool chance(size_t percent) { return pick(100) < percent; }
  template <size_t N>
  std::string_view pick_of(const std::string_view (&options)[N]) {
    return options[pick(N)];
  }

  std::string alternation() {
    std::string out = branch();
    while (chance(20)) out += "|" + branch();
    return out;
  }

  std::string branch() {
    std::string out;
    for (size_t n = pick(5); n > 0; --n) {
      out += atom();
      if (chance(35)) out += pick_of(kRepetitions);
    }
    return out;
  }

  std::string atom() {
    if (chance(3)) return std::string(pick_of(kFaults));
    const size_t kind = pick(depth_ < 3 ? 10 : 6);
    switch (kind) {
      case 0:
      case 1:
        return std::string(pick_of(kLiterals));
      case 2:
        return std::string(pick_of(kSets));
      case 3:
        return character_class();
      case 4:
        return std::string(pick_of(kAssertions));
      case 5:
        return chance(50) ? "(?" + std::string(pick_of(kFlags)) + ")" : "\\Qa.\\E";
      default: {
        ++depth_;
        std::string inner = alternation();
        --depth_;
        switch (pick(4)) {
          case 0:
            return "(" + inner + ")";
          case 1:
            return "(?:" + inner + ")";
          case 2:
            return "(?P<n" + std::to_string(pick(3)) + ">" + inner + ")";
          default:
            return "(?" + std::string(pick_of(kFlags)) + ":" + inner + ")";
        }
      }
    }
  }

  std::string character_class() {
    std::string out = chance(30) ? "[^" : "[";
    for (size_t n = 1 + pick(3); n > 0; --n) {
      const std::string_view member = pick_of(kClassMembers);
      if (member == "^" && (out.back() == '[' || out.back() == '^')) continue;
      out += member;
    }
    if (out.back() == '[' || out.back() == '^') out += 'a';
    return out + "]";
  }

  std::mt19937 random_;
  int depth_ = 0;
};

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
