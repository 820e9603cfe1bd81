// The linear-time engine (RE2) behind most value patterns.
//
// Compiled with UTF-8 text, Perl syntax, leftmost-first matching,
// case-sensitive, "." not matching a line feed, "^" and "$" only at the ends
// of the text, and a memory budget that caps the compiled program at
// kLinearProgramLimit bytes. Errors are returned, never logged.
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

  // The pattern as it was compiled.
  std::string_view pattern_text() const;

  size_t capture_group_count() const override;
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override;

 private:
  explicit LinearExpression(std::unique_ptr<const re2::RE2> re);

  std::unique_ptr<const re2::RE2> re_;
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
