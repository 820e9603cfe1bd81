// The Unicode sets behind the value patterns' classes, generated at build
// time from the Unicode Character Database (gen_unicode_tables.py): the
// Perl classes \d, \s and \w, every general category and script, and the
// names that select them. Read only, shared by every thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlisk::unicode_tables {

// An inclusive run of code points. The runs of one set are sorted and
// disjoint, and never include a surrogate (no UTF-8 text holds one).
struct Range {
  uint32_t first;
  uint32_t last;
};

// The runs of one set: kRanges[begin] up to kRanges[begin + count - 1],
// and the name PCRE2 gives the set ("Lu", "L&", "Greek", "Any"), if any.
struct SetSpan {
  uint32_t begin;
  uint32_t count;
  const char* engine_name;
};

// The Unicode version that assigned the code points of a run. Sorted.
struct AgedRange {
  uint32_t first;
  uint32_t last;
  uint8_t major;
  uint8_t minor;
};

// The first sets, by number.
inline constexpr uint16_t kWordSet = 0;   // \w
inline constexpr uint16_t kDigitSet = 1;  // \d
inline constexpr uint16_t kSpaceSet = 2;  // \s

// The property a name belongs to. The names "any", "ascii" and "assigned"
// count as general categories.
inline constexpr uint8_t kGeneralCategory = 0;
inline constexpr uint8_t kScript = 1;

// One name of a category or script in loose form (lower case, no spaces,
// underscores or hyphens). Sorted by name, then property.
struct Name {
  const char* name;
  uint8_t property;
  uint16_t set;
};

// One name of the properties themselves ("gc", "generalcategory", "sc",
// "script"), loose and sorted.
struct PropertyName {
  const char* name;
  uint8_t property;
};

extern const Range kRanges[];
extern const SetSpan kSets[];
extern const size_t kSetCount;
extern const Name kNames[];
extern const size_t kNameCount;
extern const PropertyName kPropertyNames[];
extern const size_t kPropertyNameCount;
extern const AgedRange kAges[];
extern const size_t kAgeCount;

}  // namespace vorlisk::unicode_tables
