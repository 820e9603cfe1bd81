// The Unicode sets behind the value patterns' classes, generated at build
// time from the Unicode Character Database (gen_unicode_tables.py): the
// Perl classes \d, \s and \w, every general category and script, the
// names that select them, and simple case folding. Read only, shared by
// every thread.
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
// the name PCRE2 gives the set ("Lu", "L&", "Greek", "Any"), if any, and
// the number of the set that holds its members with all their case
// variants: itself when it has them all (\w), a set of its own otherwise
// (Lu folded holds every Ll with an upper case too).
struct SetSpan {
  uint32_t begin;
  uint32_t count;
  const char* engine_name;
  uint16_t folded;
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

// Simple case folding, as links within each orbit (the code points that
// fold to one another): every member of a run [first, last] leads to the
// member `offset` away, or, when `offset` is 0, the run is made of pairs
// (first, first + 1), (first + 2, first + 3), ... that lead to each other.
// Following the links from any code point visits its whole orbit. Sorted
// and disjoint; code points in no run have no other case.
struct FoldRun {
  uint32_t first;
  uint32_t last;
  int32_t offset;
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
extern const FoldRun kFoldRuns[];
extern const size_t kFoldRunCount;

}  // namespace vorlisk::unicode_tables
