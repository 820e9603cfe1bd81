#include "core/pattern/pattern_escapes.h"

#include <algorithm>
#include <optional>
#include <string>

#include "core/pattern/pattern_members.h"

namespace vorlisk::pattern {
namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;

bool is_boundary_name_char(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'; }

class EscapeReader {
 public:
  EscapeReader(const PatternSource& source, size_t pos, EscapePlace place, const Flags& flags,
               PatternDialect dialect, uint32_t captures_before)
      : s_(source),
        pos_(pos),
        in_class_(place == EscapePlace::kInClass),
        flags_(flags),
        linear_(dialect == PatternDialect::kLinear),
        captures_before_(captures_before) {}

  Escape read() {
    if (pos_ + 1 >= s_.size()) {
      return linear_ ? fault(engine_fault("trailing \\", "", pos_, pos_ + 1)) : left_to_engine(pos_ + 1);
    }
    const char e = s_.at(pos_ + 1);
    switch (e) {
      case 'd':
      case 'D':
      case 'w':
      case 'W':
      case 's':
      case 'S':
        return set(unicode_set_member(perl_class_set(e), e <= 'Z', flags_.caseless), pos_ + 2);
      case 'p':
      case 'P':
        // RE2 reads a property in a class only when more than "\p" is left.
        if (!in_class_ || !linear_ || pos_ + 2 < s_.size()) return property();
        break;
      case 'u':
      case 'U':
        return unicode_escape();
      case 'v':  // the vertical tab, in both dialects (PCRE2 would read a class)
        return character(0x0B, pos_ + 2);
      default:
        break;
    }
    if (!in_class_) {
      if (std::optional<Escape> outside = outside_class(e)) return std::move(*outside);
    }
    return linear_ ? engine_escape() : pcre2_escape(e);
  }

 private:
  Escape character(char32_t cp, size_t end) {
    Escape escape;
    escape.kind = Escape::Kind::kCharacter;
    escape.code_point = cp;
    escape.end = end;
    return escape;
  }

  Escape set(ClassMember member, size_t end) {
    Escape escape;
    escape.kind = Escape::Kind::kSet;
    escape.member = std::move(member);
    escape.end = end;
    return escape;
  }

  Escape assertion(Assertion kind, size_t end) {
    Escape escape;
    escape.kind = Escape::Kind::kAssertion;
    escape.assertion = kind;
    escape.end = end;
    return escape;
  }

  Escape foreign(size_t end, bool backreference = false) {
    Escape escape;
    escape.kind = Escape::Kind::kForeign;
    escape.backreference = backreference;
    escape.end = end;
    return escape;
  }

  Escape fault(Fault f) {
    Escape escape;
    escape.kind = Escape::Kind::kFault;
    escape.end = f.end;
    escape.fault = std::move(f);
    return escape;
  }

  // A fault in the linear dialect, the escape's bytes for PCRE2 to judge in
  // the backtracking one.
  Escape engine_error(std::string_view message, size_t end) {
    if (!linear_) return left_to_engine(end);
    return fault(engine_fault(message, s_.slice(pos_, end), pos_, end));
  }

  // The bytes up to `end` for PCRE2 to read, or reject, its own way: a
  // fault without a text, whose place counts.
  Escape left_to_engine(size_t end) { return fault(Fault{{}, false, pos_, std::min(end, s_.size())}); }

  // The escapes that only mean something outside a class; nothing for
  // the others.
  std::optional<Escape> outside_class(char e) {
    switch (e) {
      case 'b':
      case 'B':
      case '<':
      case '>':
        return word_assertion(e);
      case 'A':
        return assertion(Assertion::kTextStart, pos_ + 2);
      case 'z':
        return assertion(Assertion::kTextEnd, pos_ + 2);
      case 'C':
        return fault(refusal_fault("The escape \\C" + at_position(pos_) +
                                       " matches a single byte, which can split a UTF-8 character; "
                                       "it is not supported in value patterns.",
                                   pos_, pos_ + 2));
      default:
        return std::nullopt;
    }
  }

  // \b, \B, \<, \> or \b{name}.
  Escape word_assertion(char e) {
    size_t end = pos_ + 2;
    Assertion kind = e == 'B'   ? Assertion::kNotWordBoundary
                     : e == '<' ? Assertion::kWordStart
                     : e == '>' ? Assertion::kWordEnd
                                : Assertion::kWordBoundary;
    if (e != 'b' || s_.at(end) != '{') return assertion(kind, end);
    // \b{name}; a "{" that starts no name begins a repetition of \b.
    size_t j = end + 1;
    s_.skip_ignored(j, flags_);
    if (!is_boundary_name_char(s_.at(j))) return assertion(kind, end);
    std::string name;
    while (is_boundary_name_char(s_.at(j))) {
      name.push_back(s_.at(j++));
      s_.skip_ignored(j, flags_);
    }
    const bool closed = s_.at(j) == '}';
    end = closed ? j + 1 : j;
    if (closed && name == "start") return assertion(Assertion::kWordStart, end);
    if (closed && name == "end") return assertion(Assertion::kWordEnd, end);
    if (closed && name == "start-half") return assertion(Assertion::kWordStartHalf, end);
    if (closed && name == "end-half") return assertion(Assertion::kWordEndHalf, end);
    return fault(refusal_fault("Unknown word boundary \"" + std::string(s_.slice(pos_, end)) + "\"" +
                                   at_position(pos_) +
                                   "; the named ones are \\b{start}, \\b{end}, \\b{start-half} and "
                                   "\\b{end-half}.",
                               pos_, end));
  }

  // \p or \P: a property by any of its names, "^" negating it as in RE2.
  Escape property() {
    bool negated = s_.at(pos_ + 1) == 'P';
    size_t j = pos_ + 2;
    std::string_view name;
    if (s_.at(j) == '{') {
      const size_t close = s_.text().find('}', j + 1);
      if (close == std::string_view::npos) {
        if (s_.first_invalid(pos_, s_.size()) != std::string_view::npos) return utf8_error(pos_);
        return engine_error("invalid character class range", s_.size());
      }
      name = s_.slice(j + 1, close);
      if (s_.first_invalid(j + 1, close) != std::string_view::npos) return utf8_error(j + 1);
      j = close + 1;
    } else {
      char32_t cp = 0;
      const size_t length = s_.decode(j, cp);
      if (length == 0 && j < s_.size()) return utf8_error(j);
      name = s_.slice(j, j + length);
      j += length;
    }
    if (!name.empty() && name.front() == '^') {
      negated = !negated;
      name.remove_prefix(1);
    }
    const std::optional<UnicodeProperty> found = name.empty() ? std::nullopt : find_unicode_property(name);
    if (!found) return engine_error("invalid character class range", j);
    return set(unicode_set_member(found->set, negated != found->negated, flags_.caseless), j);
  }

  Escape utf8_error(size_t at) {
    if (!linear_) return left_to_engine(at + s_.invalid_length(at));
    return fault(utf8_fault(pos_, at + s_.invalid_length(at)));
  }

  // The hex digits of a braced code point from `j` (just after "{"), white
  // space allowed between them in extended mode: the code point and where
  // the "}" ends; nothing when malformed.
  std::optional<std::pair<char32_t, size_t>> braced_code_point(size_t j) const {
    uint32_t value = 0;
    size_t digits = 0;
    while (j < s_.size() && s_.at(j) != '}') {
      if (s_.skip_ignored(j, flags_)) continue;
      if (!is_hex_digit(s_.at(j))) return std::nullopt;
      value = value * 16 + hex_value(s_.at(j++));
      if (value > kMaxCodePoint) return std::nullopt;
      ++digits;
    }
    if (j >= s_.size() || digits == 0) return std::nullopt;
    return std::pair(static_cast<char32_t>(value), j + 1);
  }

  // \x.. \u.... \U........ or a braced form, as the pattern syntax reads
  // them; nothing when malformed or a surrogate.
  std::optional<std::pair<char32_t, size_t>> code_point_escape() const {
    const char e = s_.at(pos_ + 1);
    size_t j = pos_ + 2;
    std::optional<std::pair<char32_t, size_t>> found;
    if (s_.at(j) == '{') {
      found = braced_code_point(j + 1);
    } else {
      const size_t count = e == 'x' ? 2 : e == 'u' ? 4 : 8;
      uint32_t value = 0;
      for (size_t k = 0; k < count; ++k, ++j) {
        if (!is_hex_digit(s_.at(j))) return std::nullopt;
        value = value * 16 + hex_value(s_.at(j));
      }
      if (value <= kMaxCodePoint) found = std::pair(static_cast<char32_t>(value), j);
    }
    if (found && is_surrogate(found->first)) return std::nullopt;
    return found;
  }

  Escape unicode_escape() {
    if (const auto escaped = code_point_escape()) return character(escaped->first, escaped->second);
    return engine_error("invalid escape sequence", pos_ + 2);
  }

  // The other escapes by RE2's rules (its ParseEscape).
  Escape engine_escape() {
    if (s_.at(pos_ + 1) == 'x') {
      if (const auto escaped = code_point_escape()) return character(escaped->first, escaped->second);
    }
    char32_t c = 0;
    size_t j = pos_ + 1;
    size_t length = s_.decode(j, c);
    if (length == 0) return utf8_error(j);
    j += length;
    switch (c) {
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
        // A single non-zero digit would be a backreference, which RE2 lacks.
        if (!is_octal_digit(s_.at(j))) return engine_error("invalid escape sequence", j);
        [[fallthrough]];
      case '0': {
        char32_t code = c - '0';
        for (int more = 0; more < 2 && is_octal_digit(s_.at(j)); ++more) code = code * 8 + (s_.at(j++) - '0');
        return character(code, j);
      }
      case 'x': {
        if (j >= s_.size()) return engine_error("invalid escape sequence", j);
        length = s_.decode(j, c);
        if (length == 0) return utf8_error(j);
        j += length;
        if (c == '{') {
          // Any number of hex digits, at least one; RE2 quotes up to the
          // character it stopped at.
          length = s_.decode(j, c);
          if (length == 0) return utf8_error(j);
          j += length;
          uint32_t code = 0;
          int digits = 0;
          while (c < 0x80 && is_hex_digit(static_cast<char>(c))) {
            ++digits;
            code = code * 16 + hex_value(static_cast<char>(c));
            if (code > kMaxCodePoint || j >= s_.size()) return engine_error("invalid escape sequence", j);
            length = s_.decode(j, c);
            if (length == 0) return utf8_error(j);
            j += length;
          }
          if (c != '}' || digits == 0) return engine_error("invalid escape sequence", j);
          return character(code, j);
        }
        if (j >= s_.size()) return engine_error("invalid escape sequence", j);
        char32_t c1 = 0;
        length = s_.decode(j, c1);
        if (length == 0) return utf8_error(j);
        j += length;
        const bool hex = c < 0x80 && c1 < 0x80 && is_hex_digit(static_cast<char>(c)) &&
                         is_hex_digit(static_cast<char>(c1));
        if (!hex) return engine_error("invalid escape sequence", j);
        return character(hex_value(static_cast<char>(c)) * 16 + hex_value(static_cast<char>(c1)), j);
      }
      case 'n':
        return character('\n', j);
      case 'r':
        return character('\r', j);
      case 't':
        return character('\t', j);
      case 'a':
        return character('\a', j);
      case 'f':
        return character('\f', j);
      default:
        // Escaped ASCII punctuation is itself; letters, digits and
        // anything beyond ASCII are no escape RE2 knows.
        if (c < 0x80 && !is_ascii_alnum(c)) return character(c, j);
        return engine_error("invalid escape sequence", j);
    }
  }

  // The other escapes by PCRE2's rules. What it reads its own way, or
  // rejects, is left for it as the escape's bytes.
  Escape pcre2_escape(char e) {
    const size_t after = pos_ + 2;
    switch (e) {
      case 'a':
        return character('\a', after);
      case 'e':
        return character(0x1B, after);
      case 'f':
        return character('\f', after);
      case 'n':
        return character('\n', after);
      case 'r':
        return character('\r', after);
      case 't':
        return character('\t', after);
      case 'b':  // in a class, the backspace
        return character('\b', after);
      case 'x':
        return pcre2_hex();
      case 'o':
        return pcre2_braced_octal();
      case 'c':
        return control();
      case 'N':
        return in_class_ ? left_to_engine(after) : named_character();
      case 'E':
        return in_class_ ? left_to_engine(after) : ignored(after);
      case 'Z':
      case 'G':
      case 'K':
      case 'X':
      case 'R':
      case 'h':
      case 'H':
        return in_class_ ? left_to_engine(after) : foreign(after);
      case 'g':
      case 'k':
        return in_class_ ? left_to_engine(after) : reference(e);
      default:
        break;
    }
    if (is_digit(e)) return numbered(e);
    char32_t c = 0;
    const size_t length = s_.decode(pos_ + 1, c);
    if (length == 0) return utf8_error(pos_ + 1);
    if (is_ascii_alnum(c)) return left_to_engine(after);  // unknown to PCRE2 too
    return character(c, pos_ + 1 + length);  // any other character escaped is itself
  }

  Escape ignored(size_t end) {
    Escape escape;
    escape.kind = Escape::Kind::kIgnored;
    escape.end = end;
    return escape;
  }

  // \x{..} with any number of hex digits, or \x with up to two.
  Escape pcre2_hex() {
    size_t j = pos_ + 2;
    if (s_.at(j) == '{') {
      const auto braced = braced_code_point(j + 1);
      if (!braced || is_surrogate(braced->first)) return left_to_engine(j + 1);
      return character(braced->first, braced->second);
    }
    char32_t code = 0;
    for (int digits = 0; digits < 2 && is_hex_digit(s_.at(j)); ++digits) code = code * 16 + hex_value(s_.at(j++));
    return character(code, j);
  }

  Escape pcre2_braced_octal() {
    size_t j = pos_ + 2;
    if (s_.at(j) != '{') return left_to_engine(j);
    uint32_t code = 0;
    size_t digits = 0;
    for (++j; is_octal_digit(s_.at(j)); ++j, ++digits) {
      code = code * 8 + static_cast<uint32_t>(s_.at(j) - '0');
      if (code > kMaxCodePoint) return left_to_engine(j + 1);
    }
    if (digits == 0 || s_.at(j) != '}' || is_surrogate(code)) return left_to_engine(j + 1);
    return character(code, j + 1);
  }

  // \cX: the control character of an ASCII printable X.
  Escape control() {
    const char x = s_.at(pos_ + 2);
    if (pos_ + 2 >= s_.size() || x < 0x20 || x > 0x7E) return left_to_engine(std::min(pos_ + 3, s_.size()));
    const char upper = (x >= 'a' && x <= 'z') ? static_cast<char>(x - 'a' + 'A') : x;
    return character(static_cast<char32_t>(upper ^ 0x40), pos_ + 3);
  }

  // \N{U+hhhh} is a code point; \N alone is any character but the line
  // feed, PCRE2's to match.
  Escape named_character() {
    if (s_.at(pos_ + 2) == '{' && s_.at(pos_ + 3) == 'U' && s_.at(pos_ + 4) == '+') {
      const auto braced = braced_code_point(pos_ + 5);
      if (braced && !is_surrogate(braced->first)) return character(braced->first, braced->second);
    }
    return foreign(pos_ + 2);
  }

  // \1 to \9, and \10 and more when there are that many groups before,
  // are backreferences; \0 and other digits an octal character code.
  Escape numbered(char e) {
    size_t j = pos_ + 1;
    if (e != '0' && !in_class_) {
      uint64_t number = 0;
      while (is_digit(s_.at(j)) && number < 100000) number = number * 10 + static_cast<uint64_t>(s_.at(j++) - '0');
      while (is_digit(s_.at(j))) ++j;
      if (number < 10 || e == '8' || e == '9' || number <= captures_before_) return foreign(j, true);
      j = pos_ + 1;
    }
    if (!is_octal_digit(e)) return left_to_engine(pos_ + 2);
    char32_t code = 0;
    for (int digits = 0; digits < 3 && is_octal_digit(s_.at(j)); ++digits) code = code * 8 + (s_.at(j++) - '0');
    return character(code, j);
  }

  // \g and \k: references to a group by number or name. \g<..> and \g'..'
  // call the group instead.
  Escape reference(char e) {
    size_t j = pos_ + 2;
    const char open = s_.at(j);
    const char close = open == '{' ? '}' : open == '<' ? '>' : open == '\'' ? '\'' : '\0';
    if (close != '\0') {
      const size_t found = s_.text().find(close, j + 1);
      if (found == std::string_view::npos) return left_to_engine(j + 1);
      return foreign(found + 1, e == 'k' || open == '{');
    }
    if (e == 'g') {
      if (s_.at(j) == '+' || s_.at(j) == '-') ++j;
      const size_t digits = j;
      while (is_digit(s_.at(j))) ++j;
      if (j > digits) return foreign(j, true);
    }
    return left_to_engine(pos_ + 2);
  }

  const PatternSource& s_;
  size_t pos_;
  bool in_class_;
  const Flags& flags_;
  bool linear_;
  uint32_t captures_before_;
};

}  // namespace

Escape read_escape(const PatternSource& source, size_t pos, EscapePlace place, const Flags& flags,
                   PatternDialect dialect, uint32_t captures_before) {
  return EscapeReader(source, pos, place, flags, dialect, captures_before).read();
}

}  // namespace vorlisk::pattern
