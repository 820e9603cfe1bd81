// Constructs that a value pattern may not use although an engine compiles
// them, found by a scan that follows the pattern's escapes, quoting,
// character classes, groups, comments and extended mode:
//
//   \C            matches one byte, so a replacement could cut a UTF-8
//                 character in half and put invalid text into a line;
//   && -- ~~      set operations inside a character class, and a nested
//   [...]         class: both engines read them as plain characters, so
//                 the pattern would silently match something else than the
//                 set it spells;
//   deep groups   groups nested deeper than kPatternNestLimit (the
//                 linear-time engine has no limit of its own).
//
// Run on patterns the engine has accepted, so the scan may rely on
// balanced syntax; it never fails on any input all the same.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorlisk {

inline constexpr size_t kPatternNestLimit = 250;

// The error text for the first refused construct, or nothing.
std::optional<std::string> find_refused_construct(std::string_view pattern);

}  // namespace vorlisk
