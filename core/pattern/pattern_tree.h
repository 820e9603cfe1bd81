// The syntax tree of a value pattern.
//
// The parser (pattern_parser.h) reads a pattern once into a PatternTree,
// and every engine's form is made from that tree, never from the text:
//
//   pattern text --parse--> PatternTree --emit_re2-----> RE2 syntax (exact,
//                                      |                 relaxed, or ASCII)
//                                      +--emit_pcre2---> PCRE2 syntax, with
//                                      |                 a map back to the text
//                                      +--PikeProgram--> our own matcher
//
// A tree carries no flags: the parser has applied them. Under (?i) every
// literal is already the set of its case variants and every set is folded
// before it is negated; (?s) has chosen what "." is, (?m) which anchor "^"
// and "$" are, (?U) the greed of each repetition, and (?x) has dropped
// white space and comments. So one tree means the same to every engine.
//
// A tree is built once, then only read: any number of threads may read it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/pattern/unicode_sets.h"

namespace vorlisk::pattern {

// A set of code points: sorted, disjoint and non-adjacent inclusive runs,
// never holding a surrogate. An empty set matches nothing.
using CodePointSet = std::vector<CodePointRange>;

// The bytes [begin, end) of the pattern text a node was read from.
struct SourceSpan {
  uint32_t begin = 0;
  uint32_t end = 0;
};

// Zero-width tests. Every word test reads the Unicode \w (unicode_tables::
// kWordSet) on both sides; the ends of the text count as not \w.
enum class Assertion : uint8_t {
  kTextStart,        // \A, and "^" without (?m)
  kTextEnd,          // \z, and "$" without (?m)
  kLineStart,        // "^" under (?m): the start, or just after a line feed
  kLineEnd,          // "$" under (?m): the end, or just before a line feed
  kWordBoundary,     // \b: \w on exactly one side
  kNotWordBoundary,  // \B: \w on both sides or on neither
  kWordStart,        // \< and \b{start}: not \w before, \w after
  kWordEnd,          // \> and \b{end}: \w before, not \w after
  kWordStartHalf,    // \b{start-half}: not \w before
  kWordEndHalf,      // \b{end-half}: not \w after
};

inline bool is_word_assertion(Assertion assertion) {
  return assertion >= Assertion::kWordBoundary;
}

// RE2 has \b and \B of its own, which read the ASCII \w: on ASCII text
// they are exact. It has none of the other word assertions.
inline bool re2_has_ascii_form(Assertion assertion) {
  return !is_word_assertion(assertion) || assertion == Assertion::kWordBoundary ||
         assertion == Assertion::kNotWordBoundary;
}

inline constexpr uint32_t kUnbounded = UINT32_MAX;
inline constexpr uint16_t kNoUnicodeSet = UINT16_MAX;

// One member of a class as it was written ("\w", "\p{Greek}", "a-z", ...),
// kept so that an engine with property classes of its own (PCRE2) can
// write it compactly. `set` holds its code points, folded under (?i) and
// then negated where it was written negated ("\W", "\P{..}", "[:^alpha:]").
struct ClassMember {
  CodePointSet set;
  // Set when `set` is exactly generated set number `unicode_set` (or its
  // complement, with `unicode_set_negated`): the member may be written by
  // the engine's own name for that set. kNoUnicodeSet otherwise, e.g. for
  // a category that (?i) folding changed.
  uint16_t unicode_set = kNoUnicodeSet;
  bool unicode_set_negated = false;
};

struct Node;

// Deletes a node and everything under it with a stack of its own rather
// than a recursion down the tree. A deleter must not throw: when that stack
// cannot grow, the nodes not yet taken are deleted with their parent, by
// recursion, which the parser's nesting limit keeps to a few hundred levels.
struct NodeDeleter {
  NodeDeleter() = default;
  NodeDeleter(std::default_delete<Node>) {}  // NOLINT: NodePtr from std::make_unique<Node>
  void operator()(Node* node) const;
};
using NodePtr = std::unique_ptr<Node, NodeDeleter>;

struct Node {
  enum class Kind : uint8_t {
    kEmpty,        // matches the empty text: "", "(?:)", an empty branch
    kLiteral,      // the code point `code_point`, case-sensitively
    kClass,        // one code point of `set`: a bracket class, \w, \pL, ".",
                   // or a literal under (?i)
    kAssertion,    // `assertion`
    kConcat,       // `children` one after another (two or more)
    kAlternation,  // one of `children` (two or more), earlier ones preferred
    kRepetition,   // children[0], from `min` to `max` times (max may be
                   // kUnbounded), greedy or lazy; children[0] may itself be
                   // a repetition ("a**" is accepted)
    kGroup,        // children[0], captured as group `capture_index` when
                   // that is above zero ("(?:..)" and flag groups are 0)
    // The constructs below belong to the backtracking engine's syntax only
    // (pattern_parser.h, PatternDialect::kBacktracking); a linear parse
    // never makes them. They are written for PCRE2 as `text` says.
    kForeignGroup,  // children[0] behind the opening `text` ("(?=",
                    // "(?<!", "(?>", "(?|", "(?(1)", "(*pla:", "(?J:", ...)
                    // and before a ")" (none when `unterminated`)
    kForeign,       // `text` as it stands: a backreference, a callout, a
                    // verb, "\K", a flag setting such as "(?J)", or the
                    // bytes of a construct the parser left for PCRE2 to
                    // judge (an unknown escape, a quantifier with nothing
                    // to repeat, a malformed name, invalid UTF-8, ...)
  };

  Kind kind = Kind::kEmpty;
  SourceSpan source;

  char32_t code_point = 0;  // kLiteral

  // kClass: the code points matched; `members` as written, and whether the
  // bracket was negated ("[^..]"): `set` is the union of the members'
  // sets, complemented when `negated`. Outside a bracket (\w, ".", a
  // literal under (?i)) there is one member and `negated` is false.
  CodePointSet set;
  std::vector<ClassMember> members;
  bool negated = false;

  Assertion assertion = Assertion::kTextStart;  // kAssertion

  // kConcat and kAlternation: two or more; kRepetition, kGroup and
  // kForeignGroup: exactly one.
  std::vector<NodePtr> children;

  uint32_t min = 0;          // kRepetition
  uint32_t max = 0;          // kRepetition, or kUnbounded
  bool greedy = true;        // kRepetition: false for "*?", "+?", ...

  uint32_t capture_index = 0;  // kGroup
  std::string name;            // kGroup: the capture's name, empty if none

  std::string text;           // kForeignGroup: the opening; kForeign: all
  bool unterminated = false;  // kGroup, kForeignGroup: no ")" was found
  bool caseless = false;      // kForeign: a backreference under (?i)
};

inline void NodeDeleter::operator()(Node* node) const {
  std::vector<Node*> pending;
  for (Node* next = node; next != nullptr;) {
    for (NodePtr& child : next->children) {
      if (child == nullptr) continue;
      try {
        pending.push_back(child.get());
      } catch (...) {  // out of memory
        break;
      }
      child.release();
    }
    delete next;  // with only the children the stack could not take
    if (pending.empty()) break;
    next = pending.back();
    pending.pop_back();
  }
}

struct PatternTree {
  NodePtr root;
  // Capture groups are numbered 1, 2, ... by their opening parenthesis.
  uint32_t capture_count = 0;
  // capture_names[n] is the name of group n; "" when it has none.
  // capture_names[0] (the whole match) is always "".
  std::vector<std::string> capture_names{""};

  // Appends, in ascending order, the numbers of the groups called `name`.
  // The "" of an unnamed group means it has no name, so "" names no group.
  void numbers_named(std::string_view name, std::vector<uint32_t>& numbers) const {
    if (name.empty()) return;
    for (size_t number = 1; number < capture_names.size(); ++number) {
      if (capture_names[number] == name) numbers.push_back(static_cast<uint32_t>(number));
    }
  }

  // Whether any word assertion occurs, and whether RE2 has an ASCII form
  // of every one that does (they are all \b or \B).
  bool has_word_assertion = false;
  bool word_assertions_re2_ascii = true;
};

}  // namespace vorlisk::pattern
