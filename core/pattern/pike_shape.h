// Our own matcher, step one: a PatternTree in the shape RE2 gives the
// pattern before compiling it (pike_program.h compiles the shape).
//
// RE2 does not compile a pattern as written. Its parser merges adjacent
// literals into strings, factors common leading literals and pieces out of
// alternatives and merges alternatives of single characters into classes;
// its simplifier joins x*x into x+, expands counted repetitions, squashes
// (?:x*)+ into x*, and drops what cannot match; a pattern that opens with
// \A and literal text has that text cut off as a required prefix; a
// leading \A and a trailing \z become anchors of the whole search. Each of
// these changes which instructions the threads of a search meet, and in a
// loop that can match empty, which thread wins: our matcher compiles the
// same shape so that its matches and groups are RE2's.
//
// The shape is made from the tree as RE2 parses the tree's RE2 syntax
// (pattern_emit.h): a non-capturing group written as "(?:..)", x{0,},
// x{1,} and x{0,1} as x*, x+ and x?, other counts as x{n,m}, and a set of
// one character, or of an ASCII letter in both cases, read as a literal.
// (The form writes such a pair as "(?:Q|q)", which RE2 merges into a class
// of the two: it consumes the same characters as the literal and changes
// no thread's rank, so the matches and groups are the same; a seeded test
// holds the VM to RE2 on random patterns read by the parser.)
//
// A shape is made once and only read; copies of a repeated subexpression
// are one shared node.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

struct PikeRegexp;
using PikeRegexpPtr = std::shared_ptr<const PikeRegexp>;

// One node of RE2's regular-expression structure.
struct PikeRegexp {
  enum class Op : uint8_t {
    kNoMatch,        // matches nothing
    kEmptyMatch,     // matches the empty text
    kLiteral,        // the code point runes[0]
    kLiteralString,  // the code points of `runes` in order
    kCharClass,      // one code point of `set`
    kEmptyWidth,     // `assertion`
    kConcat,         // subs in order
    kAlternate,      // one of subs, earlier ones preferred
    kStar,           // subs[0] any number of times
    kPlus,           // subs[0] once or more
    kQuest,          // subs[0] or nothing
    kRepeat,         // subs[0] from `min` to `max` times
    kCapture,        // subs[0] as group `capture`
  };

  Op op = Op::kEmptyMatch;
  // kLiteral, kLiteralString: each (lower-case ASCII) letter also matches
  // its upper case, as a set of the two read as a literal does.
  bool fold_case = false;
  bool lazy = false;  // kStar, kPlus, kQuest, kRepeat
  std::u32string runes;
  std::shared_ptr<const CodePointSet> set;  // kCharClass
  Assertion assertion = Assertion::kTextStart;
  uint32_t min = 0;  // kRepeat
  uint32_t max = 0;  // kRepeat, or kUnbounded
  uint32_t capture = 0;
  std::vector<PikeRegexpPtr> subs;

  PikeRegexp() = default;
  PikeRegexp(const PikeRegexp&) = default;
  PikeRegexp& operator=(const PikeRegexp&) = default;
  // Tears a deep shape down with a stack of its own, not by recursion.
  ~PikeRegexp();
};

struct PikeShape {
  PikeRegexpPtr root;  // what the program is compiled from
  // Text every match starts with, at the start of the text only; the
  // program then runs anchored right after it.
  std::u32string required_prefix;
  bool prefix_fold_case = false;
  bool anchor_start = false;  // every match starts at the start of the text
  bool anchor_end = false;    // every match ends at the end of the text
};

// The shape of `tree`; nothing when the tree holds a construct of the
// backtracking syntax only (kForeign, kForeignGroup) or a node without the
// children its kind needs.
std::optional<PikeShape> shape_of(const PatternTree& tree);

}  // namespace vorlisk::pattern
