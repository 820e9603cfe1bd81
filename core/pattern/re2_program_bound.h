// How large RE2's program of a value pattern can be, known before RE2
// compiles it.
//
// RE2 refuses a pattern whose program would take more instructions than
// its memory budget holds, and it is the only error RE2 can give on a
// form written from a valid tree (pattern_emit.h). The linear engine
// builds its RE2 programs when a text first needs them, but must report
// that error when the pattern is compiled: it builds at once every form
// whose bound does not rule the error out. The bound follows how RE2
// compiles: every node of the form as RE2 parses it, counted repetitions
// expanded, each range of a class as the UTF-8 byte sequences RE2 splits
// it into (each with the instructions its suffix trie may add), and it
// ignores every merging and simplification that only makes programs
// smaller.
//
// Pure functions; safe on any thread. The walk keeps its own stack, so a
// deep tree does not recurse.
#pragma once

#include <cstddef>

#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

// At least the number of instructions RE2 allocates while compiling
// emit_re2(tree, form), at its peak.
size_t re2_instruction_bound(const PatternTree& tree, Re2Form form);

// The most instructions a program may take within a budget of
// `program_bytes` (RE2's instructions are 8 bytes; the program's own
// header is allowed 4 KiB).
inline constexpr size_t re2_instruction_limit(size_t program_bytes) {
  return program_bytes > 4096 ? (program_bytes - 4096) / 8 : 0;
}

}  // namespace vorlisk::pattern
