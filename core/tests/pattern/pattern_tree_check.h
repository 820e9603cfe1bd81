// What every syntax tree the pattern parser makes must hold, whatever the
// pattern: sets in order and without surrogates, each class the union of
// its members, node arities, spans inside the pattern, and no construct of
// the backtracking dialect in a linear tree. Shared by the parser tests and
// the parser's fuzz target.
#pragma once

#include <string>

#include "core/pattern/pattern_tree.h"

namespace vorlisk::testing_support {

// The first broken promise, or "" when there is none.
inline std::string set_fault(const pattern::CodePointSet& set) {
  for (size_t i = 0; i < set.size(); ++i) {
    if (set[i].first > set[i].last || set[i].last > 0x10FFFF) return "bad run";
    if (set[i].first <= 0xDFFF && set[i].last >= 0xD800) return "surrogate";
    if (i > 0 && set[i].first <= set[i - 1].last + 1) return "runs out of order or adjacent";
  }
  return "";
}

inline std::string class_fault(const pattern::Node& node) {
  pattern::CodePointSet all;
  for (const pattern::ClassMember& member : node.members) {
    if (std::string fault = set_fault(member.set); !fault.empty()) return "member: " + fault;
    all = union_of(all, member.set);
  }
  if (node.negated) all = complement(all);
  if (std::string fault = set_fault(node.set); !fault.empty()) return "class: " + fault;
  if (all.size() != node.set.size()) return "class is not the union of its members";
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].first != node.set[i].first || all[i].last != node.set[i].last) {
      return "class is not the union of its members";
    }
  }
  return "";
}

inline std::string tree_fault(const pattern::Node& node, size_t pattern_size, bool linear) {
  using Kind = pattern::Node::Kind;
  if (node.source.begin > node.source.end || node.source.end > pattern_size) return "span outside the pattern";
  const size_t children = node.children.size();
  switch (node.kind) {
    case Kind::kConcat:
    case Kind::kAlternation:
      if (children < 2) return "fewer than two children";
      break;
    case Kind::kRepetition:
      if (node.max != pattern::kUnbounded && node.max < node.min) return "repetition bounds out of order";
      if (linear && node.max != pattern::kUnbounded && node.max > 1000) return "count above RE2's limit";
      [[fallthrough]];
    case Kind::kGroup:
    case Kind::kForeignGroup:
      if (children != 1) return "not one child";
      break;
    case Kind::kClass:
      if (std::string fault = class_fault(node); !fault.empty()) return fault;
      [[fallthrough]];
    default:
      if (children != 0) return "children on a leaf";
  }
  if (linear && (node.kind == Kind::kForeign || node.kind == Kind::kForeignGroup || node.unterminated)) {
    return "backtracking construct in a linear tree";
  }
  for (const pattern::NodePtr& child : node.children) {
    if (std::string fault = tree_fault(*child, pattern_size, linear); !fault.empty()) return fault;
  }
  return "";
}

inline std::string tree_fault(const pattern::PatternTree& tree, size_t pattern_size, bool linear) {
  if (!tree.root) return "no root";
  if (tree.capture_names.size() != tree.capture_count + 1) return "capture names and count disagree";
  return tree_fault(*tree.root, pattern_size, linear);
}

}  // namespace vorlisk::testing_support
