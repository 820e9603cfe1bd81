#include "core/render/pattern_syntax.h"

#include <algorithm>
#include <vector>

namespace vorlisk {
namespace {

constexpr size_t kEnd = std::string_view::npos;

std::string at(size_t pos) { return " at position " + std::to_string(pos); }

class PatternScanner {
 public:
  explicit PatternScanner(std::string_view pattern) : p_(pattern) {}

  std::optional<std::string> run() {
    while (i_ < p_.size()) {
      const char c = p_[i_];
      std::optional<std::string> refused;
      if (c == '\\') {
        refused = escape_outside_class();
      } else if (c == '[') {
        refused = character_class();
      } else if (c == '(') {
        refused = open_paren();
      } else if (c == ')') {
        close_group();
      } else if (c == '#' && extended_) {
        skip_past('\n', i_ + 1);  // extended-mode comment
      } else {
        ++i_;
      }
      if (refused) return refused;
    }
    return std::nullopt;
  }

 private:
  char peek(size_t pos) const { return pos < p_.size() ? p_[pos] : '\0'; }

  // Moves past the first `c` at or after `from` (to the end when none).
  void skip_past(char c, size_t from) {
    const size_t found = p_.find(c, from);
    i_ = found == kEnd ? p_.size() : found + 1;
  }

  // The escape at i_ (a backslash). Returns true when it was "\C".
  bool skip_escape() {
    const char e = peek(i_ + 1);
    switch (e) {
      case 'Q': {  // quoted run up to "\E": nothing in it is syntax
        const size_t end = p_.find("\\E", i_ + 2);
        i_ = end == kEnd ? p_.size() : end + 2;
        return false;
      }
      case 'c':  // control escape: the next character is its argument
        i_ = std::min(i_ + 3, p_.size());
        return false;
      case 'x':
      case 'o':
      case 'p':
      case 'P':
      case 'N':
      case 'g':
      case 'k':
        if (peek(i_ + 2) == '{') {
          skip_past('}', i_ + 3);
          return false;
        }
        break;
      case 'C':
        return true;
      default:
        break;
    }
    i_ = std::min(i_ + 2, p_.size());
    return false;
  }

  std::optional<std::string> escape_outside_class() {
    const size_t start = i_;
    if (skip_escape()) {
      return "The escape \\C" + at(start) +
             " matches a single byte, which can split a UTF-8 character; it is not "
             "supported in value patterns.";
    }
    return std::nullopt;
  }

  // The class opening at i_; leaves i_ after its closing "]".
  std::optional<std::string> character_class() {
    i_ += 1;
    if (peek(i_) == '^') ++i_;
    if (peek(i_) == ']') ++i_;  // a "]" first in the class is literal
    char previous = '\0';       // the last plain character, for && -- ~~
    while (i_ < p_.size()) {
      const char c = p_[i_];
      if (c == ']') {
        ++i_;
        return std::nullopt;
      }
      if (c == '\\') {
        skip_escape();  // "\C" in a class is an engine error already
        previous = '\0';
        continue;
      }
      if (c == '[') {
        if (skip_posix_class()) {
          previous = '\0';
          continue;
        }
        return "Nested character class" + at(i_) +
               " is not supported in value patterns; escape the \"[\" to match it "
               "literally.";
      }
      if ((c == '&' || c == '-' || c == '~') && previous == c) {
        return std::string("Character class set operation \"") + c + c + "\"" + at(i_ - 1) +
               " is not supported in value patterns; escape the characters to match them "
               "literally.";
      }
      previous = c;
      ++i_;
    }
    return std::nullopt;
  }

  // "[:name:]" at i_ inside a class: skips it and returns true. Any other
  // "[" returns false (collating elements such as "[.a.]" are no exception:
  // the linear engine reads them as plain characters).
  bool skip_posix_class() {
    const char delimiter = ':';
    if (peek(i_ + 1) != delimiter) return false;
    for (size_t j = i_ + 2; j < p_.size(); ++j) {
      const char c = p_[j];
      if (c == '\\' && (peek(j + 1) == ']' || peek(j + 1) == '\\')) {
        ++j;
      } else if (c == ']' || (c == '[' && peek(j + 1) == delimiter)) {
        return false;
      } else if (c == delimiter && peek(j + 1) == ']') {
        i_ = j + 2;
        return true;
      }
    }
    return false;
  }

  std::optional<std::string> open_paren() {
    const size_t start = i_;
    const char c1 = peek(i_ + 1);
    const char c2 = peek(i_ + 2);
    if (c1 == '?' && c2 == '#') {  // comment
      skip_past(')', i_ + 3);
      return std::nullopt;
    }
    if (c1 == '*' && !(c2 >= 'a' && c2 <= 'z')) {  // verb such as (*UTF) or (*MARK:x)
      skip_past(')', i_ + 2);
      return std::nullopt;
    }
    if (c1 == '?' && c2 == 'C') {
      skip_callout();
      return std::nullopt;
    }
    bool extended = extended_;
    if (c1 == '?') {
      size_t j = i_ + 2;
      if (read_option_letters(j, extended)) {
        if (peek(j) == ')') {  // applies to the rest of the enclosing group
          extended_ = extended;
          i_ = j + 1;
          return std::nullopt;
        }
        if (peek(j) == ':') {
          i_ = j;  // the ':' is skipped below with the group's opening
        }
      }
    }
    saved_extended_.push_back(extended_);
    extended_ = extended;
    if (saved_extended_.size() > kPatternNestLimit) {
      return "Groups nest deeper than the limit of " + std::to_string(kPatternNestLimit) +
             " levels" + at(start) + ".";
    }
    ++i_;
    return std::nullopt;
  }

  // Option letters such as "i", "x-s" or "^x" from `j`; true when the run
  // ends at ")" or ":" (an option setting), with `extended` updated and
  // `j` on that character.
  bool read_option_letters(size_t& j, bool& extended) const {
    bool on = true;
    bool result = extended;
    for (; j < p_.size(); ++j) {
      const char c = p_[j];
      if (c == ')' || c == ':') {
        extended = result;
        return true;
      }
      if (c == '-') {
        on = false;
      } else if (c == '^') {
        result = false;
      } else if (c == 'x') {
        result = on;
      } else if (c != 'i' && c != 'm' && c != 'n' && c != 's' && c != 'J' && c != 'U') {
        return false;
      }
    }
    return false;
  }

  // "(?C" at i_: a numbered callout "(?C12)" or a string one "(?C'text')",
  // whose text may hold anything (a doubled delimiter stands for itself).
  void skip_callout() {
    size_t j = i_ + 3;
    char open = peek(j);
    char close = open == '{' ? '}' : open;
    const std::string_view delimiters = "`'\"^%#${";
    if (open != '\0' && delimiters.find(open) != kEnd) {
      for (++j; j < p_.size(); ++j) {
        if (p_[j] != close) continue;
        if (peek(j + 1) == close) {
          ++j;
          continue;
        }
        ++j;
        break;
      }
    }
    skip_past(')', j);
  }

  void close_group() {
    if (!saved_extended_.empty()) {
      extended_ = saved_extended_.back();
      saved_extended_.pop_back();
    }
    ++i_;
  }

  std::string_view p_;
  size_t i_ = 0;
  bool extended_ = false;
  std::vector<bool> saved_extended_;  // one per open group
};

}  // namespace

std::optional<std::string> find_refused_construct(std::string_view pattern) {
  return PatternScanner(pattern).run();
}

}  // namespace vorlisk
