// The linear-time engine (RE2) behind most value patterns.
//
// Patterns are translated first (pattern_translation.h), so that \d, \w,
// \s and the property classes are Unicode's, and compiled with UTF-8 text,
// leftmost-first matching, case-sensitive, "." not matching a line feed,
// "^" and "$" only at the ends of the text, and a memory budget that caps
// the compiled program at kLinearProgramLimit bytes. Errors are returned,
// never logged, and quote the pattern as it was written.
//
// RE2 has no Unicode word boundary. A pattern with one (\b, \B, \<, \>,
// \b{start}, ...) is searched in three forms: on ASCII text, where Unicode
// and ASCII words agree, by RE2 with its own \b and \B (when those are all
// it uses); elsewhere by RE2 with the boundaries left out, which finds
// where a match may start (and clears most texts in one linear scan), and
// from there by PCRE2 with the exact boundaries, under the backtracking
// engine's step limit: a search that hits it makes the text "[REDACTED]".
//
// Immutable once compiled; any number of threads may search with one
// expression at once (RE2 guards its lazily built automata itself).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/render/replacement.h"

namespace re2 {
class RE2;
}

namespace vorlisk {

inline constexpr size_t kLinearProgramLimit = 10 * 1024 * 1024;

class LinearExpression final : public GroupNames {
 public:
  // The expression, or the engine's error text (a program over the limit
  // gives "Compiled regex exceeds size limit of 10485760 bytes.").
  static std::variant<LinearExpression, std::string> compile(std::string_view pattern);

  LinearExpression(LinearExpression&&) noexcept;
  LinearExpression& operator=(LinearExpression&&) noexcept;
  ~LinearExpression();

  // Every match replaced; nothing when there is no match.
  std::optional<std::string> replace_all(std::string_view text, std::string_view replacement) const;

  // The pattern as RE2 compiled it: translated, boundaries left out. It
  // matches wherever the pattern does.
  std::string_view pattern_text() const;

  size_t capture_group_count() const override;
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override;

 private:
  struct Boundaries;  // the exact forms of a pattern with word boundaries

  LinearExpression(std::unique_ptr<const re2::RE2> re, std::unique_ptr<const Boundaries> boundaries);

  std::unique_ptr<const re2::RE2> re_;
  std::unique_ptr<const Boundaries> boundaries_;  // null without word boundaries
};

// Several linear-engine patterns searched as one: a single scan tells
// whether any of them matches anywhere in a text. Compiled with the same
// options and memory budget as each expression. Immutable once compiled;
// any number of threads may search with it at once.
class LinearSet {
 public:
  // Nothing when the combined program does not fit the budget.
  static std::optional<LinearSet> compile(std::span<const std::string_view> patterns);

  LinearSet(LinearSet&&) noexcept;
  LinearSet& operator=(LinearSet&&) noexcept;
  ~LinearSet();

  // False only when no pattern matches anywhere in `text`; true also when
  // the search could not finish.
  bool may_match(std::string_view text) const;

 private:
  struct Handle;
  explicit LinearSet(std::unique_ptr<Handle> handle);

  std::unique_ptr<Handle> handle_;
};

}  // namespace vorlisk
