// Reading a bracket class ("[a-z\d]", "[^[:alpha:]\p{Greek}]") of a value
// pattern into a kClass node, by the rules of either dialect
// (pattern_parser.h). Internal to the pattern parser; pure, safe on any
// thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/pattern/pattern_parser.h"
#include "core/pattern/pattern_source.h"
#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

struct ClassRead {
  NodePtr node;  // null when the class is at fault
  // Linear dialect: the first fault. Backtracking dialect: the bytes of a
  // class PCRE2 is left to read (or reject) itself, with no text.
  std::optional<Fault> fault;
  size_t end = 0;  // where the class ends
};

// The class whose "[" is at `pos`. In the backtracking dialect a refused
// construct is read as plain characters, as the engines would, and the
// first refusal is kept in `refusal`.
ClassRead read_class(const PatternSource& source, size_t pos, const Flags& flags, PatternDialect dialect,
                     std::optional<std::string>& refusal);

}  // namespace vorlisk::pattern
