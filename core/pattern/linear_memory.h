// How much memory a linear expression (linear_engine.h) may hold, known
// from its syntax tree before any of its programs is built.
//
// An expression holds its tree, and builds on first need the full RE2
// form's text, two RE2 objects (the ASCII and the full form) and the Pike
// VM's program. Each RE2 object holds its parsed form, a forward and a
// reverse program, a one-pass table and three lazily built automata
// (DFAs), all within the memory budget it was built with: two thirds for
// the forward program with its one-pass table and two automata, one third
// for the reverse program and its automaton. Nothing is kept per thread:
// the automata are shared by every thread that searches, and a search's
// own state (a Pike VM's thread lists, RE2's NFA or backtracker) is freed
// when the search ends.
//
// A budget can be confined to what a form's program needs (its size bound,
// re2_program_bound.h) plus a modest cache for its automata, rather than
// the default budget (kLinearProgramLimit and half as much again), which
// lets every automaton grow to megabytes. Matches are the same either way;
// an automaton whose cache fills is reset, and RE2 searches without it
// when that happens too often.
//
// The bounds count every allocation with the allocator's overhead, and
// are meant as upper bounds, not estimates: where a size is not known
// exactly (how far RE2's count of its automata's states falls short of the
// allocator's, how RE2 parses a form, how many entries the Pike VM's lists
// take) they allow a wide margin over what was found. The tests hold them
// to the heap compiled expressions really take after heavy searching from
// several threads, and the Pike VM's program to its count on random
// patterns.
//
// Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

// What bounding an expression's memory needs to know of its tree, taken in
// one walk (with a stack of its own: a deep tree does not recurse).
struct TreeMeasure {
  size_t nodes = 0;
  size_t ranges = 0;      // the code-point ranges of every class's set
  size_t name_bytes = 0;  // the names of the groups
  size_t tree_bytes = 0;  // what the tree's own allocations take
  // At least the instructions of the Pike VM's program before it is
  // flattened into lists.
  size_t pike_instructions = 0;
};

TreeMeasure measure_tree(const PatternTree& tree);

// The budget (RE2's max_mem) that confines an RE2 object of a form whose
// program takes at most `instructions`: both of its programs fit, and each
// automaton has a cache of at least 64 KiB and 24 bytes per instruction,
// which on log lines searches as fast as the default budget.
int64_t confined_re2_budget(size_t instructions);

// The most an RE2 object of a form of the measured tree holds when built
// with `budget`, whatever it searches and however many threads search it.
size_t re2_memory_bound(const TreeMeasure& measure, int64_t budget);

// The most the text of an RE2 form of the measured tree takes.
size_t form_text_bound(const TreeMeasure& measure);

// The most the Pike VM's program of the measured tree takes.
size_t pike_memory_bound(const TreeMeasure& measure);

}  // namespace vorlisk::pattern
