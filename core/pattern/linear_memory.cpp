#include "core/pattern/linear_memory.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/pattern/pike_program.h"
#include "core/pattern/size_bounds.h"

namespace vorlisk::pattern {
namespace {

size_t string_bytes(const std::string& text) { return allocation_bytes(text.capacity() + 1); }

template <class T>
size_t vector_bytes(const std::vector<T>& items) {
  return items.capacity() == 0 ? 0 : allocation_bytes(multiply_bytes(items.capacity(), sizeof(T)));
}

// What a node's own allocations take, its children's not counted.
size_t node_bytes(const Node& node) {
  size_t bytes = allocation_bytes(sizeof(Node));
  bytes = add_bytes(bytes, vector_bytes(node.children));
  bytes = add_bytes(bytes, vector_bytes(node.set));
  bytes = add_bytes(bytes, vector_bytes(node.members));
  for (const ClassMember& member : node.members) bytes = add_bytes(bytes, vector_bytes(member.set));
  bytes = add_bytes(bytes, string_bytes(node.name));
  return add_bytes(bytes, string_bytes(node.text));
}

// Instructions our compiler (pike_program.cpp) gives `node` before
// flattening, its children's given: one for each leaf, one alternation for
// each further alternative, two for a group's captures and for a loop, and
// a counted repetition as its copies, each with the alternation that may
// skip it.
size_t pike_instructions(const Node& node, std::span<const size_t> children) {
  size_t sum = 0;
  for (size_t child : children) sum = add_bytes(sum, child);
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kLiteral:
    case Node::Kind::kClass:
    case Node::Kind::kAssertion:
      return 1;
    case Node::Kind::kConcat:
      return sum;
    case Node::Kind::kAlternation:
      return add_bytes(sum, children.size());
    case Node::Kind::kRepetition:
      return expanded_repetition(node, sum);
    case Node::Kind::kGroup:
    case Node::Kind::kForeignGroup:
    case Node::Kind::kForeign:
      break;
  }
  return add_bytes(sum, 2);
}

}  // namespace

TreeMeasure measure_tree(const PatternTree& tree) {
  TreeMeasure measure;
  measure.tree_bytes = vector_bytes(tree.capture_names);
  for (const std::string& name : tree.capture_names) {
    measure.tree_bytes = add_bytes(measure.tree_bytes, string_bytes(name));
  }
  measure.pike_instructions =
      fold_tree(tree, [&measure](const Node& node, std::span<const size_t> children) {
        measure.nodes = add_bytes(measure.nodes, 1);
        measure.ranges = add_bytes(measure.ranges, node.set.size());
        measure.name_bytes = add_bytes(measure.name_bytes, node.name.size());
        measure.tree_bytes = add_bytes(measure.tree_bytes, node_bytes(node));
        return pike_instructions(node, children);
      });
  return measure;
}

// RE2's program takes 8 bytes an instruction and its list heads 2 more;
// the program's own object is allowed 4 KiB. RE2 gives a third of the
// budget to the reverse program, so that third holds a whole program and
// an automaton's cache; the forward program and its two automata have the
// other two thirds.
int64_t confined_re2_budget(size_t instructions) {
  constexpr size_t kProgramObject = 4096;
  constexpr size_t kBytesPerInstruction = 10;
  constexpr size_t kCacheFloor = 64 * 1024;
  constexpr size_t kCachePerInstruction = 24;
  const size_t third = add_bytes(
      add_bytes(kProgramObject, multiply_bytes(instructions, kBytesPerInstruction + kCachePerInstruction)),
      kCacheFloor);
  return static_cast<int64_t>(std::min(multiply_bytes(third, 3), size_t{INT64_MAX / 2}));
}

size_t re2_memory_bound(const TreeMeasure& measure, int64_t budget) {
  // The programs, the one-pass table and the automata stay within the
  // budget as RE2 counts it; RE2 counts a cached state a little short of
  // what the allocator and the state set take for it, under a tenth in
  // practice: half the budget again is allowed.
  const size_t budgeted = multiply_bytes(static_cast<size_t>(std::max<int64_t>(budget, 0)), 3) / 2;
  // The RE2 object, its programs' and automata's own objects, byte maps,
  // prefix tables and the state sets' buckets.
  constexpr size_t kFixed = 64 * 1024;
  // RE2 keeps the form's text and its parse: a node or two for each of
  // ours (alternations factored; 256 bytes allowed where about 60 are
  // taken), a class's ranges at 8 bytes each (32 allowed), capture names.
  size_t parsed = add_bytes(multiply_bytes(form_text_bound(measure), 2), multiply_bytes(measure.nodes, 256));
  parsed = add_bytes(parsed, multiply_bytes(measure.ranges, 32));
  parsed = add_bytes(parsed, multiply_bytes(measure.name_bytes, 2));
  return add_bytes(add_bytes(budgeted, kFixed), parsed);
}

// The longest each node is written (pattern_emit.cpp): "\x{10FFFF}" for a
// code point, "(?P<" name ")" for a group, "{4294967295,4294967295}?" for a
// repetition, "(?:" ")" around any node, and a class "[^..]" with
// "\x{..}-\x{..}" for each range.
size_t form_text_bound(const TreeMeasure& measure) {
  return add_bytes(add_bytes(multiply_bytes(measure.nodes, 64), multiply_bytes(measure.ranges, 21)),
                   measure.name_bytes);
}

// The program is flattened into lists, each instruction in one list but for
// the jumps that join them: in practice never more entries than the
// instructions and the two of the frame; twice that is allowed, and vectors
// grown twice as large. A class for each class node, literal or merged
// alternation, holding at most each range twice over.
size_t pike_memory_bound(const TreeMeasure& measure) {
  const size_t entries = multiply_bytes(add_bytes(measure.pike_instructions, 4), 2);
  size_t bytes = allocation_bytes(sizeof(PikeProgram));
  bytes = add_bytes(bytes, allocation_bytes(multiply_bytes(entries, 2 * sizeof(PikeInstruction))));
  bytes = add_bytes(bytes, allocation_bytes(multiply_bytes(measure.nodes, 2 * sizeof(CodePointClass))));
  bytes = add_bytes(bytes, multiply_bytes(measure.nodes, allocation_bytes(0)));
  bytes = add_bytes(bytes, multiply_bytes(add_bytes(multiply_bytes(measure.ranges, 4), measure.nodes),
                                          2 * sizeof(CodePointRange)));
  // The prefix every match starts with: a code point for each literal.
  return add_bytes(bytes, allocation_bytes(multiply_bytes(measure.nodes, 2 * sizeof(char32_t))));
}

}  // namespace vorlisk::pattern
