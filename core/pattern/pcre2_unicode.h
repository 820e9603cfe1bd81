// What PCRE2's own Unicode tables lack: the backtracking engine writes
// these code points out wherever a property of PCRE2's would miss them.
//
// Thread safety: computed once, on first use (a function-local static),
// then only read.
#pragma once

#include <span>

#include "core/pattern/unicode_sets.h"

namespace vorlisk {

// The code points assigned by later Unicode versions than the installed
// PCRE2's tables, sorted and disjoint.
std::span<const CodePointRange> engine_unknown();

}  // namespace vorlisk
