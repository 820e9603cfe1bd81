// Value patterns: user-supplied regular expressions whose matches are
// replaced in every text a record carries.
//
// A CompiledPattern is compiled once (per configuration object; for the
// per-call patterns of the render functions, once while it stays among the
// recently compiled ones, recent_patterns.h) by the linear-time engine,
// or, only when that engine rejects the pattern and backtracking was
// allowed, by the backtracking engine. Each parses the pattern once into a
// syntax tree and runs forms written from it. Which runs when:
//
//   linear pattern, ASCII text     RE2 with the tree's ASCII form, exact
//                                  when its word assertions are only \b
//                                  and \B (RE2's own); otherwise that form
//                                  finds where a match may start and our
//                                  Pike VM matches exactly from there
//   linear pattern, other text     RE2 with the full form, exact without a
//                                  word assertion; otherwise it finds the
//                                  starts and the Pike VM matches
//   backtracking pattern           PCRE2 with the tree's PCRE2 form, under
//                                  a step limit for each search
//
// The linear engine never fails and runs in time linear in the text; PCRE2
// never sees a pattern the linear engine takes (linear_engine.h and
// backtracking_engine.h tell the details). A compiled engine never changes
// afterwards but for programs built on first need, published atomically,
// and may be used by any number of threads at once: copies of a
// CompiledPattern share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vorlisk {

class CompiledPattern {
 public:
  class Engine;  // the compiled expression of one of the two engines

  explicit CompiledPattern(std::shared_ptr<const Engine> engine);

  bool is_backtracking() const;
  // The linear-time engine's full RE2 form of the pattern (word assertions
  // left out: it matches wherever the pattern does), for a combined
  // search of several patterns; nothing for the backtracking engine.
  std::optional<std::string_view> linear_full_form() const;
  // The most memory the engine holds, with every program it may build on
  // first need and every cache at its budget: what keeping it costs.
  size_t memory_bound() const;
  const Engine& engine() const { return *engine_; }

 private:
  std::shared_ptr<const Engine> engine_;
};

// A compiled pattern, or the engine's error text.
using PatternResult = std::variant<CompiledPattern, std::string>;

// Linear-time engine only.
PatternResult compile_standard_pattern(std::string_view pattern);

// Linear-time engine first; when it rejects the pattern and
// `allow_backtracking` is set, the backtracking engine (whose error text is
// then the one reported). A linear engine whose memory bound can be
// brought within `memory_cap` bytes has its automata's caches confined so
// that it is (linear_engine.h); the matches are the same.
PatternResult compile_pattern(std::string_view pattern, bool allow_backtracking,
                              size_t memory_cap = SIZE_MAX);

// Replaces every match of `pattern` in `text` by `replacement` ("$" expands
// capture references). Nothing means no match: the caller keeps `text`
// itself, uncopied. A search failure of the backtracking engine gives the
// whole text "[REDACTED]".
std::optional<std::string> redact_with_pattern(const CompiledPattern& pattern,
                                               std::string_view text,
                                               std::string_view replacement);

}  // namespace vorlisk
