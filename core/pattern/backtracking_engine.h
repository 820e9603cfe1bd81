// The backtracking engine (PCRE2), only for value patterns that need
// look-around or backreferences and were allowed to backtrack: a pattern
// the linear engine takes never reaches PCRE2.
//
// A pattern is parsed into its syntax tree (pattern_parser.h, the
// backtracking dialect) and PCRE2 compiles the tree's form (pcre2_form.h),
// so \w, \d, \s, the word assertions and the POSIX classes mean what they
// mean for the linear engine; PCRE2's error positions are mapped back to
// the pattern as written. Compiled in UTF mode, "$" only at the very end, a line feed as the
// only newline, groups nested at most 250 deep, and \C refused. Each search
// for the next match is bounded by 1,000,000 steps over all the start
// positions it tries (a step: a new start position, or a resumption after
// a backtrack), and by the engine's own match limit of as many at any one
// position; a search that hits either (or fails any other way) makes the
// whole text "[REDACTED]". The engine's depth limit is its default, above
// the step limit, and its heap limit is sized so that a search within the
// step limit never runs out of it. No JIT: its step count would not be the
// same limit.
//
// Immutable once compiled; any number of threads may search with one
// expression at once. Each thread keeps one match-data block for all its
// searches and gives back one that grew large: the block belongs to the
// thread, not to an expression.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/pattern/replacement.h"

namespace vorlisk {

inline constexpr uint32_t kBacktrackMatchLimit = 1'000'000;
inline constexpr uint32_t kBacktrackNestLimit = 250;

class BacktrackingExpression final : public GroupNames {
 public:
  // The expression, or the error text: "Parsing error at position {}: {}"
  // for a pattern the engine refuses (the position in `pattern`), "Error
  // compiling regex: {}" when the engine cannot be set up, or the text of a
  // refused construct.
  static std::variant<BacktrackingExpression, std::string> compile(std::string_view pattern);

  BacktrackingExpression(BacktrackingExpression&&) noexcept;
  BacktrackingExpression& operator=(BacktrackingExpression&&) noexcept;
  ~BacktrackingExpression();

  // Every match replaced; nothing when there is no match; "[REDACTED]"
  // when a search fails.
  std::optional<std::string> replace_all(std::string_view text, std::string_view replacement) const;

  // The most memory the expression holds, its program with callouts (built
  // on first need) included.
  size_t memory_bound() const;

  size_t capture_group_count() const override { return capture_count_; }
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override;

 private:
  struct Handles;
  BacktrackingExpression(std::unique_ptr<Handles> handles, uint32_t capture_count);

  std::unique_ptr<Handles> handles_;
  uint32_t capture_count_;
};

}  // namespace vorlisk
