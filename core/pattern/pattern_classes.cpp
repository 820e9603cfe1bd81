#include "core/pattern/pattern_classes.h"

#include <utility>
#include <vector>

#include "core/pattern/pattern_escapes.h"
#include "core/pattern/pattern_members.h"

namespace vorlisk::pattern {
namespace {

class ClassReader {
 public:
  ClassReader(const PatternSource& source, size_t pos, const Flags& flags, PatternDialect dialect,
              std::optional<std::string>& refusal)
      : s_(source), begin_(pos), pos_(pos + 1), flags_(flags), dialect_(dialect), refusal_(refusal) {}

  ClassRead read() {
    skip();
    if (s_.at(pos_) == '^') {
      negated_ = true;
      ++pos_;
      skip();
    }
    // Leading "-" are themselves, and so is a "]" before any member.
    while (s_.at(pos_) == '-') {
      add_character('-');
      ++pos_;
      skip();
    }
    if (members_.empty() && s_.at(pos_) == ']') {
      add_character(']');
      ++pos_;
    }
    while (true) {
      skip();
      if (pos_ >= s_.size()) {
        return at_fault(engine_fault("missing ]", s_.slice(begin_, s_.size()), begin_, s_.size()));
      }
      const char c = s_.at(pos_);
      if (c == ']') {
        ++pos_;
        return finish();
      }
      if ((c == '&' || c == '-' || c == '~') && s_.at(pos_ + 1) == c) {
        const std::string op(2, c);
        if (!refuse("Character class set operation \"" + op + "\"" + at_position(pos_) +
                        " is not supported in value patterns; escape the characters to match them "
                        "literally.",
                    pos_, pos_ + 2)) {
          return std::move(result_);
        }
        add_character(c);
        add_character(c);
        pos_ += 2;
        continue;
      }
      Item first;
      if (!read_item(first)) return std::move(result_);
      skip();
      const char after_dash = s_.significant_at(pos_ + 1, flags_);
      if (s_.at(pos_) != '-' || pos_ + 1 >= s_.size() || after_dash == ']' || after_dash == '-') {
        add_item(std::move(first));
        continue;
      }
      ++pos_;
      skip();
      if (pos_ >= s_.size()) {
        return at_fault(engine_fault("missing ]", s_.slice(begin_, s_.size()), begin_, s_.size()));
      }
      Item last;
      if (!read_item(last)) return std::move(result_);
      if (first.is_set || last.is_set) {
        // An engine would read the "-" as itself.
        if (!refuse("Character class range \"" + std::string(s_.slice(first.begin, last.end)) + "\"" +
                        at_position(first.begin) +
                        " has a class at one end; escape the \"-\" to match it literally.",
                    first.begin, last.end)) {
          return std::move(result_);
        }
        add_item(std::move(first));
        add_character('-');
        add_item(std::move(last));
        continue;
      }
      if (last.code_point < first.code_point) {
        return at_fault(engine_fault("invalid character class range", s_.slice(first.begin, last.end),
                                     first.begin, last.end));
      }
      members_.push_back(range_member(first.code_point, last.code_point, flags_.caseless));
    }
  }

 private:
  // A member as read, before it is known whether it starts a range.
  struct Item {
    bool is_set = false;
    char32_t code_point = 0;
    ClassMember member;  // when is_set
    size_t begin = 0;
    size_t end = 0;
  };

  bool linear() const { return dialect_ == PatternDialect::kLinear; }
  void skip() { s_.skip_ignored(pos_, flags_); }

  void add_character(char32_t cp) { members_.push_back(ClassMember{character_set(cp, flags_.caseless)}); }

  void add_item(Item item) {
    if (item.is_set) {
      members_.push_back(std::move(item.member));
    } else {
      add_character(item.code_point);
    }
  }

  // A refused construct: the end of the read in the linear dialect (false),
  // noted and read past in the backtracking one.
  bool refuse(std::string text, size_t begin, size_t end) {
    if (linear()) {
      result_.fault = refusal_fault(std::move(text), begin, end);
      result_.end = end;
      return false;
    }
    if (!refusal_) refusal_ = std::move(text);
    return true;
  }

  // The read ends at a fault: the linear dialect reports it; the
  // backtracking one leaves the whole class to PCRE2.
  ClassRead at_fault(Fault fault) {
    fail(std::move(fault));
    return std::move(result_);
  }

  bool fail(Fault fault) {
    if (!linear()) fault = Fault{{}, false, begin_, raw_class_end()};
    result_.end = fault.end;
    result_.fault = std::move(fault);
    return false;
  }

  // Where PCRE2 would end the class at begin_: after the first "]" that is
  // no member's own ("[]" and "[^]" start with a "]" member; escapes,
  // quoted runs and POSIX names hold none).
  size_t raw_class_end() const {
    size_t j = begin_ + 1;
    if (s_.at(j) == '^') ++j;
    if (s_.at(j) == ']') ++j;
    while (j < s_.size()) {
      const char c = s_.at(j);
      if (c == ']') return j + 1;
      if (c == '\\' && s_.at(j + 1) == 'Q') {
        const size_t end = s_.text().find("\\E", j + 2);
        if (end == std::string_view::npos) return s_.size();
        j = end + 2;
      } else if (c == '\\') {
        j += 2;
      } else if (c == '[' && s_.at(j + 1) == ':') {
        const size_t end = s_.text().find(":]", j + 2);
        j = end == std::string_view::npos ? j + 1 : end + 2;
      } else {
        ++j;
      }
    }
    return s_.size();
  }

  bool read_item(Item& item) {
    item.begin = pos_;
    const char c = s_.at(pos_);
    if (c == '[') return read_bracket(item);
    if (c == '\\') return read_escaped(item);
    char32_t cp = 0;
    const size_t length = s_.decode(pos_, cp);
    if (length == 0) return fail(utf8_fault(pos_, pos_ + s_.invalid_length(pos_)));
    item.code_point = cp;
    pos_ += length;
    item.end = pos_;
    return true;
  }

  // "[" inside a class: a POSIX class "[:name:]" or "[:^name:]" (to the
  // first ":]", as RE2 looks for it), else a refused nested class.
  bool read_bracket(Item& item) {
    if (s_.at(pos_ + 1) == ':' && pos_ + 2 < s_.size()) {
      const size_t close = s_.text().find(":]", pos_ + 2);
      if (close != std::string_view::npos) {
        std::string_view name = s_.slice(pos_ + 2, close);
        const bool negated = !name.empty() && name.front() == '^';
        if (negated) name.remove_prefix(1);
        const auto ranges = posix_class_ranges(name);
        if (!ranges) {
          return fail(engine_fault("invalid character class range", s_.slice(pos_, close + 2), pos_, close + 2));
        }
        item.is_set = true;
        item.member = ranges_member(*ranges, negated, flags_.caseless);
        pos_ = close + 2;
        item.end = pos_;
        return true;
      }
    }
    if (!refuse("Nested character class" + at_position(pos_) +
                    " is not supported in value patterns; escape the \"[\" to match it literally.",
                pos_, pos_ + 1)) {
      return false;
    }
    // PCRE2 rejects collating elements ("[.a.]", "[=a=]") itself.
    if (s_.at(pos_ + 1) == '.' || s_.at(pos_ + 1) == '=') return fail(Fault{});
    item.code_point = '[';
    item.end = ++pos_;
    return true;
  }

  bool read_escaped(Item& item) {
    Escape escape = read_escape(s_, pos_, EscapePlace::kInClass, flags_, dialect_, 0);
    switch (escape.kind) {
      case Escape::Kind::kCharacter:
        item.code_point = escape.code_point;
        break;
      case Escape::Kind::kSet:
        item.is_set = true;
        item.member = std::move(escape.member);
        break;
      case Escape::Kind::kFault:
        return fail(std::move(escape.fault));
      default:  // nothing else stands in a class
        return fail(Fault{{}, false, pos_, escape.end});
    }
    pos_ = escape.end;
    item.end = pos_;
    return true;
  }

  ClassRead finish() {
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::kClass;
    node->source = {static_cast<uint32_t>(begin_), static_cast<uint32_t>(pos_)};
    size_t total = 0;
    for (const ClassMember& member : members_) total += member.set.size();
    node->set.reserve(total);
    for (const ClassMember& member : members_) node->set.insert(node->set.end(), member.set.begin(), member.set.end());
    normalize(node->set);
    if (negated_) node->set = complement(node->set);
    node->members = std::move(members_);
    node->negated = negated_;
    result_.node = std::move(node);
    result_.end = pos_;
    return std::move(result_);
  }

  const PatternSource& s_;
  size_t begin_;
  size_t pos_;
  const Flags& flags_;
  PatternDialect dialect_;
  std::optional<std::string>& refusal_;
  bool negated_ = false;
  std::vector<ClassMember> members_;
  ClassRead result_;
};

}  // namespace

ClassRead read_class(const PatternSource& source, size_t pos, const Flags& flags, PatternDialect dialect,
                     std::optional<std::string>& refusal) {
  return ClassReader(source, pos, flags, dialect, refusal).read();
}

}  // namespace vorlisk::pattern
