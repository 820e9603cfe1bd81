#include "core/render/json_check.h"

#include <algorithm>
#include <string>

#include "core/base/utf8.h"

namespace vorlisk {
namespace {

constexpr const char* kEofWhileParsingList = "EOF while parsing a list";
constexpr const char* kEofWhileParsingObject = "EOF while parsing an object";
constexpr const char* kEofWhileParsingString = "EOF while parsing a string";
constexpr const char* kEofWhileParsingValue = "EOF while parsing a value";
constexpr const char* kExpectedColon = "expected `:`";
constexpr const char* kExpectedListCommaOrEnd = "expected `,` or `]`";
constexpr const char* kExpectedObjectCommaOrEnd = "expected `,` or `}`";
constexpr const char* kExpectedIdent = "expected ident";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kInvalidCodePoint = "invalid unicode code point";
constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* kKeyMustBeString = "key must be a string";
constexpr const char* kTrailingCharacters = "trailing characters";

constexpr int kEnd = -1;

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_hex(int c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text) {}

  std::variant<std::string_view, JsonError> run() {
    skip_whitespace();
    const size_t start = index_;
    if (!value()) return std::move(error_);
    const size_t end = index_;
    if (skip_whitespace() != kEnd) {
      fail_at_peek(kTrailingCharacters);
      return std::move(error_);
    }
    return text_.substr(start, end - start);
  }

 private:
  int peek() const { return index_ < text_.size() ? static_cast<unsigned char>(text_[index_]) : kEnd; }
  void eat() { ++index_; }
  int next() { return index_ < text_.size() ? static_cast<unsigned char>(text_[index_++]) : kEnd; }

  int skip_whitespace() {
    for (;;) {
      const int c = peek();
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return c;
      eat();
    }
  }

  // `end` is one past the byte the problem was found at (the text's length
  // when it ended too early).
  bool fail(const char* description, size_t end) {
    const size_t line_start = [&]() -> size_t {
      const size_t newline = text_.substr(0, end).rfind('\n');
      return newline == std::string_view::npos ? 0 : newline + 1;
    }();
    const auto lines_before = static_cast<size_t>(
        std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(line_start), '\n'));
    error_ = JsonError{description, lines_before + 1, end - line_start};
    return false;
  }
  bool fail_here(const char* description) { return fail(description, index_); }
  bool fail_at_peek(const char* description) { return fail(description, std::min(text_.size(), index_ + 1)); }

  // One JSON value without recursion: `open_` holds the containers entered
  // and not yet closed, innermost last.
  bool value() {
    int enclosing = 0;  // the container whose next member comes, if any
    for (;;) {
      const int c = skip_whitespace();
      if (c == kEnd) return fail_at_peek(kEofWhileParsingValue);
      int frame = 0;
      switch (c) {
        case 'n':
          eat();
          if (!ident("ull")) return false;
          break;
        case 't':
          eat();
          if (!ident("rue")) return false;
          break;
        case 'f':
          eat();
          if (!ident("alse")) return false;
          break;
        case '-':
          eat();
          if (!number()) return false;
          break;
        case '"':
          eat();
          if (!string()) return false;
          break;
        case '[':
        case '{':
          if (enclosing != 0) open_.push_back(static_cast<char>(enclosing));
          enclosing = 0;
          eat();
          frame = c;
          break;
        default:
          if (!is_digit(c)) return fail_at_peek(kExpectedValue);
          if (!number()) return false;
          break;
      }

      bool accept_comma;
      if (frame != 0) {
        accept_comma = false;
      } else if (enclosing != 0) {
        accept_comma = true;
        frame = enclosing;
        enclosing = 0;
      } else if (!open_.empty()) {
        accept_comma = true;
        frame = open_.back();
        open_.pop_back();
      } else {
        return true;
      }

      // Close as many containers as end here, or pass one comma.
      for (;;) {
        const int d = skip_whitespace();
        if (d == ',' && accept_comma) {
          eat();
          break;
        }
        const bool closes = (d == ']' && frame == '[') || (d == '}' && frame == '{');
        if (!closes) {
          if (d == kEnd) return fail_at_peek(frame == '[' ? kEofWhileParsingList : kEofWhileParsingObject);
          if (accept_comma) {
            return fail_at_peek(frame == '[' ? kExpectedListCommaOrEnd : kExpectedObjectCommaOrEnd);
          }
          break;
        }
        eat();
        if (open_.empty()) return true;
        frame = open_.back();
        open_.pop_back();
        accept_comma = true;
      }

      if (frame == '{') {
        const int k = skip_whitespace();
        if (k == kEnd) return fail_at_peek(kEofWhileParsingObject);
        if (k != '"') return fail_at_peek(kKeyMustBeString);
        eat();
        if (!string()) return false;
        const int colon = skip_whitespace();
        if (colon == kEnd) return fail_at_peek(kEofWhileParsingObject);
        if (colon != ':') return fail_at_peek(kExpectedColon);
        eat();
      }
      enclosing = frame;
    }
  }

  bool ident(std::string_view rest) {
    for (const char expected : rest) {
      const int c = next();
      if (c == kEnd) return fail_here(kEofWhileParsingValue);
      if (c != static_cast<unsigned char>(expected)) return fail_here(kExpectedIdent);
    }
    return true;
  }

  // After an optional "-": int [frac] [exp].
  bool number() {
    const int first = next();
    if (first == '0') {
      if (is_digit(peek())) return fail_at_peek(kInvalidNumber);  // one leading zero only
    } else if (first >= '1' && first <= '9') {
      while (is_digit(peek())) eat();
    } else {
      return fail_here(kInvalidNumber);
    }
    if (peek() == '.') {
      eat();
      if (!is_digit(peek())) return fail_at_peek(kInvalidNumber);
      while (is_digit(peek())) eat();
    }
    if (peek() == 'e' || peek() == 'E') {
      eat();
      if (peek() == '+' || peek() == '-') eat();
      if (!is_digit(next())) return fail_here(kInvalidNumber);
      while (is_digit(peek())) eat();
    }
    return true;
  }

  // After the opening quote, through the closing one.
  bool string() {
    for (;;) {
      const int c = peek();
      if (c == kEnd) return fail_here(kEofWhileParsingString);
      if (c == '"') {
        eat();
        return true;
      }
      if (c == '\\') {
        eat();
        if (!escape()) return false;
      } else if (c < 0x20) {
        return fail_here(kControlCharacter);
      } else if (c < 0x80) {
        eat();
      } else {
        const Utf8Character character = utf8_character_at(text_, index_);
        if (!character.well_formed) return fail_here(kInvalidCodePoint);
        index_ += character.size;
      }
    }
  }

  bool escape() {
    const int c = next();
    switch (c) {
      case kEnd:
        return fail_here(kEofWhileParsingString);
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case 'u':
        if (text_.size() - index_ < 4) {
          index_ = text_.size();
          return fail_here(kEofWhileParsingString);
        }
        index_ += 4;
        for (size_t k = index_ - 4; k < index_; ++k) {
          if (!is_hex(static_cast<unsigned char>(text_[k]))) return fail_here(kInvalidEscape);
        }
        return true;
      default:
        return fail_here(kInvalidEscape);
    }
  }

  std::string_view text_;
  size_t index_ = 0;
  std::string open_;
  JsonError error_;
};

}  // namespace

std::variant<std::string_view, JsonError> check_single_json_value(std::string_view text) {
  return Checker(text).run();
}

}  // namespace vorlisk
