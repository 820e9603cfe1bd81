#include "core/value/levels.h"

namespace vorlisk {
namespace {

constexpr size_t kLongestMethodName = 15;  // longer names are rejected unread

constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower_name) {
  if (text.size() != lower_name.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower_name[i]) return false;
  }
  return true;
}

}  // namespace

const LevelRow* find_level_row(std::string_view name) {
  if (name.size() > kLongestMethodName) return nullptr;
  for (const LevelRow& row : kLevelTable) {
    if (equals_ignoring_ascii_case(name, row.method)) return &row;
  }
  return nullptr;
}

std::optional<uint8_t> parse_level_name(std::string_view name) {
  const LevelRow* row = find_level_row(name);
  if (row == nullptr) return std::nullopt;
  return row->level;
}

std::string canonical_level_name(std::string_view level) {
  if (const LevelRow* row = find_level_row(level)) return std::string(row->canonical);
  std::string upper(level);
  for (char& c : upper) c = ascii_upper(c);
  return upper;
}

uint8_t severity_for_level(std::string_view canonical) {
  if (canonical == "CRITICAL") return 2;
  if (canonical == "ERROR") return 3;
  if (canonical == "WARN") return 4;
  if (canonical == "DEBUG") return 7;
  return 6;  // INFO and everything else
}

}  // namespace vorlisk
