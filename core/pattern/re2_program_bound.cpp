#include "core/pattern/re2_program_bound.h"

#include <cstdint>
#include <span>

#include "core/pattern/size_bounds.h"

namespace vorlisk::pattern {
namespace {

// The UTF-8 byte sequences RE2 splits the range [lo, hi] into, as its
// compiler does: 80-10FFFF as three, else the range cut where the length
// of the encoding changes, then where the leading bytes stop agreeing.
// The recursion is a few levels deep whatever the range.
size_t utf8_sequences(char32_t lo, char32_t hi) {
  if (lo > hi) return 0;
  if (lo == 0x80 && hi == 0x10FFFF) return 3;
  for (char32_t max : {char32_t{0x7F}, char32_t{0x7FF}, char32_t{0xFFFF}}) {
    if (lo <= max && max < hi) return utf8_sequences(lo, max) + utf8_sequences(max + 1, hi);
  }
  if (hi < 0x80) return 1;
  for (int i = 1; i < 4; ++i) {
    const char32_t m = (char32_t{1} << (6 * i)) - 1;  // the last i bytes of a sequence
    if ((lo & ~m) != (hi & ~m)) {
      if ((lo & m) != 0) return utf8_sequences(lo, lo | m) + utf8_sequences((lo | m) + 1, hi);
      if ((hi & m) != m) return utf8_sequences(lo, (hi & ~m) - 1) + utf8_sequences(hi & ~m, hi);
    }
  }
  return 1;
}

// Each byte sequence takes at most one instruction per byte (four), and
// joining it to the class's trie at most one copy of a shared instruction
// per byte and one alternation: nine.
constexpr size_t kPerSequence = 9;

size_t class_bound(std::span<const CodePointRange> set, Re2Form form) {
  size_t sequences = 0;
  for (const CodePointRange& range : set) {
    if (form == Re2Form::kAscii) {
      if (range.first > 0x7F) break;
      sequences += 1;
    } else {
      sequences = add_bytes(sequences, utf8_sequences(range.first, range.last));
    }
  }
  // An empty class still counts: RE2 visits it.
  return add_bytes(multiply_bytes(sequences, kPerSequence), 1);
}

// Instructions of `node` itself, its children's given.
size_t node_bound(const Node& node, Re2Form form, std::span<const size_t> children) {
  size_t sum = 0;
  for (size_t child : children) sum = add_bytes(sum, child);
  switch (node.kind) {
    case Node::Kind::kEmpty:
    case Node::Kind::kAssertion:
      return 1;
    case Node::Kind::kLiteral:
      return node.code_point <= 0x7F ? 1 : 4;
    case Node::Kind::kClass:
      return class_bound(node.set, form);
    case Node::Kind::kConcat:
      return sum;
    case Node::Kind::kAlternation:
      return add_bytes(sum, children.size());
    case Node::Kind::kRepetition:
      return children.empty() ? 1 : expanded_repetition(node, children[0]);
    case Node::Kind::kGroup:
      return add_bytes(sum, node.capture_index > 0 ? 2 : 0);
    case Node::Kind::kForeignGroup:
    case Node::Kind::kForeign:
      break;
  }
  // Never in a linear tree; RE2 rejects the form anyway.
  return add_bytes(sum, node.text.size() + 2);
}

}  // namespace

size_t re2_instruction_bound(const PatternTree& tree, Re2Form form) {
  // The fail and match instructions and the unanchored search's loop.
  constexpr size_t kProgramFrame = 16;
  const size_t nodes = fold_tree(tree, [form](const Node& node, std::span<const size_t> children) {
    return node_bound(node, form, children);
  });
  return add_bytes(nodes, kProgramFrame);
}

}  // namespace vorlisk::pattern
