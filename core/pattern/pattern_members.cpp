#include "core/pattern/pattern_members.h"

#include <algorithm>

namespace vorlisk::pattern {
namespace {

constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kLastSurrogate = 0xDFFF;

struct PosixClass {
  std::string_view name;
  size_t count;
  CodePointRange ranges[4];
};

// The POSIX classes are ASCII-only, whatever the engine's Unicode mode.
constexpr PosixClass kPosixClasses[] = {
    {"alnum", 3, {{'0', '9'}, {'A', 'Z'}, {'a', 'z'}}},
    {"alpha", 2, {{'A', 'Z'}, {'a', 'z'}}},
    {"ascii", 1, {{0x00, 0x7F}}},
    {"blank", 2, {{'\t', '\t'}, {' ', ' '}}},
    {"cntrl", 2, {{0x00, 0x1F}, {0x7F, 0x7F}}},
    {"digit", 1, {{'0', '9'}}},
    {"graph", 1, {{'!', '~'}}},
    {"lower", 1, {{'a', 'z'}}},
    {"print", 1, {{' ', '~'}}},
    {"punct", 4, {{'!', '/'}, {':', '@'}, {'[', '`'}, {'{', '~'}}},
    {"space", 2, {{'\t', '\r'}, {' ', ' '}}},
    {"upper", 1, {{'A', 'Z'}}},
    {"word", 4, {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}}},
    {"xdigit", 3, {{'0', '9'}, {'A', 'F'}, {'a', 'f'}}},
};

uint16_t any_set() {
  static const uint16_t set = find_unicode_property("any")->set;
  return set;
}

}  // namespace

uint16_t perl_class_set(char letter) {
  switch (letter) {
    case 'd':
    case 'D':
      return unicode_tables::kDigitSet;
    case 's':
    case 'S':
      return unicode_tables::kSpaceSet;
    default:
      return unicode_tables::kWordSet;
  }
}

ClassMember unicode_set_member(uint16_t set, bool negated, bool caseless) {
  const uint16_t folded = caseless ? case_folded_set(set) : set;
  const std::span<const CodePointRange> ranges = unicode_set(folded);
  ClassMember member;
  member.set = negated ? complement(ranges) : CodePointSet(ranges.begin(), ranges.end());
  if (folded == set) {
    member.unicode_set = set;
    member.unicode_set_negated = negated;
  }
  return member;
}

std::optional<std::span<const CodePointRange>> posix_class_ranges(std::string_view name) {
  for (const PosixClass& posix : kPosixClasses) {
    if (posix.name == name) return std::span<const CodePointRange>(posix.ranges, posix.count);
  }
  return std::nullopt;
}

ClassMember ranges_member(std::span<const CodePointRange> ranges, bool negated, bool caseless) {
  ClassMember member;
  member.set = caseless ? case_fold_closure(ranges) : CodePointSet(ranges.begin(), ranges.end());
  if (negated) member.set = complement(member.set);
  return member;
}

ClassMember range_member(char32_t first, char32_t last, bool caseless) {
  CodePointSet ranges;
  if (first < kFirstSurrogate) ranges.push_back({first, std::min<uint32_t>(last, kFirstSurrogate - 1)});
  if (last > kLastSurrogate) ranges.push_back({std::max<uint32_t>(first, kLastSurrogate + 1), last});
  return ranges_member(ranges, false, caseless);
}

ClassMember dot_member(bool dot_all) {
  if (dot_all) return unicode_set_member(any_set(), false, false);
  constexpr CodePointRange line_feed[] = {{'\n', '\n'}};
  return ranges_member(line_feed, true, false);
}

CodePointSet character_set(char32_t cp, bool caseless) {
  if (cp >= kFirstSurrogate && cp <= kLastSurrogate) return {};
  const CodePointRange one[] = {{cp, cp}};
  return caseless ? case_fold_closure(one) : CodePointSet(one, one + 1);
}

}  // namespace vorlisk::pattern
