// The replace-all loop that both regular-expression engines share.
//
// Matches are taken left to right, each search starting where the previous
// match ended. An empty match where the previous match ended is skipped and
// the search moves on by one whole UTF-8 character; an empty match inside a
// character (the linear engine tests assertions such as \B at every byte)
// is skipped the same way, so a replacement never lands between the bytes
// of one character. Nothing is copied or allocated until the first match
// that is kept.
//
// A Matcher offers:
//   SearchStatus find(size_t from, MatchBounds& found);
//       the leftmost match starting at or after `from`;
//   std::optional<std::string_view> group_text(uint32_t number) const;
//       a group of the last match found, nothing when it did not take
//       part (only asked for when the replacement holds a "$").
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/pattern/replacement.h"

namespace vorlisk {

enum class SearchStatus { kFound, kNotFound, kFailed };

struct MatchBounds {
  size_t start = 0;
  size_t end = 0;
};

// What a text becomes when a search fails (the backtracking engine's limits).
inline constexpr std::string_view kSearchFailedText = "[REDACTED]";

inline bool is_char_boundary(std::string_view text, size_t pos) {
  return pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
}

// The first character boundary after `pos`; one past the end at the end.
inline size_t next_char_boundary(std::string_view text, size_t pos) {
  if (pos >= text.size()) return text.size() + 1;
  ++pos;
  while (!is_char_boundary(text, pos)) ++pos;
  return pos;
}

inline bool has_group_references(std::string_view replacement) {
  return replacement.find('$') != std::string_view::npos;
}

template <class Matcher>
std::optional<std::string> replace_all_matches(std::string_view text, std::string_view replacement,
                                               const GroupNames& groups, Matcher& matcher) {
  const bool expands = has_group_references(replacement);
  std::optional<ReplacementTemplate> expansion;
  std::string out;
  bool changed = false;
  size_t copied = 0;   // text before this offset is already in `out`
  size_t from = 0;     // where the next search starts
  size_t last_end = std::string_view::npos;
  while (from <= text.size()) {
    MatchBounds found;
    switch (matcher.find(from, found)) {
      case SearchStatus::kFailed:
        return std::string(kSearchFailedText);
      case SearchStatus::kNotFound:
        from = text.size() + 1;
        continue;
      case SearchStatus::kFound:
        break;
    }
    if (found.start < from || found.end < found.start || found.end > text.size()) {
      return std::string(kSearchFailedText);  // an engine answer we cannot place
    }
    if (found.start == found.end &&
        (found.start == last_end || !is_char_boundary(text, found.start))) {
      from = next_char_boundary(text, found.start);
      continue;
    }
    if (!changed) {
      out.reserve(text.size());
      changed = true;
    }
    out.append(text.substr(copied, found.start - copied));
    if (expands) {
      if (!expansion) expansion.emplace(replacement, groups);
      expansion->expand(out, [&matcher](uint32_t n) { return matcher.group_text(n); });
    } else {
      out.append(replacement);
    }
    copied = found.end;
    last_end = found.end;
    from = found.end;
  }
  if (!changed) return std::nullopt;
  out.append(text.substr(copied));
  return out;
}

}  // namespace vorlisk
