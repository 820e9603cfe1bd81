#include "core/pattern/pattern_emit.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <span>
#include <string_view>
#include <vector>

#include "core/pattern/quantifier_text.h"

namespace vorlisk::pattern {
namespace {

constexpr char32_t kLastAscii = 0x7F;

// How much of the syntax around a node binds to it: what it must be
// wrapped in (?:..) for.
enum class Position {
  kAnywhere,   // a whole pattern, a group's content, an alternative
  kInConcat,   // one of several in a row: an alternation must be wrapped
  kRepeated,   // under a repetition operator: anything but one atom must be
};

// Writes with a stack of its own: a deep tree does not recurse.
class Re2Writer {
 public:
  explicit Re2Writer(Re2Form form) : form_(form) {}

  std::string run(const Node* root) {
    if (root != nullptr) tasks_.push_back(Task{root, Position::kAnywhere, {}});
    while (!tasks_.empty()) {
      const Task task = tasks_.back();
      tasks_.pop_back();
      if (task.node == nullptr) {
        out_ += task.text;
        continue;
      }
      if (needs_group(*task.node, task.position)) {
        out_ += "(?:";
        tasks_.push_back(text(")"));
      }
      write_bare(*task.node);
    }
    return std::move(out_);
  }

 private:
  // A node to write where `position` says, or (without one) `text`.
  struct Task {
    const Node* node;
    Position position;
    std::string_view text;
  };

  static Task text(std::string_view text) { return Task{nullptr, Position::kAnywhere, text}; }

  static bool needs_group(const Node& node, Position position) {
    switch (node.kind) {
      case Node::Kind::kAlternation:
        return position != Position::kAnywhere;
      case Node::Kind::kConcat:
      case Node::Kind::kRepetition:
        return position == Position::kRepeated;
      default:
        return false;
    }
  }

  void write_bare(const Node& node) {
    switch (node.kind) {
      case Node::Kind::kEmpty:
        out_ += "(?:)";
        return;
      case Node::Kind::kLiteral:
        code_point(node.code_point);
        return;
      case Node::Kind::kClass:
        character_class(node.set);
        return;
      case Node::Kind::kAssertion:
        assertion(node.assertion);
        return;
      case Node::Kind::kConcat:
        // Pushed last first, so that they are written in order.
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
          tasks_.push_back(Task{child->get(), Position::kInConcat, {}});
        }
        return;
      case Node::Kind::kAlternation:
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
          tasks_.push_back(Task{child->get(), Position::kAnywhere, {}});
          if (std::next(child) != node.children.rend()) tasks_.push_back(text("|"));
        }
        return;
      case Node::Kind::kRepetition:
        repetitions_.push_back(quantifier_text(node));
        tasks_.push_back(text(repetitions_.back()));
        tasks_.push_back(Task{node.children[0].get(), Position::kRepeated, {}});
        return;
      case Node::Kind::kGroup:
        if (node.capture_index == 0) {
          out_ += "(?:";
        } else if (node.name.empty()) {
          out_ += '(';
        } else {
          out_ += "(?P<" + node.name + ">";
        }
        tasks_.push_back(text(")"));
        tasks_.push_back(Task{node.children[0].get(), Position::kAnywhere, {}});
        return;
      case Node::Kind::kForeignGroup:  // never in a linear tree; RE2 rejects it
        out_ += node.text;
        if (!node.unterminated) tasks_.push_back(text(")"));
        tasks_.push_back(Task{node.children[0].get(), Position::kAnywhere, {}});
        return;
      case Node::Kind::kForeign:
        out_ += node.text;
        return;
    }
  }

  static bool is_plain(char32_t cp) {
    return (cp >= '0' && cp <= '9') || (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || cp == '_';
  }

  void code_point(char32_t cp) {
    if (cp <= kLastAscii && is_plain(cp)) {
      out_ += static_cast<char>(cp);
      return;
    }
    // Large classes are thousands of these: no formatted output.
    char buffer[12] = {'\\', 'x', '{'};
    size_t length = 3;
    int shift = 20;
    while (shift > 0 && (cp >> shift) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) buffer[length++] = "0123456789ABCDEF"[(cp >> shift) & 0xF];
    buffer[length++] = '}';
    out_.append(buffer, length);
  }

  void character_class(std::span<const CodePointRange> set) {
    size_t count = set.size();
    if (form_ == Re2Form::kAscii) {
      count = 0;
      while (count < set.size() && set[count].first <= kLastAscii) ++count;
    }
    const auto last_of = [&](size_t i) {
      return form_ == Re2Form::kAscii ? std::min<char32_t>(set[i].last, kLastAscii) : set[i].last;
    };
    if (count == 0) {
      out_ += "[^\\x00-\\x{10FFFF}]";  // matches nothing
      return;
    }
    if (count == 1 && set[0].first == last_of(0)) return code_point(set[0].first);
    // RE2 reads a class of just an ASCII letter and its lower case as the
    // letter under (?i), and loses the upper case when an alternation merges
    // it into a class that has the lower case already ("[ak]|[Kk]" never
    // matches "K"): such a pair is written as an alternation.
    if (count == 2 && set[0].first == last_of(0) && set[1].first == last_of(1) && set[0].first >= 'A' &&
        set[0].first <= 'Z' && set[1].first == set[0].first + ('a' - 'A')) {
      out_ += "(?:";
      code_point(set[0].first);
      out_ += '|';
      code_point(set[1].first);
      out_ += ')';
      return;
    }
    out_ += '[';
    for (size_t i = 0; i < count; ++i) {
      code_point(set[i].first);
      if (last_of(i) != set[i].first) {
        out_ += '-';
        code_point(last_of(i));
      }
    }
    out_ += ']';
  }

  void assertion(Assertion kind) {
    switch (kind) {
      case Assertion::kTextStart:
        out_ += "\\A";
        return;
      case Assertion::kTextEnd:
        out_ += "\\z";
        return;
      case Assertion::kLineStart:
        out_ += "(?m:^)";
        return;
      case Assertion::kLineEnd:
        out_ += "(?m:$)";
        return;
      case Assertion::kWordBoundary:
        out_ += form_ == Re2Form::kAscii ? "\\b" : "(?:)";
        return;
      case Assertion::kNotWordBoundary:
        out_ += form_ == Re2Form::kAscii ? "\\B" : "(?:)";
        return;
      default:  // RE2 has no form of the others: left out
        out_ += "(?:)";
        return;
    }
  }

  Re2Form form_;
  std::string out_;
  std::vector<Task> tasks_;
  // The operators of the repetitions written so far; a deque, so that the
  // tasks' views of them stay valid as more are added.
  std::deque<std::string> repetitions_;
};

}  // namespace

std::string emit_re2(const PatternTree& tree, Re2Form form) {
  return Re2Writer(form).run(tree.root.get());
}

}  // namespace vorlisk::pattern
