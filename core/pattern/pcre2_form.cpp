#include "core/pattern/pcre2_form.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>
#include <variant>

#include "core/pattern/quantifier_text.h"
#include "core/pattern/unicode_tables.h"

namespace vorlisk::pattern {
namespace {

// Unassigned in every Unicode version (a noncharacter): a set that holds it
// holds the unassigned code points, as PCRE2 reads its property too.
constexpr char32_t kNeverAssigned = 0x10FFFF;

constexpr std::string_view kNothing = "[^\\x{0}-\\x{D7FF}\\x{E000}-\\x{10FFFF}]";

bool is_ascii_alphanumeric(char32_t cp) {
  return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
}

bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

void append_hex(std::string& out, char32_t cp) {
  char buffer[16];
  const int length = std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(cp));
  out.append(buffer, static_cast<size_t>(length));
}

// One code point as PCRE2 reads it literally, inside a class or out.
void append_literal(std::string& out, char32_t cp) {
  if (is_ascii_alphanumeric(cp)) {
    out.push_back(static_cast<char>(cp));
  } else if (cp > ' ' && cp < 0x7F) {  // a backslash makes punctuation itself
    out.push_back('\\');
    out.push_back(static_cast<char>(cp));
  } else {
    append_hex(out, cp);
  }
}

void append_ranges(std::string& out, std::span<const CodePointRange> ranges) {
  for (const CodePointRange& range : ranges) {
    append_literal(out, range.first);
    if (range.last != range.first) {
      out.push_back('-');
      append_literal(out, range.last);
    }
  }
}

// A class of exactly `ranges`, one that matches nothing when empty.
std::string ranges_class(std::span<const CodePointRange> ranges) {
  if (ranges.empty()) return std::string(kNothing);
  std::string out = "[";
  append_ranges(out, ranges);
  out.push_back(']');
  return out;
}

// PCRE2's own properties that make up generated set `set`, for use inside
// a class; `single` is the one property's name when there is only one.
struct PropertyNames {
  std::string members;  // empty: PCRE2 has no name for the set
  std::string single;
};

PropertyNames property_names(uint16_t set) {
  switch (set) {
    case unicode_tables::kWordSet:
      return {"\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\p{Join_Control}", ""};
    case unicode_tables::kDigitSet:
      return {"\\p{Nd}", "Nd"};
    case unicode_tables::kSpaceSet:
      return {"\\p{White_Space}", "White_Space"};
    default: {
      const char* name = unicode_tables::kSets[set].engine_name;
      if (name == nullptr) return {};
      return {"\\p{" + std::string(name) + "}", name};
    }
  }
}

// How a generated set is written as a member of a class, plain and
// negated; empty where PCRE2's own property would not be exact.
//
// PCRE2 reads a property by its own tables: it lacks the code points they
// do not know (`unknown`), which are written after it as ranges, and a
// property that holds unassigned code points (Cn, "Unknown", Any) holds
// every unknown one too. A negated property cannot have code points added,
// so it is exact only when PCRE2's set is ours.
struct EngineSet {
  std::string plain;
  std::string negated;
};

EngineSet engine_set(uint16_t set, std::span<const CodePointRange> unknown) {
  const PropertyNames names = property_names(set);
  if (names.members.empty()) return {};
  const std::span<const CodePointRange> ranges = unicode_set(set);
  const std::vector<CodePointRange> new_members = intersection(ranges, unknown);
  // A set made only of code points PCRE2 does not know is a name it may
  // not know either (a newer script).
  if (!ranges.empty() && same_set(new_members, ranges)) return {};
  const bool holds_unassigned = contains(ranges, kNeverAssigned);
  if (holds_unassigned && !same_set(intersection(unknown, ranges), unknown)) return {};
  EngineSet out;
  out.plain = names.members;
  if (!holds_unassigned) append_ranges(out.plain, new_members);
  const bool engine_set_is_ours = holds_unassigned || new_members.empty();
  if (!names.single.empty() && engine_set_is_ours) out.negated = "\\P{" + names.single + "}";
  return out;
}

// The four look-arounds a word test is made of.
struct WordSides {
  std::string before, not_before, after, not_after;
};

std::string word_test(Assertion assertion, const WordSides& w) {
  switch (assertion) {
    case Assertion::kWordBoundary:
      return "(?:" + w.before + w.not_after + "|" + w.not_before + w.after + ")";
    case Assertion::kNotWordBoundary:
      return "(?:" + w.before + w.after + "|" + w.not_before + w.not_after + ")";
    case Assertion::kWordStart:
      return "(?:" + w.not_before + w.after + ")";
    case Assertion::kWordEnd:
      return "(?:" + w.before + w.not_after + ")";
    case Assertion::kWordStartHalf:
      return w.not_before;
    case Assertion::kWordEndHalf:
      return w.not_after;
    default:
      return "(?:)";
  }
}

// Whether PCRE2 applies a quantifier written after `node`'s form to all of
// it. A foreign text is left as it stands (it may be a flag setting, which
// a group would cut short).
bool repeats_as_one_item(const Node& node) {
  switch (node.kind) {
    case Node::Kind::kLiteral:
    case Node::Kind::kClass:
    case Node::Kind::kGroup:
    case Node::Kind::kForeignGroup:
    case Node::Kind::kForeign:
      return true;
    default:
      return false;
  }
}

class Writer {
 public:
  Writer(size_t source_size, std::span<const CodePointRange> unknown, Pcre2Callouts callouts)
      : unknown_(unknown), callouts_(callouts == Pcre2Callouts::kAtChoicePoints) {
    form_.source_size = source_size;
  }

  Pcre2Form run(const Node* root) {
    if (callouts_) emit(kCallout, 0, 0, false);  // each start position
    if (root != nullptr) tasks_.push_back(NodeTask{root, false});
    // A deep tree would be a deep recursion: the nodes wait on a stack.
    while (!tasks_.empty()) {
      Task task = std::move(tasks_.back());
      tasks_.pop_back();
      if (auto* text = std::get_if<TextTask>(&task)) {
        emit(text->text, text->source, text->source, false);
      } else {
        const NodeTask& node = std::get<NodeTask>(task);
        if (node.wrapped) {
          emit("(?:", node.node->source.begin, node.node->source.begin, false);
          tasks_.push_back(TextTask{")", node.node->source.begin});
          if (node.callout_inside) emit(kCallout, node.node->source.begin, node.node->source.begin, false);
        }
        write(*node.node, node.callout_inside && !node.wrapped);
      }
    }
    return std::move(form_);
  }

 private:
  struct NodeTask {
    const Node* node;
    bool wrapped;  // in a group of its own
    bool callout_inside = false;  // a callout opens its group (a repeated group)
  };

  // The counting callout, where a search may resume after a backtrack.
  static constexpr std::string_view kCallout = "(?C)";
  struct TextTask {
    std::string text;
    size_t source;
  };
  using Task = std::variant<NodeTask, TextTask>;

  void write(const Node& node, bool callout_inside = false) {
    const size_t begin = node.source.begin;
    switch (node.kind) {
      case Node::Kind::kEmpty:
        break;
      case Node::Kind::kLiteral:
        write_literal(node);
        break;
      case Node::Kind::kClass:
        emit(class_text(node), begin, begin, false);
        break;
      case Node::Kind::kAssertion:
        emit(assertion_text(node.assertion), begin, begin, false);
        break;
      case Node::Kind::kConcat:
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
          tasks_.push_back(NodeTask{child->get(), (*child)->kind == Node::Kind::kAlternation});
        }
        break;
      case Node::Kind::kAlternation:
        // A failed alternative resumes at the next one.
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
          tasks_.push_back(NodeTask{child->get(), false});
          if (std::next(child) != node.children.rend()) {
            if (callouts_) tasks_.push_back(TextTask{std::string(kCallout), begin});
            tasks_.push_back(TextTask{"|", begin});
          }
        }
        break;
      case Node::Kind::kRepetition: {
        if (node.children.empty()) break;
        // A greedy repetition resumes after itself, with one iteration
        // fewer; a lazy one with one more, at the start of its body (for
        // a single character, PCRE2 takes it and goes on after the
        // repetition).
        if (callouts_) tasks_.push_back(TextTask{std::string(kCallout), begin});
        tasks_.push_back(TextTask{quantifier_text(node), begin});
        const Node& body = *node.children[0];
        const bool wrapped = !repeats_as_one_item(body);
        const bool group = wrapped || body.kind == Node::Kind::kGroup;
        tasks_.push_back(NodeTask{&body, wrapped, callouts_ && group && !node.greedy});
        break;
      }
      case Node::Kind::kGroup:
        emit(node.capture_index == 0 ? "(?:"
             : node.name.empty()     ? "("
                                     : "(?<" + node.name + ">",
             begin, begin, false);
        if (callout_inside) emit(kCallout, begin, begin, false);
        push_body_and_close(node);
        break;
      case Node::Kind::kForeignGroup:
        emit(node.text, begin, node.source.end, true);
        push_body_and_close(node);
        break;
      case Node::Kind::kForeign:
        if (node.caseless) {
          emit("(?i:", begin, begin, false);
          emit(node.text, begin, node.source.end, true);
          emit(")", node.source.end, node.source.end, false);
        } else {
          emit(node.text, begin, node.source.end, true);
        }
        break;
    }
  }

  void push_body_and_close(const Node& group) {
    // A group's ")" is the last byte it was read from.
    if (!group.unterminated) {
      tasks_.push_back(TextTask{")", group.source.end > 0 ? group.source.end - 1 : 0});
    }
    if (!group.children.empty()) tasks_.push_back(NodeTask{group.children[0].get(), false});
  }

  void write_literal(const Node& node) {
    std::string text;
    // A digit right after a foreign text such as "\1" would extend it.
    if (after_foreign_digit_ && node.code_point < 0x80 &&
        is_ascii_digit(static_cast<char>(node.code_point))) {
      append_hex(text, node.code_point);
    } else {
      append_literal(text, node.code_point);
    }
    emit(text, node.source.begin, node.source.begin, false);
  }

  std::string class_text(const Node& node) const {
    if (node.members.size() == 1) {
      // A negated property alone ("\W", "\P{Greek}", "[^\D]"): a negated
      // class of the property and what PCRE2's tables lack of it.
      const ClassMember& only = node.members.front();
      if (only.unicode_set != kNoUnicodeSet && only.unicode_set_negated) {
        const EngineSet engine = engine_set(only.unicode_set, unknown_);
        if (!engine.plain.empty()) return (node.negated ? "[" : "[^") + engine.plain + "]";
      }
    }
    std::string members;
    for (const ClassMember& member : node.members) {
      const size_t before = members.size();
      if (member.unicode_set != kNoUnicodeSet) {
        const EngineSet engine = engine_set(member.unicode_set, unknown_);
        members += member.unicode_set_negated ? engine.negated : engine.plain;
      }
      if (members.size() == before) append_ranges(members, member.set);
    }
    // No member holds a code point: the set is nothing, or everything.
    if (members.empty()) return ranges_class(node.set);
    return (node.negated ? "[^" : "[") + members + "]";
  }

  std::string assertion_text(Assertion assertion) {
    switch (assertion) {
      case Assertion::kTextStart:
        return "\\A";
      case Assertion::kTextEnd:
        return "\\z";
      case Assertion::kLineStart:
        return "(?:\\A|(?<=\\n))";
      case Assertion::kLineEnd:
        return "(?=\\n|\\z)";
      default:
        return word_test(assertion, word_sides());
    }
  }

  const WordSides& word_sides() {
    if (word_sides_.before.empty()) {
      const EngineSet engine = engine_set(unicode_tables::kWordSet, unknown_);
      const std::string word = engine.plain.empty()
                                   ? ranges_class(unicode_set(unicode_tables::kWordSet))
                                   : "[" + engine.plain + "]";
      word_sides_ = {"(?<=" + word + ")", "(?<!" + word + ")", "(?=" + word + ")",
                     "(?!" + word + ")"};
    }
    return word_sides_;
  }

  void emit(std::string_view text, size_t source_begin, size_t source_end, bool copied) {
    if (text.empty()) return;
    form_.pieces.push_back({form_.text.size(), source_begin, source_end, copied});
    form_.text.append(text);
    after_foreign_digit_ = copied && is_ascii_digit(text.back());
  }

  std::span<const CodePointRange> unknown_;
  bool callouts_;
  Pcre2Form form_;
  std::vector<Task> tasks_;
  WordSides word_sides_;
  bool after_foreign_digit_ = false;
};

}  // namespace

size_t Pcre2Form::source_offset(size_t offset) const {
  if (offset >= text.size()) return source_size;
  auto next = std::upper_bound(pieces.begin(), pieces.end(), offset,
                               [](size_t o, const Piece& piece) { return o < piece.offset; });
  if (next == pieces.begin()) return 0;
  const Piece& piece = *std::prev(next);
  if (!piece.copied) return piece.source_begin;
  return std::min(piece.source_begin + (offset - piece.offset), piece.source_end);
}

Pcre2Form emit_pcre2(const PatternTree& tree, size_t source_size,
                     std::span<const CodePointRange> engine_unknown, Pcre2Callouts callouts) {
  return Writer(source_size, engine_unknown, callouts).run(tree.root.get());
}

}  // namespace vorlisk::pattern
