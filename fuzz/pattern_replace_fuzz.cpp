// Drives value-pattern replacement over arbitrary UTF-8 text with a fixed
// set of patterns on both engines, patterns that match empty text and
// replacements with "$" references among them. Every output must be valid
// UTF-8, and replacing every match by itself ("$0") must give the text back.
// A combined linear-engine search that finds nothing must mean that no
// linear pattern changes the text.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/base/utf8.h"
#include "core/render/backtracking_engine.h"
#include "core/render/linear_engine.h"
#include "fuzz/fuzz_input.h"

namespace vorlisk::fuzz {
namespace {

// Patterns both engines take; the linear engine tests \B and \b at every
// byte, so the empty ones exercise the skip inside a character.
constexpr const char* kSharedPatterns[] = {
    "x*", "\\B", "", "\\d+", "(\\w)(\\w)?", "\\b", "[^a-z]*", "(?i)\u00E9|\u00DF", ".", "(a|)+",
    "\\pL*", "$", "^", "(?s).{0,3}", "\\W*?", "(?P<name>\\S)\\s*"};

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
    for (const char* pattern : kSharedPatterns) {
      const std::string_view text[] = {pattern};
      built->single.push_back(std::move(*LinearSet::compile(text)));
      if (!built->single.back().may_match("")) selective.push_back(pattern);
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
void check(const Expression& expression, const std::string& text, const std::string& replacement,
           bool may_fail) {
  const std::optional<std::string> out = expression.replace_all(text, replacement);
  if (out && !is_valid_utf8(*out)) fail("output is not UTF-8", text, replacement, *out);
  const std::optional<std::string> same = expression.replace_all(text, "$0");
  if (same && *same != text && !(may_fail && *same == "[REDACTED]")) {
    fail("replacing each match by itself changed the text", text, "$0", *same);
  }
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
  const std::string text = in.utf8(64);
  const size_t count = all.linear.size() + all.backtracking.size();
  const size_t index = choice % count;
  if (index < all.linear.size()) {
    check(all.linear[index], text, replacement, false);
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
    check(all.backtracking[index - all.linear.size()], text, replacement, true);
  }
  return 0;
}
