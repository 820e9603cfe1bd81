// Random value patterns for the tests that hold one engine to another:
// RE2's syntax (groups, flags, classes, Perl and Unicode classes,
// repetitions, anchors and word assertions), nested a few levels deep,
// with, on request, faults RE2 rejects and the word assertions it lacks;
// and short ASCII texts full of letters whose case, and whose being a
// word character or not, the patterns test.
#pragma once

#include <random>
#include <string>
#include <string_view>

namespace vorlisk::testing_support {

class PatternWriter {
 public:
  // `faults`: now and then a construct RE2 rejects; `word_tests`: also
  // the word assertions RE2 has no form of.
  explicit PatternWriter(uint32_t seed, bool faults = true, bool word_tests = false)
      : random_(seed), faults_(faults), word_tests_(word_tests) {}

  std::string pattern() {
    depth_ = 0;
    std::string out = alternation();
    if (faults_ && chance(3)) out += pick_of(kEndFaults);
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
  static constexpr std::string_view kWordTests[] = {"\\<", "\\>", "\\b{start}", "\\b{end}",
                                                    "\\b{start-half}", "\\b{end-half}"};
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
    if (faults_ && chance(3)) return std::string(pick_of(kFaults));
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
        return std::string(word_tests_ && chance(40) ? pick_of(kWordTests) : pick_of(kAssertions));
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
  bool faults_;
  bool word_tests_;
  int depth_ = 0;
};

}  // namespace vorlisk::testing_support
