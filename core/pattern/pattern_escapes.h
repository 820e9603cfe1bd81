// Reading one backslash escape of a value pattern, outside a class or
// inside one, by the rules of either dialect (pattern_parser.h): RE2's for
// the linear dialect, PCRE2's for the backtracking one, each with the
// additions of the pattern syntax (\u escapes, \v as the vertical tab, the
// word assertions, loose property names). Internal to the pattern parser;
// pure functions, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/pattern/pattern_parser.h"
#include "core/pattern/pattern_source.h"
#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

enum class EscapePlace { kOutsideClass, kInClass };

struct Escape {
  enum class Kind : uint8_t {
    kCharacter,  // `code_point` (a surrogate, which \x{D800} may give, matches nothing)
    kSet,        // `member`: \d, \p{Greek}, ... folded and negated as written
    kAssertion,  // `assertion` (outside a class only)
    kForeign,    // the escape's own bytes, for PCRE2 (backtracking dialect)
    kIgnored,    // nothing: a stray \E (backtracking dialect)
    kFault,      // `fault`: a syntax error or a refusal
  };
  Kind kind = Kind::kFault;
  size_t end = 0;  // where the escape ends in the pattern
  char32_t code_point = 0;
  ClassMember member;
  Assertion assertion = Assertion::kTextStart;
  bool backreference = false;  // kForeign: one that matches a group's text again
  Fault fault;
};

// The escape whose backslash is at `pos`. `captures_before` is the number
// of groups opened before it (PCRE2 reads \10 as a backreference only when
// there are that many). \Q outside a class is the caller's to read.
Escape read_escape(const PatternSource& source, size_t pos, EscapePlace place, const Flags& flags,
                   PatternDialect dialect, uint32_t captures_before);

}  // namespace vorlisk::pattern
