// Level names: the one table of method names and numbers, the parser used by
// the filter, the canonical upper-case name every rendered line carries and
// its syslog severity.
//
// Case folding here is ASCII only ("A"-"Z" <-> "a"-"z"); it never consults
// the C locale, which Python code may change at any time. All functions are
// pure and thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlisk {

struct LevelRow {
  std::string_view method;     // e.g. "warning"
  uint8_t level;               // e.g. 30
  std::string_view canonical;  // e.g. "WARN"
};

// Display order; the canonical method comes first for each number.
inline constexpr std::array<LevelRow, 10> kLevelTable{{
    {"trace", 5, "DEBUG"},
    {"debug", 10, "DEBUG"},
    {"info", 20, "INFO"},
    {"success", 20, "INFO"},
    {"warning", 30, "WARN"},
    {"warn", 30, "WARN"},
    {"error", 40, "ERROR"},
    {"exception", 40, "ERROR"},
    {"critical", 50, "CRITICAL"},
    {"fatal", 50, "CRITICAL"},
}};

// The row of the method whose name equals `name` ignoring ASCII case, or
// null when no method has that name.
const LevelRow* find_level_row(std::string_view name);

// The numeric level of the method whose name equals `name` ignoring ASCII
// case; nothing when no method has that name.
std::optional<uint8_t> parse_level_name(std::string_view name);

// The group's canonical name ("DEBUG", "INFO", "WARN", "ERROR", "CRITICAL")
// when `level` names a method ignoring ASCII case, else `level` with "a"-"z"
// upper-cased and every other byte kept.
std::string canonical_level_name(std::string_view level);

// Syslog severity of a canonical name, compared exactly: CRITICAL 2, ERROR 3,
// WARN 4, INFO 6, DEBUG 7, anything else 6.
uint8_t severity_for_level(std::string_view canonical);

}  // namespace vorlisk
