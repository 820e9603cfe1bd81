// The PCRE2 form of a value pattern: its syntax tree written in PCRE2's own
// syntax, with a map from offsets in that text back to the pattern, so that
// PCRE2's error offsets name the place in the pattern the user wrote.
//
// The form means to PCRE2 (compiled in UTF mode, with no flag of its own)
// what the tree means, whatever PCRE2's defaults and Unicode tables:
//
//   literals        ASCII letters and digits as themselves, other printable
//                   ASCII escaped, everything else as \x{..}
//   classes         PCRE2's own properties for a member that is a whole
//                   generated set PCRE2 has a name for (\w as Alphabetic,
//                   marks, Nd, Pc and Join_Control), plus the code points
//                   its older tables lack; explicit ranges for the rest, and
//                   wherever PCRE2's reading of a property would differ
//                   (a negated property whose set gained code points since
//                   PCRE2's tables, a set holding unassigned code points, a
//                   script PCRE2 does not know); a class that matches
//                   nothing for an empty set
//   \A \z           \A and \z; (?m)'s "^" as (?:\A|(?<=\n)) and "$" as
//                   (?=\n|\z) (PCRE2's own multi-line "^" would miss the
//                   end of a text after its last line feed)
//   word tests      look-around at the \w class on each side
//   repetitions     greed written on each; a repetition of anything but a
//                   single item (another repetition, an assertion, a
//                   sequence) puts it in (?:..) first
//   groups          "(", "(?<name>" or "(?:"; an unterminated one has no ")",
//                   for PCRE2 to report
//   foreign nodes   their text as it stands, a caseless backreference as
//                   (?i:..); no other flag is ever written
//
// A pure function of its arguments; a Pcre2Form is a value.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/pattern/pattern_tree.h"
#include "core/pattern/unicode_sets.h"

namespace vorlisk::pattern {

struct Pcre2Form {
  std::string text;

  // Where in the pattern the byte of `text` at `offset` came from: the same
  // byte for the text of a foreign node, where the node began for anything
  // else, and the end of the pattern at or past the end of `text`.
  size_t source_offset(size_t offset) const;

  // One piece of `text` and the span of the pattern it came from;
  // `copied` when the piece is read byte for byte from that span. Sorted
  // by `offset`.
  struct Piece {
    size_t offset;
    size_t source_begin;
    size_t source_end;
    bool copied;
  };
  std::vector<Piece> pieces;
  size_t source_size = 0;  // the length of the pattern
};

enum class Pcre2Callouts {
  kNone,
  // A callout (?C) where a search starts at each position, and wherever
  // it may resume after a backtrack: before every alternative but the
  // first, right after every repetition, and at the start of a lazily
  // repeated group.
  // So a callout sees every step of a search (a new start position, or a
  // resumption after a backtrack) at a fraction of the cost of a callout
  // before every item.
  kAtChoicePoints,
};

// `engine_unknown`: the code points PCRE2's Unicode tables do not know
// (assigned by later Unicode versions), sorted and disjoint.
Pcre2Form emit_pcre2(const PatternTree& tree, size_t source_size,
                     std::span<const CodePointRange> engine_unknown,
                     Pcre2Callouts callouts = Pcre2Callouts::kNone);

}  // namespace vorlisk::pattern
