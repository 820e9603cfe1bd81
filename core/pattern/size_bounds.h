// Building blocks of the bounds on what a pattern's programs and engines
// take, known before anything is built (re2_program_bound.h,
// linear_memory.h) or once it is (the engines, the recent-patterns table):
//
//   add_bytes, multiply_bytes   sums and products that saturate, far above
//                               any budget, rather than wrap
//   allocation_bytes(n)         what an allocation of n bytes takes from the
//                               heap, its header and rounding included
//   expanded_repetition(node, body)
//                               a counted repetition as both our compiler and
//                               RE2's expand it
//   fold_tree(tree, node_value) a value computed from the leaves up, in one
//                               walk with a stack of its own
//
// Pure functions; safe on any thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::pattern {

// Bounds saturate here: far above any budget, and a sum of two never wraps.
inline constexpr size_t kSaturatedBytes = std::numeric_limits<size_t>::max() / 8;

inline size_t add_bytes(size_t a, size_t b) {
  return std::min(kSaturatedBytes, std::min(a, kSaturatedBytes) + std::min(b, kSaturatedBytes));
}

inline size_t multiply_bytes(size_t a, size_t b) {
  if (a == 0 || b == 0) return 0;
  return a > kSaturatedBytes / b ? kSaturatedBytes : a * b;
}

// glibc's malloc: an 8-byte header, sizes rounded up to 16, at least 32.
inline constexpr size_t kAllocationOverhead = 32;

inline size_t allocation_bytes(size_t bytes) { return add_bytes(bytes, kAllocationOverhead); }

// A repetition of a body of `body` instructions: x{n,m} is m copies of x
// and m-n optional parts; x{n,} is n copies and a loop; x*, x+ and x? one
// copy. Each copy may bring the alternation that skips it, and the whole
// two more.
inline size_t expanded_repetition(const Node& node, size_t body) {
  const size_t copies = node.max == kUnbounded ? std::max<uint32_t>(node.min, 1)
                                               : std::max<uint32_t>(node.max, 1);
  return add_bytes(multiply_bytes(copies, add_bytes(body, 2)), 2);
}

// Folds `tree` from its leaves up: `node_value(node, children)` gives a
// node's value from its children's, in their order (a missing child counts
// 1). Returns the root's value, or 0 for a tree without a root. The walk
// keeps its own stack, so a deep tree does not recurse.
template <class NodeValue>
size_t fold_tree(const PatternTree& tree, NodeValue&& node_value) {
  if (!tree.root) return 0;
  struct Visit {
    const Node* node;
    size_t next_child;
    size_t first_result;  // where its children's values start in `results`
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
    const size_t value = node_value(*visit.node, children);
    results.resize(visit.first_result);
    results.push_back(value);
    stack.pop_back();
  }
  return results.back();
}

}  // namespace vorlisk::pattern
