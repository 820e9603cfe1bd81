// Drives value-pattern replacement over arbitrary UTF-8 text with a fixed
// set of patterns on both engines, patterns that match empty text and
// replacements with "$" references among them. Every output must be valid
// UTF-8, and replacing every match by itself ("$0") must give the text back.
// A combined linear-engine search that finds nothing must mean that no
// linear pattern changes the text. The patterns both engines take must give
// the same text on both (the Unicode classes and word boundaries are the
// same sets on both); texts are often made of letters, marks, digits and
// spaces of several scripts, where the Unicode and ASCII meanings differ.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/base/utf8.h"
#include "core/pattern/backtracking_engine.h"
#include "core/pattern/linear_engine.h"
#include "fuzz/fuzz_input.h"

namespace vorlisk::fuzz {
namespace {

// Patterns both engines take; the linear engine tests \B and \b at every
// byte, so the empty ones exercise the skip inside a character.
constexpr const char* kSharedPatterns[] = {
    "x*", "\\B", "", "\\d+", "(\\w)(\\w)?", "\\b", "[^a-z]*", "(?i)\u00E9|\u00DF", ".", "(a|)+",
    "\\pL*", "$", "^", "(?s).{0,3}", "\\W*?", "(?P<name>\\S)\\s*",
    // Classes and boundaries the translation rewrites.
    "[\\w-]+", "[^\\s\\d]", "\\b\\w+\\b", "\\<\\w|\\w\\>", "(?i)\\W+\\B", "\\p{Greek}|\\P{L}\\d",
    "[[:alpha:]]\\B|\\b{start-half}\\s", "(?x) \\d + # digits", "(?<name>\\w)\\b{end}", "\\B\\S*?\\b"};

// Patterns only the backtracking engine takes.
constexpr const char* kBacktrackingPatterns[] = {"(?<=.)", "(?<=\\w)(?=\\W)", "(\\w)\\1*",
                                                 "(?=(.))", "(?<!\\s)\\b"};

constexpr const char* kReplacements[] = {"", "[REDACTED]", "$$", "<$1>", "${2}$0", "$name",
                                         "\u00E9$", "$1a", "${name}-$9"};

struct Expressions {
  std::vector<LinearExpression> linear;
  std::vector<BacktrackingExpression> backtracking;
  std::vector<LinearSet> single;       // one set per linear pattern
  std::optional<LinearSet> combined;   // every linear pattern but the always-matching ones
};

template <class Expression>
void add(std::vector<Expression>& into, const char* pattern) {
  auto compiled = Expression::compile(pattern);
  if (auto* error = std::get_if<std::string>(&compiled)) {
    std::fprintf(stderr, "pattern_replace_fuzz: %s does not compile: %s\n", pattern, error->c_str());
    std::abort();
  }
  into.push_back(std::move(std::get<Expression>(compiled)));
}

const Expressions& expressions() {
  static const Expressions* all = [] {
    auto* built = new Expressions;
    for (const char* pattern : kSharedPatterns) {
      add(built->linear, pattern);
      add(built->backtracking, pattern);
    }
    for (const char* pattern : kBacktrackingPatterns) add(built->backtracking, pattern);
    std::vector<std::string_view> selective;
    for (const LinearExpression& linear : built->linear) {
      const std::string_view text[] = {linear.full_form_text()};
      built->single.push_back(std::move(*LinearSet::compile(text)));
      if (!built->single.back().may_match("")) selective.push_back(text[0]);
    }
    built->combined = LinearSet::compile(selective);
    if (!built->combined) std::abort();
    return built;
  }();
  return *all;
}

[[noreturn]] void fail(const char* what, const std::string& text, const std::string& replacement,
                       const std::string& output) {
  std::fprintf(stderr, "pattern_replace_fuzz: %s\ntext: %s\nreplacement: %s\noutput: %s\n", what,
               text.c_str(), replacement.c_str(), output.c_str());
  std::abort();
}

template <class Expression>
std::optional<std::string> check(const Expression& expression, const std::string& text,
                                 const std::string& replacement) {
  const std::optional<std::string> out = expression.replace_all(text, replacement);
  if (out && !is_valid_utf8(*out)) fail("output is not UTF-8", text, replacement, *out);
  const std::optional<std::string> same = expression.replace_all(text, "$0");
  if (same && *same != text && *same != "[REDACTED]") {
    fail("replacing each match by itself changed the text", text, "$0", *same);
  }
  return out;
}

// Characters on which the Unicode and the ASCII classes differ, and some
// on which they agree.
constexpr const char* kAlphabet[] = {"a", "Z", "_", "1", " ", "!", "-", "\n", "\u00E9", "\u0436",
                                     "\u0301", "\u0663", "\u00A0", "\u3000", "\x0B", "\u4E2D",
                                     "\u3002", "\u200D", "\u00B2", "\u03B1", "\U0001F600"};

std::string text_from(FuzzInput& in) {
  if (in.byte() < 128) return in.utf8(64);
  std::string text;
  for (size_t n = in.byte() % 48; n > 0; --n) text += kAlphabet[in.byte() % std::size(kAlphabet)];
  return text;
}

}  // namespace
}  // namespace vorlisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlisk::fuzz;
  FuzzInput in(data, size);
  const Expressions& all = expressions();
  const uint8_t choice = in.byte();
  const uint8_t replacement_choice = in.byte();
  std::string replacement = replacement_choice < 200
                                ? kReplacements[replacement_choice % std::size(kReplacements)]
                                : in.utf8(8);
  const std::string text = text_from(in);
  const size_t count = all.linear.size() + all.backtracking.size();
  const size_t index = choice % count;
  if (index < all.linear.size()) {
    const std::optional<std::string> linear = check(all.linear[index], text, replacement);
    const std::optional<std::string> backtracking = check(all.backtracking[index], text, replacement);
    // A repeated group that can match empty text ends with different
    // contents in the two engines; its match is the same.
    const bool same_groups = std::string_view(kSharedPatterns[index]) != "(a|)+" ||
                             replacement.find('$') == std::string::npos;
    if (same_groups && linear != backtracking && backtracking != "[REDACTED]" &&
        linear != "[REDACTED]") {
      fail(("the engines disagree on " + std::string(kSharedPatterns[index])).c_str(), text,
           replacement, linear.value_or("<no change>") + " | " + backtracking.value_or("<no change>"));
    }
    if (!all.single[index].may_match(text) && all.linear[index].replace_all(text, replacement)) {
      fail("a pattern its own set clears changed the text", text, replacement, "");
    }
    if (!all.combined->may_match(text)) {
      for (size_t i = 0; i < all.linear.size(); ++i) {
        if (all.single[i].may_match("")) continue;
        if (all.linear[i].replace_all(text, replacement)) {
          fail("a pattern the combined set clears changed the text", text, replacement, "");
        }
      }
    }
  } else {
    check(all.backtracking[index - all.linear.size()], text, replacement);
  }
  return 0;
}
