#include "core/pattern/pike_program.h"

#include <algorithm>
#include <map>

#include "core/pattern/pike_shape.h"
#include "core/pattern/unicode_sets.h"

namespace vorlisk::pattern {

CodePointClass::CodePointClass(std::span<const CodePointRange> set) {
  for (const CodePointRange& range : set) {
    for (char32_t cp = range.first; cp <= range.last && cp < 0x80; ++cp) {
      ascii_[cp >> 6] |= uint64_t{1} << (cp & 63);
    }
    if (range.last >= 0x80) above_ascii_.push_back({std::max<uint32_t>(range.first, 0x80), range.last});
  }
  holds_last_code_point_ = !set.empty() && set.back().last == 0x10FFFF;
}

bool CodePointClass::contains_above_ascii(char32_t cp) const { return vorlisk::contains(above_ascii_, cp); }

bool is_word_character(char32_t cp) {
  if (cp < 0x80) {
    return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') || cp == '_';
  }
  static const CodePointClass word(unicode_set(unicode_tables::kWordSet));
  return cp != kIllFormedByte && word.contains(cp);
}

namespace {

using Op = PikeRegexp::Op;

// An instruction before flattening. An Alt goes on at `out` and, ranked
// below, at `out1`.
enum class Code : uint8_t { kFail, kAlt, kNop, kCapture, kAssertion, kCodePoint, kClass, kMatch };

struct Instruction {
  Code code = Code::kFail;
  uint32_t out = 0;
  uint32_t out1 = 0;
  uint32_t arg = 0;
};

// The holes of a fragment still to be pointed at what follows it, threaded
// through the holes themselves as RE2 does: an entry is an instruction
// number times two, plus one for its `out1`; the hole holds the next entry.
// Instruction 0 is kFail, so entry 0 ends the list.
struct PatchList {
  uint32_t head = 0;
  uint32_t tail = 0;
};

// begin 0: matches nothing.
struct Fragment {
  uint32_t begin = 0;
  PatchList end;
  bool nullable = false;  // can match the empty text
};

// RE2's compiler (compile.cc), fragment by fragment, on our instructions.
class FragmentBuilder {
 public:
  std::vector<Instruction> code{Instruction{}};

  Fragment no_match() { return {}; }

  Fragment leaf(Code kind, uint32_t arg) {
    const uint32_t id = emit({kind, 0, 0, arg});
    return {id, {id << 1, id << 1}, kind == Code::kAssertion};
  }

  Fragment nop() {
    const uint32_t id = emit({Code::kNop, 0, 0, 0});
    return {id, {id << 1, id << 1}, true};
  }

  Fragment match() { return {emit({Code::kMatch, 0, 0, 0}), {}, false}; }

  Fragment cat(Fragment a, Fragment b) {
    if (a.begin == 0 || b.begin == 0) return no_match();
    const Instruction& first = code[a.begin];
    if (first.code == Code::kNop && a.end.head == (a.begin << 1) && first.out == 0) {
      patch(a.end, b.begin);
      return b;
    }
    patch(a.end, b.begin);
    return {a.begin, b.end, a.nullable && b.nullable};
  }

  Fragment alt(Fragment a, Fragment b) {
    if (a.begin == 0) return b;
    if (b.begin == 0) return a;
    const uint32_t id = emit({Code::kAlt, a.begin, b.begin, 0});
    return {id, append(a.end, b.end), a.nullable || b.nullable};
  }

  Fragment plus(Fragment a, bool lazy) {
    const uint32_t id = loop(a.begin, lazy);
    patch(a.end, id);
    return {a.begin, way_on(id, lazy), a.nullable};
  }

  Fragment star(Fragment a, bool lazy) {
    // With a body that can match empty, one loop instruction would let an
    // empty pass through the body outrank leaving the loop.
    if (a.nullable) return quest(plus(a, lazy), lazy);
    const uint32_t id = loop(a.begin, lazy);
    patch(a.end, id);
    return {id, way_on(id, lazy), true};
  }

  Fragment quest(Fragment a, bool lazy) {
    if (a.begin == 0) return nop();
    const uint32_t id = loop(a.begin, lazy);
    return {id, append(way_on(id, lazy), a.end), true};
  }

  Fragment capture(Fragment a, uint32_t group) {
    if (a.begin == 0) return no_match();
    const uint32_t open = emit({Code::kCapture, a.begin, 0, 2 * group});
    const uint32_t close = emit({Code::kCapture, 0, 0, 2 * group + 1});
    patch(a.end, close);
    return {open, {close << 1, close << 1}, a.nullable};
  }

 private:
  uint32_t emit(Instruction in) {
    code.push_back(in);
    return static_cast<uint32_t>(code.size() - 1);
  }

  uint32_t& hole(uint32_t entry) {
    Instruction& in = code[entry >> 1];
    return (entry & 1) ? in.out1 : in.out;
  }

  void patch(PatchList list, uint32_t target) {
    for (uint32_t entry = list.head; entry != 0;) {
      uint32_t& h = hole(entry);
      entry = h;
      h = target;
    }
  }

  PatchList append(PatchList a, PatchList b) {
    if (a.head == 0) return b;
    if (b.head == 0) return a;
    hole(a.tail) = b.head;
    return {a.head, b.tail};
  }

  // The alt of a loop: into the body first when greedy, on first when lazy.
  uint32_t loop(uint32_t body, bool lazy) {
    return lazy ? emit({Code::kAlt, 0, body, 0}) : emit({Code::kAlt, body, 0, 0});
  }

  static PatchList way_on(uint32_t loop_id, bool lazy) {
    const uint32_t entry = lazy ? loop_id << 1 : (loop_id << 1) | 1;
    return {entry, entry};
  }
};

}  // namespace

// Compiles a shape as RE2 does, then skips no-ops and flattens the
// instructions into lists as RE2's Prog::Optimize and Prog::Flatten do.
// No recursion: the walks keep their own stacks.
class PikeCompiler {
 public:
  std::optional<PikeProgram> compile(const PatternTree& tree) {
    std::optional<PikeShape> shape = shape_of(tree);
    if (!shape) return std::nullopt;
    program_.capture_count_ = tree.capture_count;
    program_.required_prefix_ = shape->required_prefix;
    program_.prefix_fold_case_ = shape->prefix_fold_case;
    program_.anchor_start_ = shape->anchor_start;
    program_.anchor_end_ = shape->anchor_end;
    const Fragment pattern = fragment_of(shape->root);
    const Fragment all = builder_.cat(pattern, builder_.match());
    skip_nops(all.begin);
    flatten(all.begin);
    return std::move(program_);
  }

 private:
  Fragment fragment_of(const PikeRegexpPtr& root) {
    struct Frame {
      const PikeRegexp* node;
      size_t next_sub;
      size_t first_part;
    };
    std::vector<Frame> frames{{root.get(), 0, 0}};
    std::vector<Fragment> parts;
    while (!frames.empty()) {
      Frame& frame = frames.back();
      if (frame.next_sub < frame.node->subs.size()) {
        const PikeRegexp* sub = frame.node->subs[frame.next_sub++].get();
        frames.push_back({sub, 0, parts.size()});
        continue;
      }
      const Fragment built = build(*frame.node, std::span(parts).subspan(frame.first_part));
      parts.resize(frame.first_part);
      parts.push_back(built);
      frames.pop_back();
    }
    return parts.back();
  }

  Fragment build(const PikeRegexp& node, std::span<const Fragment> subs) {
    FragmentBuilder& b = builder_;
    switch (node.op) {
      case Op::kNoMatch:
        return b.no_match();
      case Op::kEmptyMatch:
        return b.nop();
      case Op::kLiteral:
      case Op::kLiteralString: {
        Fragment f = literal(node.runes[0], node.fold_case);
        for (size_t i = 1; i < node.runes.size(); ++i) f = b.cat(f, literal(node.runes[i], node.fold_case));
        return f;
      }
      case Op::kCharClass:
        return b.leaf(Code::kClass, class_number(*node.set));
      case Op::kEmptyWidth:
        if (is_word_assertion(node.assertion)) program_.has_word_assertion_ = true;
        return b.leaf(Code::kAssertion, static_cast<uint32_t>(node.assertion));
      case Op::kConcat: {
        Fragment f = subs[0];
        for (size_t i = 1; i < subs.size(); ++i) f = b.cat(f, subs[i]);
        return f;
      }
      case Op::kAlternate: {
        Fragment f = subs[0];
        for (size_t i = 1; i < subs.size(); ++i) f = b.alt(f, subs[i]);
        return f;
      }
      case Op::kStar:
        return b.star(subs[0], node.lazy);
      case Op::kPlus:
        return b.plus(subs[0], node.lazy);
      case Op::kQuest:
        return b.quest(subs[0], node.lazy);
      case Op::kCapture:
        return b.capture(subs[0], node.capture);
      case Op::kRepeat:  // the shape has expanded every one
        break;
    }
    return b.no_match();
  }

  Fragment literal(char32_t cp, bool fold_case) {
    if (!fold_case) return builder_.leaf(Code::kCodePoint, cp);
    auto [it, inserted] = fold_classes_.try_emplace(cp, 0);
    if (inserted) {
      it->second = static_cast<uint32_t>(program_.classes_.size());
      const CodePointRange pair[] = {{cp - 32, cp - 32}, {cp, cp}};
      program_.classes_.emplace_back(pair);
    }
    return builder_.leaf(Code::kClass, it->second);
  }

  uint32_t class_number(const CodePointSet& set) {
    auto [it, inserted] = classes_.try_emplace(&set, 0);
    if (inserted) {
      it->second = static_cast<uint32_t>(program_.classes_.size());
      program_.classes_.emplace_back(set);
    }
    return it->second;
  }

  // Points every reachable instruction past the no-ops it leads to.
  void skip_nops(uint32_t start) {
    std::vector<Instruction>& code = builder_.code;
    std::vector<bool> seen(code.size(), false);
    std::vector<uint32_t> queue;
    const auto reach = [&](uint32_t id) {
      if (id != 0 && !seen[id]) {
        seen[id] = true;
        queue.push_back(id);
      }
    };
    const auto past_nops = [&](uint32_t id) {
      while (id != 0 && code[id].code == Code::kNop) id = code[id].out;
      return id;
    };
    reach(start);
    for (size_t i = 0; i < queue.size(); ++i) {
      Instruction& in = code[queue[i]];
      in.out = past_nops(in.out);
      reach(in.out);
      if (in.code == Code::kAlt) {
        in.out1 = past_nops(in.out1);
        reach(in.out1);
      }
    }
  }

  // ---- RE2's Prog::Flatten ----

  bool is_root(uint32_t id) const { return root_number_[id] >= 0; }

  void add_root(uint32_t id) {
    if (is_root(id)) return;
    root_number_[id] = static_cast<int32_t>(roots_.size());
    roots_.push_back(id);
  }

  // Restarts the set of instructions reached.
  void clear_reached() {
    reached_order_.clear();
    if (++reached_mark_ == 0) {
      std::fill(reached_.begin(), reached_.end(), 0);
      reached_mark_ = 1;
    }
  }

  bool reach(uint32_t id) {
    if (reached_[id] == reached_mark_) return false;
    reached_[id] = reached_mark_;
    reached_order_.push_back(id);
    return true;
  }

  bool reached(uint32_t id) const { return reached_[id] == reached_mark_; }

  // Roots: the start, and whatever a consuming, capturing or asserting
  // instruction goes on to. Also notes the alts that lead to each
  // instruction.
  void mark_successors(uint32_t start) {
    const std::vector<Instruction>& code = builder_.code;
    add_root(0);
    add_root(start);
    clear_reached();
    std::vector<uint32_t> stack{start};
    while (!stack.empty()) {
      uint32_t id = stack.back();
      stack.pop_back();
      while (reach(id)) {
        const Instruction& in = code[id];
        if (in.code == Code::kAlt) {
          predecessors_[in.out].push_back(id);
          predecessors_[in.out1].push_back(id);
          stack.push_back(in.out1);
          id = in.out;
        } else if (in.code == Code::kCapture || in.code == Code::kAssertion || in.code == Code::kCodePoint ||
                   in.code == Code::kClass) {
          add_root(in.out);
          id = in.out;
        } else if (in.code == Code::kNop) {
          id = in.out;
        } else {
          break;
        }
      }
    }
  }

  // An instruction that `root` reaches through alts, but that an alt
  // `root` does not reach also leads to, becomes a root of its own.
  void mark_dominated(uint32_t root) {
    const std::vector<Instruction>& code = builder_.code;
    clear_reached();
    std::vector<uint32_t> stack{root};
    while (!stack.empty()) {
      uint32_t id = stack.back();
      stack.pop_back();
      while (reach(id)) {
        if (id != root && is_root(id)) break;
        const Instruction& in = code[id];
        if (in.code == Code::kAlt) {
          stack.push_back(in.out1);
          id = in.out;
        } else if (in.code == Code::kNop) {
          id = in.out;
        } else {
          break;
        }
      }
    }
    for (uint32_t id : reached_order_) {
      for (uint32_t before : predecessors_[id]) {
        if (!reached(before)) add_root(id);
      }
    }
  }

  // The list of `root`: what it reaches through alts, depth-first, better
  // branch first, each once; another root is entered through a kNop.
  void emit_list(uint32_t root, std::vector<PikeInstruction>& flat) {
    const std::vector<Instruction>& code = builder_.code;
    clear_reached();
    std::vector<uint32_t> stack{root};
    const auto list_of = [&](uint32_t id) { return static_cast<uint32_t>(root_number_[id]); };
    while (!stack.empty()) {
      uint32_t id = stack.back();
      stack.pop_back();
      while (reach(id)) {
        if (id != root && is_root(id)) {
          flat.push_back({PikeOpcode::kNop, false, list_of(id), 0});
          break;
        }
        const Instruction& in = code[id];
        switch (in.code) {
          case Code::kAlt:
            stack.push_back(in.out1);
            id = in.out;
            continue;
          case Code::kNop:
            id = in.out;
            continue;
          case Code::kCapture:
            flat.push_back({PikeOpcode::kCapture, false, list_of(in.out), in.arg});
            break;
          case Code::kAssertion:
            flat.push_back({PikeOpcode::kAssertion, false, list_of(in.out), in.arg});
            break;
          case Code::kCodePoint:
            flat.push_back({PikeOpcode::kCodePoint, false, list_of(in.out), in.arg});
            break;
          case Code::kClass:
            flat.push_back({PikeOpcode::kClass, false, list_of(in.out), in.arg});
            break;
          case Code::kMatch:
            flat.push_back({PikeOpcode::kMatch, false, 0, 0});
            break;
          case Code::kFail:
            flat.push_back({PikeOpcode::kFail, false, 0, 0});
            break;
        }
        break;
      }
    }
  }

  void flatten(uint32_t start) {
    const size_t count = builder_.code.size();
    root_number_.assign(count, -1);
    predecessors_.assign(count, {});
    reached_.assign(count, 0);
    mark_successors(start);

    // From the last instruction to the first, as RE2 does: a root found on
    // the way stops the walks of the roots after it.
    std::vector<uint32_t> sorted = roots_;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = sorted.size(); i-- > 1;) {
      if (sorted[i] != start) mark_dominated(sorted[i]);
    }

    std::vector<PikeInstruction>& flat = program_.instructions_;
    std::vector<uint32_t> list_start(roots_.size());
    for (size_t n = 0; n < roots_.size(); ++n) {
      list_start[n] = static_cast<uint32_t>(flat.size());
      emit_list(roots_[n], flat);
      flat.back().last = true;
    }
    for (PikeInstruction& entry : flat) {
      if (entry.op != PikeOpcode::kMatch && entry.op != PikeOpcode::kFail) entry.out = list_start[entry.out];
    }
    program_.start_ = list_start[root_number_[start]];
  }

  PikeProgram program_;
  FragmentBuilder builder_;
  std::map<const CodePointSet*, uint32_t> classes_;
  std::map<char32_t, uint32_t> fold_classes_;

  std::vector<int32_t> root_number_;  // per instruction: its list, or -1
  std::vector<uint32_t> roots_;       // in the order found
  std::vector<std::vector<uint32_t>> predecessors_;  // the alts leading to each instruction
  std::vector<uint32_t> reached_;
  uint32_t reached_mark_ = 0;
  std::vector<uint32_t> reached_order_;
};

std::optional<PikeProgram> PikeProgram::compile(const PatternTree& tree) { return PikeCompiler().compile(tree); }

}  // namespace vorlisk::pattern
