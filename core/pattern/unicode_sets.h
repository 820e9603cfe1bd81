// Sets of code points as the value patterns use them: the generated Unicode
// sets (unicode_tables.h); membership and equality; complements, unions,
// intersections and case-folding closures; the code points that later
// Unicode versions assigned; and the lookup of a \p{...} property by name.
// A set is a sorted run list (CodePointRange), disjoint; the functions that
// build one also merge adjacent runs. Pure functions over read-only data;
// safe on any thread.
#pragma once

#include <algorithm>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/pattern/unicode_tables.h"

namespace vorlisk {

using CodePointRange = unicode_tables::Range;

// The runs of generated set number `set` (unicode_tables::kWordSet, ...).
std::span<const CodePointRange> unicode_set(uint16_t set);

// Every code point that `ranges` (sorted, disjoint) leaves out, surrogates
// excepted.
std::vector<CodePointRange> complement(std::span<const CodePointRange> ranges);

// Inline: the Pike VM asks for every character it tests against a class.
inline bool contains(std::span<const CodePointRange> ranges, char32_t cp) {
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                      [](char32_t c, const CodePointRange& range) { return c < range.first; });
  return after != ranges.begin() && cp <= std::prev(after)->last;
}

// Whether two sets hold the same code points: the same runs, as each is
// sorted, disjoint and without adjacent runs.
bool same_set(std::span<const CodePointRange> a, std::span<const CodePointRange> b);

// The code points in either (each sorted, disjoint).
std::vector<CodePointRange> union_of(std::span<const CodePointRange> a,
                                     std::span<const CodePointRange> b);

// Sorts `ranges` (any order, overlapping or not) into a set: sorted,
// disjoint and without adjacent runs.
void normalize(std::vector<CodePointRange>& ranges);

// `ranges` (sorted, disjoint) with every case variant of each member under
// Unicode simple case folding: "k" brings "K" and the Kelvin sign U+212A.
// Works a run at a time, so a large set such as \w folds in microseconds.
std::vector<CodePointRange> case_fold_closure(std::span<const CodePointRange> ranges);

// The generated set that is case_fold_closure(unicode_set(set)): `set`
// itself when folding leaves it unchanged (\w, \d, Han), a set generated
// for the purpose otherwise (Lu, Greek).
uint16_t case_folded_set(uint16_t set);

// The code points in both (each sorted, disjoint).
std::vector<CodePointRange> intersection(std::span<const CodePointRange> a,
                                         std::span<const CodePointRange> b);

// The code points that Unicode versions after `major`.`minor` assigned, by
// the generated tables' account: what an engine whose tables are of that
// version does not know.
std::vector<CodePointRange> assigned_after(unsigned major, unsigned minor);

// A property selected by the text between the braces of \p{...} (or the
// one letter of \pL): a general category, script or "any", "ascii" or
// "assigned" by any of its names, bare ("Greek", "Lu", "Letter") or as
// "gc=...", "sc=...", "script:...", "general_category!=..." ("!=" negates).
// Names match loosely: case, spaces, underscores, hyphens and a leading
// "is" are ignored. A bare name is looked up as a general category first,
// then as a script. Nothing for any other text.
struct UnicodeProperty {
  uint16_t set;
  bool negated;
};
std::optional<UnicodeProperty> find_unicode_property(std::string_view text);

}  // namespace vorlisk
