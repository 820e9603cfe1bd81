// Value patterns are written in one syntax, whichever engine compiles them,
// with Unicode meanings throughout: \d is every decimal digit (Nd), \s
// every White_Space character, \w every Alphabetic character, mark, decimal
// digit, connector punctuation and join control, and \b, \B, \<, \>,
// \b{start}, \b{end}, \b{start-half} and \b{end-half} test that \w. The
// engines read several constructs differently (RE2's classes and \b are
// ASCII; PCRE2 reads POSIX classes by Unicode properties and \v as a class;
// neither knows (?x) the same way, nor \u escapes, nor most property
// names), so a pattern is translated into each engine's own syntax before
// it is compiled:
//
//   \d \D \w \W \s \S, \p{..} \P{..}   explicit code-point ranges, also
//                                      inside a class; property names
//                                      match loosely, by any alias of a
//                                      general category or script, bare or
//                                      as "gc=", "sc=", "script=", ...
//   [[:alpha:]] and the other POSIX    their ASCII ranges
//   classes
//   \u0041 \u{41} \U0001F600 \x{41}    \x{...}
//   \v                                 the vertical tab U+000B
//   (?<name>...)                       (?P<name>...) for RE2
//   (?x), (?x:...)                     white space (any White_Space
//                                      character) and "#" comments are
//                                      dropped, also inside classes, and
//                                      the flag is removed
//   x{ 2 , 3 }, x{,3}                  x{2,3}, x{0,3}
//   a**, a*+, a{2}?+                   (?:a*)*, (?:a*)+, (?:a{2}?)+: a
//                                      quantifier may follow a quantifier
//   word boundaries                    by dialect, see PatternDialect
//
// Everything else is copied as it stands, so each engine keeps its own
// syntax errors and its own extensions (look-around, backreferences,
// \Q...\E).
//
// Some constructs are refused, as Translation::refusal, although an engine
// would compile them:
//
//   \C            matches one byte, so a replacement could cut a UTF-8
//                 character in half and put invalid text into a line;
//   && -- ~~      set operations inside a character class, and a nested
//   [...]         class: the engines read them as plain characters, so
//                 the pattern would silently match something else than the
//                 set it spells;
//   \b{other}     a word-boundary name other than the four above, which the
//                 engines read as \b and literal text;
//   [\w-z]        a range with a class at one end, whose "-" the engines
//                 read as itself;
//   flag R        CRLF mode, which PCRE2 reads as (?R), a recursion;
//   deep groups   groups nested deeper than kPatternNestLimit (RE2 has no
//                 such limit of its own).
//
// The translation never fails; any input gives some text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/render/unicode_sets.h"

namespace vorlisk {

inline constexpr size_t kPatternNestLimit = 250;

enum class PatternDialect {
  // RE2, with every word-boundary assertion left out: this matches
  // wherever the pattern matches (and maybe elsewhere too), so it tells
  // exactly where a match may start, and is the pattern itself when it
  // has no such assertion.
  kLinear,
  // RE2 with \b and \B as RE2's own ASCII assertions and every set cut
  // down to its ASCII members: exact on ASCII text (where the Unicode \w
  // and the ASCII one agree), and quick to compile. Only of use when the
  // pattern has no other boundary assertion (Translation::ascii_exact).
  kLinearAscii,
  // PCRE2, every boundary assertion written as look-around over \w. Sets
  // are written as PCRE2's own properties where it has them (its compiled
  // patterns are limited to 64 KiB; a class of explicit ranges as large as
  // \w takes 5 KiB, and is slow to test), plus the code points its tables
  // do not know, given as `engine_unknown`; as explicit ranges inside a
  // class when negated, and, for categories and scripts, under (?i) (PCRE2
  // does not fold the case of a property).
  kBacktracking,
};

class Translation {
 public:
  std::string text;
  // Whether the pattern holds a word-boundary assertion, and whether they
  // are all \b or \B.
  bool has_boundary = false;
  bool ascii_exact = true;
  // The error text of the first refused construct, to be reported when
  // the engine accepts `text`.
  std::optional<std::string> refusal;

  // Where, in the pattern, the text at `offset` of `text` came from (the
  // start of the construct when it was rewritten).
  size_t source_offset(size_t offset) const;

  // The part of the pattern that the first occurrence of `fragment`
  // starting a construct of `text` came from; nothing when no construct
  // starts with it. Engines quote such fragments in their error texts.
  std::optional<std::string_view> source_fragment(std::string_view pattern,
                                                  std::string_view fragment) const;

  // One piece of `text` and the span of the pattern it came from; `copied`
  // when the piece is that span unchanged. Sorted by `offset`.
  struct Piece {
    size_t offset;
    size_t source_begin;
    size_t source_end;
    bool copied;
  };
  std::vector<Piece> pieces;
  size_t source_size = 0;  // the length of the pattern
};

Translation translate_pattern(std::string_view pattern, PatternDialect dialect,
                              std::span<const CodePointRange> engine_unknown = {});

}  // namespace vorlisk
