#include "core/pattern/pike_shape.h"

#include <algorithm>

namespace vorlisk::pattern {

PikeRegexp::~PikeRegexp() {
  std::vector<PikeRegexpPtr> pending = std::move(subs);
  while (!pending.empty()) {
    PikeRegexpPtr node = std::move(pending.back());
    pending.pop_back();
    // The last owner takes the node's subs before letting it go, so that
    // its destructor has none left to recurse into. Every node is made
    // non-const (make_shared<PikeRegexp>) and a shape belongs to one thread.
    if (node.use_count() == 1) {
      auto& owned = const_cast<PikeRegexp&>(*node).subs;
      for (PikeRegexpPtr& sub : owned) pending.push_back(std::move(sub));
      owned.clear();
    }
  }
}

namespace {

using Op = PikeRegexp::Op;
using Kind = Node::Kind;

// ---- nodes ------------------------------------------------------------------

std::shared_ptr<PikeRegexp> make(Op op, std::vector<PikeRegexpPtr> subs = {}, bool lazy = false) {
  auto node = std::make_shared<PikeRegexp>();
  node->op = op;
  node->subs = std::move(subs);
  node->lazy = lazy;
  return node;
}

PikeRegexpPtr with_subs(const PikeRegexp& node, std::vector<PikeRegexpPtr> subs) {
  auto copy = std::make_shared<PikeRegexp>(node);
  copy->subs = std::move(subs);
  return copy;
}

// A run of literal text: nothing, one literal or a string.
PikeRegexpPtr literal_text(std::u32string runes, bool fold_case) {
  if (runes.empty()) return make(Op::kEmptyMatch);
  auto node = std::make_shared<PikeRegexp>();
  node->op = runes.size() == 1 ? Op::kLiteral : Op::kLiteralString;
  node->runes = std::move(runes);
  node->fold_case = fold_case;
  return node;
}

PikeRegexpPtr concat(std::vector<PikeRegexpPtr> subs) {
  if (subs.empty()) return make(Op::kEmptyMatch);
  if (subs.size() == 1) return subs[0];
  return make(Op::kConcat, std::move(subs));
}

PikeRegexpPtr alternate(std::vector<PikeRegexpPtr> subs) {
  if (subs.empty()) return make(Op::kNoMatch);
  if (subs.size() == 1) return subs[0];
  return make(Op::kAlternate, std::move(subs));
}

bool is_star_like(Op op) { return op == Op::kStar || op == Op::kPlus || op == Op::kQuest; }

bool is_literal(const PikeRegexp& re) { return re.op == Op::kLiteral || re.op == Op::kLiteralString; }

// x*, x+ or x? as RE2 builds them: a repetition of a repetition of the
// same greed squashes ("(?:x+)?" is x*).
PikeRegexpPtr star_plus_quest(Op op, PikeRegexpPtr sub, bool lazy) {
  if (sub->op == op && sub->lazy == lazy) return sub;
  if (is_star_like(sub->op) && sub->lazy == lazy) {
    if (sub->op == Op::kStar) return sub;
    return make(Op::kStar, {sub->subs[0]}, lazy);
  }
  return make(op, {std::move(sub)}, lazy);
}

// The code points a literal stands for.
CodePointSet literal_set(const PikeRegexp& literal) {
  const char32_t r = literal.runes[0];
  if (literal.fold_case) return {{r - 32, r - 32}, {r, r}};
  return {{r, r}};
}

// RE2's structural equality, for what it is asked about: whether `b` is
// the single-path piece `a` (a literal, a class, an assertion, or a fixed
// repetition of a literal or class).
bool same_piece(const PikeRegexp& a, const PikeRegexp* b) {
  if (b == nullptr || a.op != b->op) return false;
  switch (a.op) {
    case Op::kLiteral:
    case Op::kLiteralString:
      return a.runes == b->runes && a.fold_case == b->fold_case;
    case Op::kCharClass:
      return same_set(*a.set, *b->set);
    case Op::kEmptyWidth:
      return a.assertion == b->assertion;
    case Op::kRepeat:
      return a.lazy == b->lazy && a.min == b->min && a.max == b->max && same_piece(*a.subs[0], b->subs[0].get());
    default:
      return false;
  }
}

// Rebuilds `root` bottom-up without recursion: `rebuild(node, subs)` makes
// a node's result from the results of its subs (pointer-equal to the old
// ones where nothing changed).
template <class Rebuild>
PikeRegexpPtr post_order(const PikeRegexpPtr& root, Rebuild rebuild) {
  struct Frame {
    const PikeRegexpPtr* node;
    size_t next_sub;
    size_t first_result;
  };
  std::vector<Frame> frames{{&root, 0, 0}};
  std::vector<PikeRegexpPtr> results;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    const PikeRegexp& node = **frame.node;
    if (frame.next_sub < node.subs.size()) {
      const PikeRegexpPtr* sub = &node.subs[frame.next_sub++];
      frames.push_back({sub, 0, results.size()});
      continue;
    }
    std::vector<PikeRegexpPtr> subs(std::make_move_iterator(results.begin() + frame.first_result),
                                    std::make_move_iterator(results.end()));
    results.resize(frame.first_result);
    results.push_back(rebuild(*frame.node, std::move(subs)));
    frames.pop_back();
  }
  return results.back();
}

bool unchanged(const PikeRegexp& node, const std::vector<PikeRegexpPtr>& subs) {
  return std::equal(node.subs.begin(), node.subs.end(), subs.begin(), subs.end());
}

// ---- the parser's factoring of alternatives ---------------------------------

// The literal text a regexp starts with (through leading concatenations).
void leading_string(const PikeRegexp* re, std::u32string& runes, bool& fold_case) {
  while (re->op == Op::kConcat && !re->subs.empty()) re = re->subs[0].get();
  fold_case = re->fold_case;
  runes.clear();
  if (is_literal(*re)) runes = re->runes;
}

// `re` without its first `n` literal code points. Like RE2, only the four
// outermost concatenations drop a first element the removal left empty.
PikeRegexpPtr remove_leading_string(const PikeRegexpPtr& re, size_t n) {
  std::vector<const PikeRegexp*> chain;
  const PikeRegexpPtr* at = &re;
  while ((*at)->op == Op::kConcat) {
    chain.push_back(at->get());
    at = &(*at)->subs[0];
  }
  const PikeRegexp& leaf = **at;
  PikeRegexpPtr rest = *at;
  if (leaf.op == Op::kLiteral) {
    rest = make(Op::kEmptyMatch);
  } else if (leaf.op == Op::kLiteralString) {
    rest = n >= leaf.runes.size() ? make(Op::kEmptyMatch) : literal_text(leaf.runes.substr(n), leaf.fold_case);
  }
  for (size_t k = chain.size(); k-- > 0;) {
    std::vector<PikeRegexpPtr> subs = chain[k]->subs;
    subs[0] = rest;
    if (k < 4 && rest->op == Op::kEmptyMatch) {
      if (subs.size() == 2) {
        rest = subs[1];
        continue;
      }
      subs.erase(subs.begin());
    }
    rest = with_subs(*chain[k], std::move(subs));
  }
  return rest;
}

const PikeRegexp* leading_regexp(const PikeRegexp& re) {
  if (re.op == Op::kEmptyMatch) return nullptr;
  if (re.op == Op::kConcat && re.subs.size() >= 2) {
    return re.subs[0]->op == Op::kEmptyMatch ? nullptr : re.subs[0].get();
  }
  return &re;
}

PikeRegexpPtr remove_leading_regexp(const PikeRegexpPtr& re) {
  if (re->op == Op::kEmptyMatch) return re;
  if (re->op == Op::kConcat && re->subs.size() >= 2) {
    if (re->subs[0]->op == Op::kEmptyMatch) return re;
    if (re->subs.size() == 2) return re->subs[1];
    return with_subs(*re, std::vector<PikeRegexpPtr>(re->subs.begin() + 1, re->subs.end()));
  }
  return make(Op::kEmptyMatch);
}

// Leading pieces RE2 factors out of neighbouring alternatives: the ones
// that take one path through the program.
bool factorable(const PikeRegexp& first) {
  switch (first.op) {
    case Op::kEmptyWidth:
    case Op::kCharClass:
      return true;
    case Op::kRepeat: {
      const Op sub = first.subs[0]->op;
      return first.min == first.max && (sub == Op::kLiteral || sub == Op::kCharClass);
    }
    default:
      return false;
  }
}

bool literal_or_class(const PikeRegexp& re) { return re.op == Op::kLiteral || re.op == Op::kCharClass; }

// RE2's FactorAlternation, in its rounds: (1) common leading literal text,
// (2) common leading single-path pieces, each factored out of a run of
// neighbouring alternatives, whose rests are factored in turn; (3) runs of
// single literals and classes merged into one class. Without recursion.
class AlternationFactoring {
 public:
  std::vector<PikeRegexpPtr> factor(std::vector<PikeRegexpPtr> subs) {
    frames_.push_back({std::move(subs)});
    for (;;) {
      Frame& frame = frames_.back();
      if (frame.round <= 2 && frame.next_splice < frame.splices.size()) {
        std::vector<PikeRegexpPtr> rests = std::move(frame.splices[frame.next_splice].subs);
        frames_.push_back({std::move(rests)});
        continue;
      }
      apply_splices(frame);
      if (++frame.round == 4) {
        std::vector<PikeRegexpPtr> done = std::move(frame.subs);
        frames_.pop_back();
        if (frames_.empty()) return done;
        Frame& parent = frames_.back();
        parent.splices[parent.next_splice++].subs = std::move(done);
        continue;
      }
      find_splices(frame);
    }
  }

 private:
  // sub[begin, begin + count) becomes `prefix` followed by the alternation
  // of `subs` (rounds 1 and 2), or `prefix` alone (round 3).
  struct Splice {
    PikeRegexpPtr prefix;
    size_t begin;
    size_t count;
    std::vector<PikeRegexpPtr> subs;
  };
  struct Frame {
    std::vector<PikeRegexpPtr> subs;
    int round = 0;
    std::vector<Splice> splices;
    size_t next_splice = 0;
  };

  static void apply_splices(Frame& frame) {
    if (frame.splices.empty()) return;
    std::vector<PikeRegexpPtr> out;
    size_t i = 0;
    for (Splice& splice : frame.splices) {
      while (i < splice.begin) out.push_back(std::move(frame.subs[i++]));
      if (frame.round == 3) {
        out.push_back(splice.prefix);
      } else {
        out.push_back(make(Op::kConcat, {splice.prefix, alternate(std::move(splice.subs))}));
      }
      i += splice.count;
    }
    while (i < frame.subs.size()) out.push_back(std::move(frame.subs[i++]));
    frame.subs = std::move(out);
    frame.splices.clear();
  }

  static void find_splices(Frame& frame) {
    frame.next_splice = 0;
    if (frame.round == 1) return common_strings(frame);
    if (frame.round == 2) return common_pieces(frame);
    merged_classes(frame);
  }

  static void common_strings(Frame& frame) {
    const std::vector<PikeRegexpPtr>& subs = frame.subs;
    size_t start = 0;
    std::u32string runes;
    bool fold_case = false;
    std::u32string runes_i;
    bool fold_case_i = false;
    for (size_t i = 0; i <= subs.size(); ++i) {
      if (i < subs.size()) {
        leading_string(subs[i].get(), runes_i, fold_case_i);
        if (fold_case_i == fold_case) {
          size_t same = 0;
          while (same < runes.size() && same < runes_i.size() && runes[same] == runes_i[same]) ++same;
          if (same > 0) {
            runes.resize(same);
            continue;
          }
        }
      }
      if (i - start >= 2) {
        Splice splice{literal_text(runes, fold_case), start, i - start, {}};
        for (size_t j = start; j < i; ++j) splice.subs.push_back(remove_leading_string(subs[j], runes.size()));
        frame.splices.push_back(std::move(splice));
      }
      if (i < subs.size()) {
        start = i;
        runes = runes_i;
        fold_case = fold_case_i;
      }
    }
  }

  static void common_pieces(Frame& frame) {
    const std::vector<PikeRegexpPtr>& subs = frame.subs;
    size_t start = 0;
    const PikeRegexp* first = nullptr;
    for (size_t i = 0; i <= subs.size(); ++i) {
      const PikeRegexp* first_i = nullptr;
      if (i < subs.size()) {
        first_i = leading_regexp(*subs[i]);
        if (first != nullptr && factorable(*first) && same_piece(*first, first_i)) continue;
      }
      if (i - start >= 2) {
        const PikeRegexpPtr& lead = subs[start];
        PikeRegexpPtr prefix = lead.get() == first ? lead : lead->subs[0];
        Splice splice{std::move(prefix), start, i - start, {}};
        for (size_t j = start; j < i; ++j) splice.subs.push_back(remove_leading_regexp(subs[j]));
        frame.splices.push_back(std::move(splice));
      }
      if (i < subs.size()) {
        start = i;
        first = first_i;
      }
    }
  }

  static void merged_classes(Frame& frame) {
    const std::vector<PikeRegexpPtr>& subs = frame.subs;
    size_t start = 0;
    for (size_t i = 0; i <= subs.size(); ++i) {
      if (i < subs.size() && i > start && literal_or_class(*subs[start]) && literal_or_class(*subs[i])) continue;
      if (i - start >= 2) {
        CodePointSet set;
        for (size_t j = start; j < i; ++j) {
          set = union_of(set, subs[j]->op == Op::kCharClass ? *subs[j]->set : literal_set(*subs[j]));
        }
        auto merged = std::make_shared<PikeRegexp>();
        merged->op = Op::kCharClass;
        merged->set = std::make_shared<const CodePointSet>(std::move(set));
        frame.splices.push_back({std::move(merged), start, i - start, {}});
      }
      start = i;
    }
  }

  std::vector<Frame> frames_;
};

// ---- the tree as RE2 parses its RE2 syntax -----------------------------------

bool well_formed(const Node& node) {
  switch (node.kind) {
    case Kind::kConcat:
    case Kind::kAlternation:
      return !node.children.empty() &&
             std::none_of(node.children.begin(), node.children.end(), [](const NodePtr& c) { return !c; });
    case Kind::kGroup:
    case Kind::kRepetition:
      return node.children.size() == 1 && node.children[0] != nullptr;
    case Kind::kForeign:
    case Kind::kForeignGroup:
      return false;
    default:
      return true;
  }
}

// The operands RE2 sees for a node: a concatenation or alternation written
// inside another of its kind (not in a group) is read as part of it.
std::vector<const Node*> operands(const Node& node) {
  std::vector<const Node*> out;
  if (node.kind == Kind::kConcat || node.kind == Kind::kAlternation) {
    std::vector<const Node*> pending;
    for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) pending.push_back(it->get());
    while (!pending.empty()) {
      const Node* child = pending.back();
      pending.pop_back();
      if (child->kind == node.kind && well_formed(*child)) {
        for (auto it = child->children.rbegin(); it != child->children.rend(); ++it) pending.push_back(it->get());
      } else {
        out.push_back(child);
      }
    }
  } else if (node.kind == Kind::kGroup || node.kind == Kind::kRepetition) {
    out.push_back(node.children[0].get());
  }
  return out;
}

// A set as RE2's parser keeps it: one code point is a literal, and an ASCII
// letter in both cases a case-folding literal.
PikeRegexpPtr class_of(const CodePointSet& set) {
  uint64_t count = 0;
  for (const CodePointRange& r : set) count += uint64_t{r.last} - r.first + 1;
  if (count == 1) return literal_text(std::u32string(1, set[0].first), false);
  const char32_t first = set.empty() ? 0 : set[0].first;
  if (count == 2 && first >= 'A' && first <= 'Z' && set.back().first == first + 32) {
    return literal_text(std::u32string(1, first + 32), true);
  }
  auto node = std::make_shared<PikeRegexp>();
  node->op = Op::kCharClass;
  node->set = std::make_shared<const CodePointSet>(set);
  return node;
}

// Operands in a row, as the parser leaves them: neighbouring literal text
// merged into one string (unless their case folding differs), then
// concatenations from groups spliced in.
PikeRegexpPtr concatenation(std::vector<PikeRegexpPtr> items) {
  std::vector<PikeRegexpPtr> merged;
  std::u32string text;  // the literal text of a run of merged.back() and items after it
  size_t run = 0;       // literal items in that run
  for (PikeRegexpPtr& item : items) {
    if (run > 0 && is_literal(*item) && item->fold_case == merged.back()->fold_case) {
      text += item->runes;
      ++run;
      continue;
    }
    if (run > 1) merged.back() = literal_text(std::move(text), merged.back()->fold_case);
    text.clear();
    run = is_literal(*item) ? 1 : 0;
    if (run > 0) text = item->runes;
    merged.push_back(std::move(item));
  }
  if (run > 1) merged.back() = literal_text(std::move(text), merged.back()->fold_case);

  std::vector<PikeRegexpPtr> subs;
  for (PikeRegexpPtr& item : merged) {
    if (item->op == Op::kConcat) {
      subs.insert(subs.end(), item->subs.begin(), item->subs.end());
    } else {
      subs.push_back(std::move(item));
    }
  }
  return concat(std::move(subs));
}

PikeRegexpPtr alternation(std::vector<PikeRegexpPtr> items) {
  std::vector<PikeRegexpPtr> subs;
  for (PikeRegexpPtr& item : items) {
    if (item->op == Op::kAlternate) {
      subs.insert(subs.end(), item->subs.begin(), item->subs.end());
    } else {
      subs.push_back(std::move(item));
    }
  }
  return alternate(AlternationFactoring().factor(std::move(subs)));
}

// x*, x+ and x? are written so, and squash with a repeated operand as
// RE2's parser squashes them; other counts stay counted until simplified.
PikeRegexpPtr repetition(const Node& node, PikeRegexpPtr operand) {
  const bool lazy = !node.greedy;
  if (node.max == kUnbounded && node.min <= 1) {
    return star_plus_quest(node.min == 0 ? Op::kStar : Op::kPlus, std::move(operand), lazy);
  }
  if (node.min == 0 && node.max == 1) return star_plus_quest(Op::kQuest, std::move(operand), lazy);
  auto repeat = make(Op::kRepeat, {std::move(operand)}, lazy);
  repeat->min = node.min;
  repeat->max = node.max;
  return repeat;
}

PikeRegexpPtr parsed_node(const Node& node, std::vector<PikeRegexpPtr> items) {
  switch (node.kind) {
    case Kind::kEmpty:
      return make(Op::kEmptyMatch);
    case Kind::kLiteral:
      return literal_text(std::u32string(1, node.code_point), false);
    case Kind::kClass:
      return class_of(node.set);
    case Kind::kAssertion: {
      auto re = std::make_shared<PikeRegexp>();
      re->op = Op::kEmptyWidth;
      re->assertion = node.assertion;
      return re;
    }
    case Kind::kConcat:
      return concatenation(std::move(items));
    case Kind::kAlternation:
      return alternation(std::move(items));
    case Kind::kRepetition:
      return repetition(node, std::move(items[0]));
    case Kind::kGroup: {
      if (node.capture_index == 0) return std::move(items[0]);
      auto re = std::make_shared<PikeRegexp>();
      re->op = Op::kCapture;
      re->capture = node.capture_index;
      re->subs = {std::move(items[0])};
      return re;
    }
    case Kind::kForeign:
    case Kind::kForeignGroup:
      break;
  }
  return make(Op::kNoMatch);
}

std::optional<PikeRegexpPtr> parsed(const Node& root) {
  struct Frame {
    const Node* node;
    std::vector<const Node*> operands;
    size_t next;
    size_t first_result;
  };
  if (!well_formed(root)) return std::nullopt;
  std::vector<Frame> frames{{&root, operands(root), 0, 0}};
  std::vector<PikeRegexpPtr> results;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    if (frame.next < frame.operands.size()) {
      const Node* operand = frame.operands[frame.next++];
      if (!well_formed(*operand)) return std::nullopt;
      frames.push_back({operand, operands(*operand), 0, results.size()});
      continue;
    }
    std::vector<PikeRegexpPtr> items(std::make_move_iterator(results.begin() + frame.first_result),
                                     std::make_move_iterator(results.end()));
    results.resize(frame.first_result);
    results.push_back(parsed_node(*frame.node, std::move(items)));
    frames.pop_back();
  }
  return results.back();
}

// ---- the simplifier ---------------------------------------------------------

// x*x, x+x?, xx* ... of one literal or class become one counted repetition
// (RE2's CoalesceWalker).
bool can_coalesce(const PikeRegexp& r1, const PikeRegexp& r2) {
  if (!(is_star_like(r1.op) || r1.op == Op::kRepeat)) return false;
  const PikeRegexp& x = *r1.subs[0];
  if (x.op != Op::kLiteral && x.op != Op::kCharClass) return false;
  if ((is_star_like(r2.op) || r2.op == Op::kRepeat) && same_piece(x, r2.subs[0].get()) && r1.lazy == r2.lazy) {
    return true;
  }
  if (same_piece(x, &r2)) return true;
  return x.op == Op::kLiteral && r2.op == Op::kLiteralString && r2.runes[0] == x.runes[0] &&
         x.fold_case == r2.fold_case;
}

uint32_t add_counts(uint32_t a, uint32_t b) { return a == kUnbounded || b == kUnbounded ? kUnbounded : a + b; }

void coalesce(PikeRegexpPtr& r1, PikeRegexpPtr& r2) {
  auto repeat = std::make_shared<PikeRegexp>();
  repeat->op = Op::kRepeat;
  repeat->lazy = r1->lazy;
  repeat->subs = {r1->subs[0]};
  switch (r1->op) {
    case Op::kStar: repeat->min = 0; repeat->max = kUnbounded; break;
    case Op::kPlus: repeat->min = 1; repeat->max = kUnbounded; break;
    case Op::kQuest: repeat->min = 0; repeat->max = 1; break;
    default: repeat->min = r1->min; repeat->max = r1->max; break;
  }
  PikeRegexpPtr rest = make(Op::kEmptyMatch);
  switch (r2->op) {
    case Op::kStar:
      repeat->max = kUnbounded;
      break;
    case Op::kPlus:
      repeat->min += 1;
      repeat->max = kUnbounded;
      break;
    case Op::kQuest:
      repeat->max = add_counts(repeat->max, 1);
      break;
    case Op::kRepeat:
      repeat->min += r2->min;
      repeat->max = add_counts(repeat->max, r2->max);
      break;
    case Op::kLiteralString: {
      size_t n = 1;
      while (n < r2->runes.size() && r2->runes[n] == r1->subs[0]->runes[0]) ++n;
      repeat->min += static_cast<uint32_t>(n);
      repeat->max = add_counts(repeat->max, static_cast<uint32_t>(n));
      if (n < r2->runes.size()) {
        r1 = repeat;
        r2 = literal_text(r2->runes.substr(n), r2->fold_case);
        return;
      }
      break;
    }
    default:  // the literal or class itself
      repeat->min += 1;
      repeat->max = add_counts(repeat->max, 1);
      break;
  }
  r1 = rest;
  r2 = repeat;
}

PikeRegexpPtr coalesced(const PikeRegexpPtr& root) {
  return post_order(root, [](const PikeRegexpPtr& node, std::vector<PikeRegexpPtr> subs) -> PikeRegexpPtr {
    if (node->op == Op::kConcat) {
      bool any = false;
      for (size_t i = 0; i + 1 < subs.size(); ++i) {
        if (can_coalesce(*subs[i], *subs[i + 1])) {
          coalesce(subs[i], subs[i + 1]);
          any = true;
        }
      }
      if (any) {
        std::erase_if(subs, [](const PikeRegexpPtr& s) { return s->op == Op::kEmptyMatch; });
        return with_subs(*node, std::move(subs));
      }
    }
    return unchanged(*node, subs) ? node : with_subs(*node, std::move(subs));
  });
}

// RE2's expansion of x{min,max}.
PikeRegexpPtr expand_repeat(const PikeRegexpPtr& x, uint32_t min, uint32_t max, bool lazy) {
  if (max == kUnbounded) {
    if (min == 0) return star_plus_quest(Op::kStar, x, lazy);
    if (min == 1) return star_plus_quest(Op::kPlus, x, lazy);
    std::vector<PikeRegexpPtr> subs(min - 1, x);
    subs.push_back(star_plus_quest(Op::kPlus, x, lazy));
    return concat(std::move(subs));
  }
  if (min == 0 && max == 0) return make(Op::kEmptyMatch);
  if (min == 1 && max == 1) return x;
  PikeRegexpPtr prefix = min > 0 ? concat(std::vector<PikeRegexpPtr>(min, x)) : nullptr;
  if (max > min) {
    PikeRegexpPtr suffix = star_plus_quest(Op::kQuest, x, lazy);
    for (uint32_t i = min + 1; i < max; ++i) suffix = star_plus_quest(Op::kQuest, make(Op::kConcat, {x, suffix}), lazy);
    return prefix ? make(Op::kConcat, {prefix, suffix}) : suffix;
  }
  return prefix ? prefix : make(Op::kNoMatch);
}

PikeRegexpPtr simplified(const PikeRegexpPtr& root) {
  return post_order(root, [](const PikeRegexpPtr& node, std::vector<PikeRegexpPtr> subs) -> PikeRegexpPtr {
    switch (node->op) {
      case Op::kCharClass:
        return node->set->empty() ? make(Op::kNoMatch) : node;
      case Op::kStar:
      case Op::kPlus:
      case Op::kQuest: {
        PikeRegexpPtr& sub = subs[0];
        if (sub->op == Op::kEmptyMatch) return sub;
        if (sub == node->subs[0]) return node;
        if (sub->op == node->op && sub->lazy == node->lazy) return sub;
        return with_subs(*node, std::move(subs));
      }
      case Op::kRepeat:
        if (subs[0]->op == Op::kEmptyMatch) return subs[0];
        return expand_repeat(subs[0], node->min, node->max, node->lazy);
      default:
        return unchanged(*node, subs) ? node : with_subs(*node, std::move(subs));
    }
  });
}

// ---- anchors and the required prefix ----------------------------------------

// A leading \A (through at most four levels of concatenations and groups)
// becomes an anchor of the search; a trailing \z likewise.
bool strip_anchor(PikeRegexpPtr& re, Assertion anchor, int depth) {
  if (depth >= 4) return false;
  switch (re->op) {
    case Op::kConcat: {
      const size_t at = anchor == Assertion::kTextStart ? 0 : re->subs.size() - 1;
      PikeRegexpPtr sub = re->subs[at];
      if (!strip_anchor(sub, anchor, depth + 1)) return false;
      std::vector<PikeRegexpPtr> subs = re->subs;
      subs[at] = std::move(sub);
      re = concat(std::move(subs));
      return true;
    }
    case Op::kCapture: {
      PikeRegexpPtr sub = re->subs[0];
      if (!strip_anchor(sub, anchor, depth + 1)) return false;
      re = with_subs(*re, {std::move(sub)});
      return true;
    }
    case Op::kEmptyWidth:
      if (re->assertion != anchor) return false;
      re = make(Op::kEmptyMatch);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<PikeShape> shape_of(const PatternTree& tree) {
  if (tree.root == nullptr) return std::nullopt;
  std::optional<PikeRegexpPtr> whole = parsed(*tree.root);
  if (!whole) return std::nullopt;

  PikeShape shape;
  PikeRegexpPtr rest = *whole;
  // \A followed by literal text: the text is matched apart, the rest is
  // the program.
  if (rest->op == Op::kConcat) {
    size_t i = 0;
    while (i < rest->subs.size() && rest->subs[i]->op == Op::kEmptyWidth &&
           rest->subs[i]->assertion == Assertion::kTextStart) {
      ++i;
    }
    if (i > 0 && i < rest->subs.size() && is_literal(*rest->subs[i])) {
      shape.required_prefix = rest->subs[i]->runes;
      shape.prefix_fold_case = rest->subs[i]->fold_case;
      rest = concat(std::vector<PikeRegexpPtr>(rest->subs.begin() + i + 1, rest->subs.end()));
    }
  }
  rest = simplified(coalesced(rest));
  shape.anchor_start = strip_anchor(rest, Assertion::kTextStart, 0);
  shape.anchor_end = strip_anchor(rest, Assertion::kTextEnd, 0);
  shape.root = std::move(rest);
  return shape;
}

}  // namespace vorlisk::pattern
