#include "core/pattern/pattern_parser.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/pattern/pattern_classes.h"
#include "core/pattern/pattern_escapes.h"
#include "core/pattern/pattern_members.h"
#include "core/pattern/pattern_source.h"

namespace vorlisk::pattern {
namespace {

// The largest repetition count each engine takes; RE2 also caps nested
// counts, whose product it divides into this.
constexpr uint32_t kLinearRepeatLimit = 1000;
constexpr uint32_t kBacktrackingRepeatLimit = 65535;
// PCRE2's longest group name, in bytes.
constexpr size_t kBacktrackingNameLimit = 32;

constexpr size_t kNone = std::string_view::npos;

NodePtr make_node(Node::Kind kind, size_t begin, size_t end) {
  auto node = std::make_unique<Node>();
  node->kind = kind;
  node->source = {static_cast<uint32_t>(begin), static_cast<uint32_t>(end)};
  return node;
}

// The repetition operators "*", "+" and "?", which RE2 lets stand for one
// another when they repeat one another.
bool is_simple_repetition(uint32_t min, uint32_t max) {
  return (min == 0 && max == kUnbounded) || (min == 1 && max == kUnbounded) || (min == 0 && max == 1);
}

// What RE2 has left of a budget of 1000 after dividing it by the count of
// every counted repetition on the way down to the deepest one: 0 means
// the counts multiply past its limit.
uint32_t repetition_budget(const Node& node, uint32_t budget) {
  if (node.kind == Node::Kind::kRepetition) {
    const uint32_t count = node.max == kUnbounded ? node.min : node.max;
    if (count > 0) budget /= count;
  }
  uint32_t least = budget;
  for (const NodePtr& child : node.children) least = std::min(least, repetition_budget(*child, budget));
  return least;
}

// Whether RE2 takes `name` as a group name: letters, combining marks,
// digits and connector punctuation.
bool is_engine_group_name(const PatternSource& name_source) {
  static const uint16_t name_sets[] = {
      find_unicode_property("L")->set,  find_unicode_property("Nl")->set, find_unicode_property("Mn")->set,
      find_unicode_property("Mc")->set, find_unicode_property("Nd")->set, find_unicode_property("Pc")->set};
  if (name_source.size() == 0) return false;
  for (size_t at = 0; at < name_source.size();) {
    char32_t cp = 0;
    const size_t length = name_source.decode(at, cp);
    if (length == 0) return false;
    at += length;
    const bool known = std::any_of(std::begin(name_sets), std::end(name_sets),
                                   [cp](uint16_t set) { return contains(unicode_set(set), cp); });
    if (!known) return false;
  }
  return true;
}

// Whether PCRE2 takes `name`: word characters, not starting with a digit,
// at most 32 bytes.
bool is_backtracking_group_name(const PatternSource& name_source) {
  if (name_source.size() == 0 || name_source.size() > kBacktrackingNameLimit) return false;
  if (is_digit(name_source.at(0))) return false;
  for (size_t at = 0; at < name_source.size();) {
    char32_t cp = 0;
    const size_t length = name_source.decode(at, cp);
    if (length == 0 || !contains(unicode_set(unicode_tables::kWordSet), cp)) return false;
    at += length;
  }
  return true;
}

class Parser {
 public:
  Parser(std::string_view pattern, PatternDialect dialect)
      : s_(pattern), linear_(dialect == PatternDialect::kLinear), dialect_(dialect) {}

  void run() {
    frames_.emplace_back();
    while (pos_ < s_.size() && !stopped_) {
      if (s_.skip_ignored(pos_, flags_)) continue;
      switch (s_.at(pos_)) {
        case '(':
          open_paren();
          break;
        case ')':
          close_paren();
          break;
        case '|':
          alternative();
          break;
        case '*':
          quantifier(pos_, pos_ + 1, 0, kUnbounded, false);
          break;
        case '+':
          quantifier(pos_, pos_ + 1, 1, kUnbounded, false);
          break;
        case '?':
          quantifier(pos_, pos_ + 1, 0, 1, false);
          break;
        case '{':
          brace();
          break;
        case '[':
          bracket();
          break;
        case '\\':
          escape();
          break;
        case '^':
          push_assertion(flags_.multi_line ? Assertion::kLineStart : Assertion::kTextStart, pos_ + 1);
          break;
        case '$':
          push_assertion(flags_.multi_line ? Assertion::kLineEnd : Assertion::kTextEnd, pos_ + 1);
          break;
        case '.':
          push_set(dot_member(flags_.dot_all), pos_ + 1);
          break;
        default:
          literal();
          break;
      }
    }
    if (!stopped_) finish();
  }

  std::optional<std::string>& error() { return error_; }
  std::optional<std::string>& refusal() { return refusal_; }
  PatternTree& tree() { return tree_; }

 private:
  // A group being read, or the whole pattern (the first frame).
  struct Frame {
    NodePtr group;  // kGroup or kForeignGroup; null for the whole pattern
    Flags outer_flags;
    size_t content_begin = 0;
    size_t branch_begin = 0;
    std::vector<NodePtr> branches;  // the alternatives before the current one
    std::vector<NodePtr> items;     // the current alternative so far
    // How deep groups nest inside, counting each repetition of a
    // repetition as the group it is written as: in the items so far, and
    // in the last one.
    uint32_t max_depth = 0;
    uint32_t last_depth = 0;
  };

  size_t open_groups() const { return frames_.size() - 1; }

  // ---- faults -----------------------------------------------------------------

  void stop(std::string text) {
    error_ = std::move(text);
    stopped_ = true;
  }

  // A refused construct: the end in the linear dialect (false); noted in
  // the backtracking one, whose reading goes on (true).
  bool refuse(std::string text) {
    if (linear_) {
      stop(std::move(text));
      return false;
    }
    if (!refusal_) refusal_ = std::move(text);
    return true;
  }

  // A fault: the end in the linear dialect; in the backtracking one its
  // bytes are left for PCRE2, which reports its own error there.
  void fault(Fault f) {
    if (f.refusal && !refuse(std::move(f.text))) return;
    if (!f.refusal && linear_) return stop(std::move(f.text));
    left_to_engine(f.begin, f.end);
  }

  // Backtracking dialect: the bytes [begin, end) for PCRE2 to read, or
  // reject, its own way.
  void left_to_engine(size_t begin, size_t end) {
    push_foreign(begin, end);
    pos_ = end;
  }

  void engine_error(std::string_view message, size_t begin, size_t end) {
    fault(engine_fault(message, s_.slice(begin, end), begin, end));
  }

  // ---- items --------------------------------------------------------------------

  void push_item(NodePtr node, uint32_t depth = 0) {
    Frame& frame = frames_.back();
    frame.items.push_back(std::move(node));
    frame.last_depth = depth;
    frame.max_depth = std::max(frame.max_depth, depth);
  }

  void push_foreign(size_t begin, size_t end, bool backreference = false) {
    NodePtr node = make_node(Node::Kind::kForeign, begin, end);
    node->text = s_.slice(begin, end);
    node->caseless = backreference && flags_.caseless;
    push_item(std::move(node));
  }

  void push_character(char32_t cp, size_t end) {
    CodePointSet set = character_set(cp, flags_.caseless);
    // Its case variants, or nothing at all for a surrogate, make a class.
    if (set.size() != 1 || set[0].first != set[0].last) return push_set(ClassMember{std::move(set)}, end);
    NodePtr node = make_node(Node::Kind::kLiteral, pos_, end);
    node->code_point = cp;
    push_item(std::move(node));
    pos_ = end;
  }

  void push_set(ClassMember member, size_t end) {
    NodePtr node = make_node(Node::Kind::kClass, pos_, end);
    node->set = member.set;
    node->members.push_back(std::move(member));
    push_item(std::move(node));
    pos_ = end;
  }

  void push_assertion(Assertion assertion, size_t end) {
    NodePtr node = make_node(Node::Kind::kAssertion, pos_, end);
    node->assertion = assertion;
    if (is_word_assertion(assertion)) {
      tree_.has_word_assertion = true;
      if (!re2_has_ascii_form(assertion)) tree_.word_assertions_re2_ascii = false;
    }
    push_item(std::move(node));
    pos_ = end;
  }

  void literal() {
    char32_t cp = 0;
    const size_t length = s_.decode(pos_, cp);
    if (length == 0) return fault(utf8_fault(pos_, pos_ + s_.invalid_length(pos_)));
    push_character(cp, pos_ + length);
  }

  void escape() {
    if (s_.at(pos_ + 1) == 'Q') return quoted();
    Escape escape = read_escape(s_, pos_, EscapePlace::kOutsideClass, flags_, dialect_, tree_.capture_count);
    switch (escape.kind) {
      case Escape::Kind::kCharacter:
        return push_character(escape.code_point, escape.end);
      case Escape::Kind::kSet:
        return push_set(std::move(escape.member), escape.end);
      case Escape::Kind::kAssertion:
        return push_assertion(escape.assertion, escape.end);
      case Escape::Kind::kForeign:
        push_foreign(pos_, escape.end, escape.backreference);
        pos_ = escape.end;
        return;
      case Escape::Kind::kIgnored:
        pos_ = escape.end;
        return;
      case Escape::Kind::kFault:
        return fault(std::move(escape.fault));
    }
  }

  // \Q...\E: every character up to \E (or the end) is itself.
  void quoted() {
    pos_ += 2;
    while (pos_ < s_.size() && !stopped_) {
      if (s_.at(pos_) == '\\' && s_.at(pos_ + 1) == 'E') {
        pos_ += 2;
        return;
      }
      literal();
    }
  }

  void bracket() {
    ClassRead read = read_class(s_, pos_, flags_, dialect_, refusal_);
    if (!read.node) return fault(std::move(*read.fault));
    push_item(std::move(read.node));
    pos_ = read.end;
  }

  // ---- repetitions ------------------------------------------------------------

  // "{": a counted repetition, with white space allowed around its numbers
  // and "{,n}" for "{0,n}"; anything else is the character itself.
  void brace() {
    size_t j = pos_ + 1;
    const auto skip_space = [&] {
      while (const size_t length = s_.space_at(j)) j += length;
    };
    const auto digits = [&] {
      const size_t start = j;
      while (is_digit(s_.at(j))) ++j;
      return s_.slice(start, j);
    };
    skip_space();
    const std::string_view min_text = digits();
    skip_space();
    const bool comma = s_.at(j) == ',';
    std::string_view max_text = min_text;
    if (comma) {
      ++j;
      skip_space();
      max_text = digits();
      skip_space();
    }
    std::optional<uint32_t> min = min_text.empty() ? std::optional<uint32_t>(0) : count(min_text);
    std::optional<uint32_t> max = comma && max_text.empty() ? std::optional<uint32_t>(kUnbounded) : count(max_text);
    if (s_.at(j) != '}' || (min_text.empty() && max_text.empty()) || !min || !max) {
      push_character('{', pos_ + 1);
      return;
    }
    quantifier(pos_, j + 1, *min, *max, true);
  }

  // A repetition count as the engine reads it. RE2 reads no count with a
  // leading zero, nor one of ten digits or more (the "{" is then itself);
  // PCRE2 reads any, and rejects those above its limit itself.
  std::optional<uint32_t> count(std::string_view digits) const {
    if (linear_ && ((digits.size() > 1 && digits[0] == '0') || digits.size() > 9)) return std::nullopt;
    uint64_t value = 0;
    for (char digit : digits) value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(digit - '0'), UINT32_MAX - 1);
    return static_cast<uint32_t>(value);
  }

  // A repetition operator from `begin` to `end`, with the "?" that makes it
  // lazy when one follows.
  void quantifier(size_t begin, size_t end, uint32_t min, uint32_t max, bool counted) {
    size_t j = end;
    s_.skip_ignored(j, flags_);
    const bool lazy = s_.at(j) == '?';
    end = lazy ? j + 1 : end;
    pos_ = end;
    const bool greedy = lazy == flags_.ungreedy;
    const uint32_t limit = linear_ ? kLinearRepeatLimit : kBacktrackingRepeatLimit;
    if (counted && ((max != kUnbounded && (max < min || max > limit)) || min > limit)) {
      return engine_error("invalid repetition size", begin, end);
    }
    Frame& frame = frames_.back();
    if (frame.items.empty()) return engine_error("no argument for repetition operator", begin, end);
    NodePtr& last = frame.items.back();
    if (last->kind == Node::Kind::kRepetition) {
      // RE2 lets "*", "+" and "?" of one greed over one another stand for
      // a single "*" (or the one operator, when both are the same).
      if (is_simple_repetition(last->min, last->max) && is_simple_repetition(min, max) &&
          last->greedy == greedy) {
        if (last->min != min || last->max != max) {
          last->min = 0;
          last->max = kUnbounded;
        }
        last->source.end = static_cast<uint32_t>(end);
        return;
      }
      if (open_groups() + frame.last_depth + 1 > kNestLimit) {
        if (refuse(nest_refusal(begin))) push_foreign(begin, end);
        return;
      }
      ++frame.last_depth;
      frame.max_depth = std::max(frame.max_depth, frame.last_depth);
    }
    NodePtr repetition = make_node(Node::Kind::kRepetition, last->source.begin, end);
    repetition->min = min;
    repetition->max = max;
    repetition->greedy = greedy;
    repetition->children.push_back(std::move(last));
    last = std::move(repetition);
    const bool multiplies = min >= 2 || (max != kUnbounded && max >= 2);
    if (linear_ && counted && multiplies && repetition_budget(*last, kLinearRepeatLimit) == 0) {
      engine_error("invalid repetition size", begin, end);
    }
  }

  // ---- groups -----------------------------------------------------------------

  std::string nest_refusal(size_t begin) const {
    return "Groups nest deeper than the limit of " + std::to_string(kNestLimit) + " levels" +
           at_position(begin) + ".";
  }

  // Starts a group whose opening spans [begin, opening_end): a capture
  // when `capture`, a kForeignGroup when `foreign_opening` is given.
  void open_group(size_t begin, size_t opening_end, bool capture, std::string_view name = {},
                  std::optional<std::string_view> foreign_opening = std::nullopt) {
    if (open_groups() + 1 > kNestLimit) {
      if (!refuse(nest_refusal(begin))) return;
      // PCRE2 rejects such depth itself, where the rest of the pattern
      // shows it; the tree stays shallow.
      push_foreign(begin, s_.size());
      pos_ = s_.size();
      return;
    }
    Frame frame;
    frame.group = make_node(foreign_opening ? Node::Kind::kForeignGroup : Node::Kind::kGroup, begin, opening_end);
    if (foreign_opening) frame.group->text = *foreign_opening;
    if (capture) {
      frame.group->capture_index = ++tree_.capture_count;
      frame.group->name = name;
      tree_.capture_names.emplace_back(name);
    }
    frame.outer_flags = flags_;
    frame.content_begin = frame.branch_begin = opening_end;
    frames_.push_back(std::move(frame));
    pos_ = opening_end;
  }

  void close_paren() {
    if (open_groups() == 0) {
      if (linear_) return stop("unexpected ): " + std::string(s_.text()));
      push_foreign(pos_, pos_ + 1);
      ++pos_;
      return;
    }
    close_group(pos_ + 1, false);
  }

  // Ends the innermost group at `end`, after its ")" or, unterminated, at
  // the end of the pattern.
  void close_group(size_t end, bool unterminated) {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    NodePtr group = std::move(frame.group);
    group->children.push_back(content(frame, unterminated ? end : end - 1));
    group->source.end = static_cast<uint32_t>(end);
    group->unterminated = unterminated;
    flags_ = frame.outer_flags;
    push_item(std::move(group), frame.max_depth + 1);
    pos_ = end;
  }

  void alternative() {
    Frame& frame = frames_.back();
    frame.branches.push_back(branch(frame, pos_));
    frame.items.clear();
    frame.last_depth = 0;
    frame.branch_begin = ++pos_;
  }

  // The current alternative of `frame`, ending at `end`.
  static NodePtr branch(Frame& frame, size_t end) {
    if (frame.items.empty()) return make_node(Node::Kind::kEmpty, frame.branch_begin, end);
    if (frame.items.size() == 1) return std::move(frame.items.front());
    NodePtr concat = make_node(Node::Kind::kConcat, frame.items.front()->source.begin, frame.items.back()->source.end);
    concat->children = std::move(frame.items);
    return concat;
  }

  // Everything `frame` holds, ending at `end`.
  static NodePtr content(Frame& frame, size_t end) {
    NodePtr last = branch(frame, end);
    if (frame.branches.empty()) return last;
    NodePtr alternation = make_node(Node::Kind::kAlternation, frame.content_begin, end);
    alternation->children = std::move(frame.branches);
    alternation->children.push_back(std::move(last));
    return alternation;
  }

  void finish() {
    if (open_groups() > 0) {
      if (linear_) return stop("missing ): " + std::string(s_.text()));
      while (open_groups() > 0) close_group(s_.size(), true);
    }
    tree_.root = content(frames_.front(), s_.size());
    tree_.root->source.begin = 0;
  }

  void open_paren() {
    if (s_.at(pos_ + 1) == '?') return linear_ ? engine_construct() : pcre2_construct();
    if (!linear_ && s_.at(pos_ + 1) == '*') return verb();
    open_group(pos_, pos_ + 1, true);
  }

  // "(?" in the linear dialect: a named group or flags, as RE2 reads them,
  // and "(?<name>" besides.
  void engine_construct() {
    const size_t begin = pos_;
    const char c2 = s_.at(pos_ + 2);
    // RE2 reads a name only after "(?P<" and one more byte.
    if (c2 == 'P' && s_.at(pos_ + 3) == '<' && pos_ + 4 < s_.size()) return named_group(begin, pos_ + 4, '>');
    if (c2 == '<') {
      const char c3 = s_.at(pos_ + 3);
      if (c3 != '=' && c3 != '!' && s_.text().find('>', pos_ + 3) != kNone) {
        return named_group(begin, pos_ + 3, '>');
      }
      return engine_error("invalid perl operator", begin, begin + 3);
    }
    engine_flags();
  }

  // A named group whose name starts at `name_begin` and ends at
  // `terminator`.
  void named_group(size_t begin, size_t name_begin, char terminator) {
    const size_t close = s_.text().find(terminator, name_begin);
    if (close == kNone) {
      if (!linear_) return left_to_engine(begin, s_.size());
      if (const size_t bad = s_.first_invalid(begin, s_.size()); bad != kNone) {
        return fault(utf8_fault(bad, bad + s_.invalid_length(bad)));
      }
      return engine_error("invalid named capture group", begin, s_.size());
    }
    const PatternSource name(s_.slice(name_begin, close));
    if (linear_) {
      if (const size_t bad = s_.first_invalid(name_begin, close); bad != kNone) {
        return fault(utf8_fault(bad, bad + s_.invalid_length(bad)));
      }
      if (!is_engine_group_name(name)) return engine_error("invalid named capture group", begin, close + 1);
    } else if (!is_backtracking_group_name(name)) {
      return left_to_engine(begin, close + 1);
    }
    open_group(begin, close + 1, true, name.text());
  }

  // RE2's flag groups, "(?i)" and "(?i-s:", with x besides.
  void engine_flags() {
    const size_t begin = pos_;
    size_t j = pos_ + 2;
    Flags flags = flags_;
    bool negated = false;
    bool saw_flag = false;
    while (true) {
      if (j >= s_.size()) return engine_error("invalid perl operator", begin, j);
      char32_t c = 0;
      const size_t length = s_.decode(j, c);
      if (length == 0) return fault(utf8_fault(j, j + s_.invalid_length(j)));
      j += length;
      const bool on = !negated;
      switch (c) {
        case 'i':
          flags.caseless = on;
          break;
        case 'm':
          flags.multi_line = on;
          break;
        case 's':
          flags.dot_all = on;
          break;
        case 'U':
          flags.ungreedy = on;
          break;
        case 'x':
          flags.extended = on;
          break;
        case '-':
          if (negated) return engine_error("invalid perl operator", begin, j);
          negated = true;
          saw_flag = false;  // "(?-)" and "(?i-)" negate nothing
          continue;
        case ':':
        case ')':
          if (negated && !saw_flag) return engine_error("invalid perl operator", begin, j);
          if (c == ':') open_group(begin, j, false);
          flags_ = flags;
          pos_ = j;
          return;
        default:
          return engine_error("invalid perl operator", begin, j);
      }
      saw_flag = true;
    }
  }

  // "(?" in the backtracking dialect: PCRE2's constructs.
  void pcre2_construct() {
    const size_t begin = pos_;
    const char c2 = s_.at(pos_ + 2);
    const char c3 = s_.at(pos_ + 3);
    switch (c2) {
      case '#': {  // a comment, which holds no syntax
        const size_t close = s_.text().find(')', pos_ + 3);
        if (close == kNone) return left_to_engine(begin, s_.size());
        pos_ = close + 1;
        return;
      }
      case ':':
        return open_group(begin, pos_ + 3, false);
      case '|':
      case '>':
      case '=':
      case '!':
      case '*':
        return open_group(begin, pos_ + 3, false, {}, s_.slice(begin, pos_ + 3));
      case '<':
        if (c3 == '=' || c3 == '!' || c3 == '*') return open_group(begin, pos_ + 4, false, {}, s_.slice(begin, pos_ + 4));
        return named_group(begin, pos_ + 3, '>');
      case '\'':
        return named_group(begin, pos_ + 3, '\'');
      case 'P':
        if (c3 == '<') return named_group(begin, pos_ + 4, '>');
        if (c3 == '=' || c3 == '>') return foreign_through_paren(begin, pos_ + 4, c3 == '=');
        return left_to_engine(begin, pos_ + 3);
      case '&':
      case '+':
        return foreign_through_paren(begin, pos_ + 3);
      case '(':
        return conditional();
      case 'C':
        return callout();
      default:
        if (is_digit(c2) || (c2 == '-' && is_digit(c3))) return foreign_through_paren(begin, pos_ + 3);
        return pcre2_flags();
    }
  }

  // A construct of PCRE2's own that ends at the first ")" from `from`.
  void foreign_through_paren(size_t begin, size_t from, bool backreference = false) {
    const size_t close = s_.text().find(')', from);
    const size_t end = close == kNone ? s_.size() : close + 1;
    push_foreign(begin, end, backreference);
    pos_ = end;
  }

  // "(?(condition)yes|no)". A condition that is itself an assertion is a
  // group of its own, read as the first item of the conditional group.
  void conditional() {
    const size_t begin = pos_;
    if (s_.at(pos_ + 3) == '?' || s_.at(pos_ + 3) == '*') {
      return open_group(begin, pos_ + 2, false, {}, s_.slice(begin, pos_ + 2));
    }
    const size_t close = s_.text().find(')', pos_ + 3);
    if (close == kNone) return left_to_engine(begin, s_.size());
    open_group(begin, close + 1, false, {}, s_.slice(begin, close + 1));
  }

  // "(?C12)" or "(?C'text')", whose text may hold anything (a doubled
  // delimiter stands for itself).
  void callout() {
    size_t j = pos_ + 3;
    const char open = s_.at(j);
    const char close = open == '{' ? '}' : open;
    constexpr std::string_view delimiters = "`'\"^%#${";
    if (open != '\0' && delimiters.find(open) != kNone) {
      for (++j; j < s_.size(); ++j) {
        if (s_.at(j) != close) continue;
        if (s_.at(j + 1) == close) {
          ++j;
          continue;
        }
        ++j;
        break;
      }
    }
    foreign_through_paren(pos_, j);
  }

  // "(*VERB)", "(*MARK:name)", "(*UTF)" and the like are PCRE2's; "(*pla:",
  // "(*atomic:" and the other alphabetic assertions open a group.
  void verb() {
    const size_t begin = pos_;
    size_t j = pos_ + 2;
    while ((s_.at(j) >= 'a' && s_.at(j) <= 'z') || s_.at(j) == '_') ++j;
    if (j > pos_ + 2 && s_.at(j) == ':') return open_group(begin, j + 1, false, {}, s_.slice(begin, j + 1));
    foreign_through_paren(begin, pos_ + 2);
  }

  // PCRE2's flag groups: i, m, s, U and x are applied here; J and n are
  // left to PCRE2 as a flag group of their own. R is refused (PCRE2 would
  // read "(?R)" as a recursion).
  void pcre2_flags() {
    const size_t begin = pos_;
    size_t j = pos_ + 2;
    Flags flags = flags_;
    bool reset = false;
    bool hyphen_allowed = true;
    bool unset = false;
    std::string set_letters;
    std::string unset_letters;
    if (s_.at(j) == '^') {
      reset = true;
      hyphen_allowed = false;
      flags.caseless = flags.multi_line = flags.dot_all = flags.extended = false;
      ++j;
    }
    while (j < s_.size() && s_.at(j) != ')' && s_.at(j) != ':') {
      const char c = s_.at(j++);
      switch (c) {
        case '-':
          if (!hyphen_allowed) return left_to_engine(begin, j);
          unset = true;
          hyphen_allowed = false;
          break;
        case 'i':
          flags.caseless = !unset;
          break;
        case 'm':
          flags.multi_line = !unset;
          break;
        case 's':
          flags.dot_all = !unset;
          break;
        case 'U':
          flags.ungreedy = !unset;
          break;
        case 'x':
          flags.extended = !unset;
          if (s_.at(j) == 'x') ++j;
          break;
        case 'J':
        case 'n':
          (unset ? unset_letters : set_letters).push_back(c);
          break;
        case 'R':
          if (!refuse("The flag R (CRLF mode)" + at_position(j - 1) + " is not supported in value patterns.")) {
            return;
          }
          [[fallthrough]];
        default:
          return left_to_engine(begin, j);
      }
    }
    if (j >= s_.size()) return left_to_engine(begin, s_.size());
    const bool scoped = s_.at(j) == ':';
    std::string foreign;
    if (reset || !set_letters.empty() || !unset_letters.empty()) {
      foreign = "(?" + std::string(reset ? "^" : "") + set_letters +
                (unset_letters.empty() ? "" : "-" + unset_letters) + (scoped ? ":" : ")");
    }
    if (scoped) {
      open_group(begin, j + 1, false, {},
                 foreign.empty() ? std::nullopt : std::optional<std::string_view>(foreign));
    } else if (!foreign.empty()) {
      NodePtr node = make_node(Node::Kind::kForeign, begin, j + 1);
      node->text = std::move(foreign);
      push_item(std::move(node));
    }
    flags_ = flags;
    pos_ = j + 1;
  }

  PatternSource s_;
  bool linear_;
  PatternDialect dialect_;
  size_t pos_ = 0;
  Flags flags_;
  std::vector<Frame> frames_;
  PatternTree tree_;
  bool stopped_ = false;
  std::optional<std::string> error_;
  std::optional<std::string> refusal_;
};

}  // namespace

std::variant<PatternTree, std::string> parse_linear_pattern(std::string_view pattern) {
  Parser parser(pattern, PatternDialect::kLinear);
  parser.run();
  if (parser.error()) return std::move(*parser.error());
  return std::move(parser.tree());
}

BacktrackingParse parse_backtracking_pattern(std::string_view pattern) {
  Parser parser(pattern, PatternDialect::kBacktracking);
  parser.run();
  return BacktrackingParse{std::move(parser.tree()), std::move(parser.refusal())};
}

}  // namespace vorlisk::pattern
