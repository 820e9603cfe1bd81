// The quantifier of a repetition node (pattern_tree.h) as RE2 and PCRE2
// both read it: "*", "+" and "?" where one of them says the counts,
// "{n}", "{n,}" or "{n,m}" otherwise, and a "?" after it when the
// repetition is lazy. Every form written from the tree quantifies this way
// (pattern_emit.h, pcre2_form.h). A pure function; safe on any thread.
#pragma once

#include <string>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

std::string quantifier_text(const Node& repetition);

}  // namespace vorlisk::pattern
