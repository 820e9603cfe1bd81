#include "core/pattern/replacement.h"

namespace vorlisk {
namespace {

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The group number a name made only of digits stands for; nothing when the
// name has another character or the number is beyond every group.
std::optional<uint32_t> group_number(std::string_view name, size_t group_count, bool& all_digits) {
  all_digits = !name.empty();
  uint64_t number = 0;
  for (char c : name) {
    if (c < '0' || c > '9') {
      all_digits = false;
      return std::nullopt;
    }
    if (number <= group_count) number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!all_digits || number > group_count) return std::nullopt;
  return static_cast<uint32_t>(number);
}

}  // namespace

ReplacementTemplate::ReplacementTemplate(std::string_view replacement, const GroupNames& groups) {
  size_t literal_start = 0;
  size_t i = 0;
  while ((i = replacement.find('$', i)) != std::string_view::npos) {
    const char next = i + 1 < replacement.size() ? replacement[i + 1] : '\0';
    if (next == '$') {  // the literal run takes the first "$", the second is dropped
      pieces_.push_back(Piece{replacement.substr(literal_start, i + 1 - literal_start)});
      i += 2;
      literal_start = i;
      continue;
    }
    std::string_view name;
    size_t end = 0;
    if (next == '{') {
      const size_t close = replacement.find('}', i + 2);
      if (close == std::string_view::npos) {
        ++i;  // no closing brace: the "$" is literal
        continue;
      }
      name = replacement.substr(i + 2, close - (i + 2));
      end = close + 1;
    } else {
      size_t j = i + 1;
      while (j < replacement.size() && is_name_char(replacement[j])) ++j;
      if (j == i + 1) {
        ++i;  // nothing that names a group: the "$" is literal
        continue;
      }
      name = replacement.substr(i + 1, j - (i + 1));
      end = j;
    }
    pieces_.push_back(Piece{replacement.substr(literal_start, i - literal_start)});
    add_reference(name, groups);
    i = end;
    literal_start = end;
  }
  if (literal_start < replacement.size()) {
    pieces_.push_back(Piece{replacement.substr(literal_start)});
  }
}

void ReplacementTemplate::add_reference(std::string_view name, const GroupNames& groups) {
  Piece& piece = pieces_.back();
  piece.first_group = static_cast<uint32_t>(numbers_.size());
  bool all_digits = false;
  if (std::optional<uint32_t> number = group_number(name, groups.capture_group_count(), all_digits)) {
    numbers_.push_back(*number);
  } else if (!all_digits && !name.empty()) {
    groups.numbers_of(name, numbers_);
  }
  piece.group_count = static_cast<uint32_t>(numbers_.size() - piece.first_group);
}

}  // namespace vorlisk
