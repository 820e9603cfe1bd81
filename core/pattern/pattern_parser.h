// Reading a value pattern into its syntax tree (pattern_tree.h), once, for
// every engine.
//
// Patterns are written in one syntax, whichever engine runs them, with
// Unicode meanings throughout: \d is every decimal digit (Nd), \s every
// White_Space character, \w every Alphabetic character, mark, decimal
// digit, connector punctuation and join control, and every word assertion
// tests that \w. Besides RE2's own syntax the linear dialect reads:
//
//   \p{..} \P{..}                   any name or alias of a general category
//                                   or script, loosely matched, bare or as
//                                   "gc=", "sc=", "script=", "!=" ...
//   [[:alpha:]] and the other       their ASCII members
//   POSIX classes
//   \u0041 \u{41} \U0001F600        a code point
//   \v                              the vertical tab U+000B
//   \< \> \b{start} \b{end}         word start and end; \b{start-half} and
//   \b{start-half} \b{end-half}     \b{end-half} test one side only
//   (?<name>...)                    a named group, as (?P<name>...)
//   (?x), (?x:...)                  white space (any White_Space character)
//                                   and "#" comments are ignored, also in
//                                   classes
//   x{ 2 , 3 }, x{,3}               x{2,3}, x{0,3}
//   a**, a*+, a{2}?+                a repetition of a repetition
//
// Flags are applied while reading: under (?i) each literal becomes the set
// of its case variants, and each class member is folded before it is
// negated, so (?i)\P{Lu} is everything but the letters with an upper or a
// lower case, and (?i)[^\P{Lu}] is those letters.
//
// Some constructs are refused although an engine could compile them:
//
//   \C            matches one byte, so a replacement could cut a UTF-8
//                 character in half and put invalid text into a line;
//   && -- ~~      set operations inside a class, and a nested class: an
//   [...]         engine would read them as plain characters, so the
//                 pattern would silently match something else than the
//                 set it spells;
//   \b{other}     a word-boundary name other than the four above;
//   [\w-z]        a range with a class at one end, whose "-" an engine
//                 would read as itself;
//   flag R        CRLF mode, which PCRE2 reads as (?R), a recursion;
//   deep groups   groups (and repetitions of repetitions, each written as a
//                 group) nested deeper than kNestLimit.
//
// Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

inline constexpr size_t kNestLimit = 250;

enum class PatternDialect {
  // RE2's syntax with the additions above. A pattern RE2 would reject
  // fails with RE2's own message, quoting the pattern as RE2 quotes its
  // own ("missing ): (", "invalid escape sequence: \1", "invalid perl
  // operator: (?<", "invalid repetition size: {2,1}", ...), and so do
  // RE2's limits: repetition counts above 1000, also when nested counts
  // multiply past 1000. A refused construct fails with its own message.
  // The first fault in pattern order is the one reported.
  kLinear,
  // PCRE2's syntax with the same additions, for the backtracking engine.
  // Look-around, atomic and branch-reset groups, conditionals and (*alpha:
  // groups become kForeignGroup nodes; backreferences, subroutine calls,
  // callouts, verbs, \K, \G, \Z, \R, \X, \h, \N and the flags J and n
  // become kForeign nodes. So does the text of anything unreadable (a
  // syntax error, an escape, property or POSIX class this syntax does not
  // know, a count above PCRE2's limit, invalid UTF-8), byte for byte, so
  // that PCRE2 judges it and reports its error where it stands in the
  // pattern. Never fails; the first refused construct is returned beside
  // the tree, to be reported only when PCRE2 accepts the pattern.
  kBacktracking,
};

// The tree of a pattern in the linear dialect, or the error text.
std::variant<PatternTree, std::string> parse_linear_pattern(std::string_view pattern);

struct BacktrackingParse {
  PatternTree tree;
  std::optional<std::string> refusal;
};

// The tree of a pattern in the backtracking dialect.
BacktrackingParse parse_backtracking_pattern(std::string_view pattern);

}  // namespace vorlisk::pattern
