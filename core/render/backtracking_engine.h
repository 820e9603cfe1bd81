// The backtracking engine (PCRE2), for value patterns that need look-around
// or backreferences and were allowed to backtrack.
//
// Compiled in UTF mode with Unicode properties for \w, \d and \b, "$" only
// at the very end, a line feed as the only newline, groups nested at most
// 250 deep, and \C refused. Every search is bounded: 1,000,000 backtracking
// steps, a backtracking depth of kBacktrackDepthLimit and
// kBacktrackHeapLimitKiB of frames; a search that hits a limit (or fails
// any other way) makes the whole text "[REDACTED]". No JIT: its step count
// would not be the same limit.
//
// Immutable once compiled; any number of threads may search with one
// expression at once. Each thread keeps one match-data block for all its
// searches and gives back one that grew large.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/render/replacement.h"

namespace vorlisk {

inline constexpr uint32_t kBacktrackMatchLimit = 1'000'000;
inline constexpr uint32_t kBacktrackDepthLimit = 250'000;
inline constexpr uint32_t kBacktrackHeapLimitKiB = 32 * 1024;
inline constexpr uint32_t kBacktrackNestLimit = 250;

class BacktrackingExpression final : public GroupNames {
 public:
  // The expression, or the error text: "Parsing error at position {}: {}"
  // for a pattern the engine refuses, "Error compiling regex: {}" when the
  // engine cannot be set up.
  static std::variant<BacktrackingExpression, std::string> compile(std::string_view pattern);

  BacktrackingExpression(BacktrackingExpression&&) noexcept;
  BacktrackingExpression& operator=(BacktrackingExpression&&) noexcept;
  ~BacktrackingExpression();

  // Every match replaced; nothing when there is no match; "[REDACTED]"
  // when a search fails.
  std::optional<std::string> replace_all(std::string_view text, std::string_view replacement) const;

  size_t capture_group_count() const override { return capture_count_; }
  void numbers_of(std::string_view name, std::vector<uint32_t>& numbers) const override;

 private:
  struct Handles;
  BacktrackingExpression(std::unique_ptr<Handles> handles, uint32_t capture_count);

  std::unique_ptr<Handles> handles_;
  uint32_t capture_count_;
};

}  // namespace vorlisk
