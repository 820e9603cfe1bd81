#include "core/pattern/re2_program_bound.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace vorlisk::pattern {
namespace {

// Bounds saturate here, far above any program limit.
constexpr size_t kSaturated = std::numeric_limits<size_t>::max() / 8;

size_t add(size_t a, size_t b) { return std::min(kSaturated, a + b); }

size_t multiply(size_t a, size_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kSaturated / b ? kSaturated : a * b;
}

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
      sequences = add(sequences, utf8_sequences(range.first, range.last));
    }
  }
  // An empty class still counts: RE2 visits it.
  return add(multiply(sequences, kPerSequence), 1);
}

size_t repetition_bound(const Node& node, size_t child) {
  // x{n,m} is m copies of x and m-n optional parts; x{n,} is n copies and
  // a loop; x*, x+ and x? one copy and at most two instructions.
  const size_t copies = node.max == kUnbounded ? std::max<uint32_t>(node.min, 1)
                                               : std::max<uint32_t>(node.max, 1);
  return add(multiply(copies, add(child, 2)), 2);
}

// Instructions of `node` itself, its children's given.
size_t node_bound(const Node& node, Re2Form form, std::span<const size_t> children) {
  size_t sum = 0;
  for (size_t child : children) sum = add(sum, child);
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
      return add(sum, children.size());
    case Node::Kind::kRepetition:
      return children.empty() ? 1 : repetition_bound(node, children[0]);
    case Node::Kind::kGroup:
      return add(sum, node.capture_index > 0 ? 2 : 0);
    case Node::Kind::kForeignGroup:
    case Node::Kind::kForeign:
      break;
  }
  // Never in a linear tree; RE2 rejects the form anyway.
  return add(sum, node.text.size() + 2);
}

}  // namespace

size_t re2_instruction_bound(const PatternTree& tree, Re2Form form) {
  // The fail and match instructions and the unanchored search's loop.
  constexpr size_t kProgramFrame = 16;
  if (!tree.root) return kProgramFrame;
  struct Visit {
    const Node* node;
    size_t next_child;
    size_t first_result;  // where its children's bounds start in `results`
  };
  std::vector<Visit> stack{{tree.root.get(), 0, 0}};
  std::vector<size_t> results;
  while (!stack.empty()) {
    Visit& visit = stack.back();
    if (visit.next_child < visit.node->children.size()) {
      const Node* child = visit.node->children[visit.next_child++].get();
      if (child == nullptr) {
        results.push_back(1);
      } else {
        stack.push_back({child, 0, results.size()});
      }
      continue;
    }
    const std::span<const size_t> children(results.data() + visit.first_result,
                                           results.size() - visit.first_result);
    const size_t bound = node_bound(*visit.node, form, children);
    results.resize(visit.first_result);
    results.push_back(bound);
    stack.pop_back();
  }
  return add(results.back(), kProgramFrame);
}

}  // namespace vorlisk::pattern
