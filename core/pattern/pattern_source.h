// The text of a value pattern as the parser reads it: its characters, the
// white space and comments that extended mode ignores, the flags in effect,
// and what is wrong where. Internal to the pattern parser
// (pattern_parser.h); immutable, safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorlisk::pattern {

// The flags in effect at a point of a pattern.
struct Flags {
  bool caseless = false;    // i
  bool multi_line = false;  // m
  bool dot_all = false;     // s
  bool ungreedy = false;    // U
  bool extended = false;    // x
};

// What is wrong with the bytes [begin, end) of a pattern, in the words of
// the linear dialect: RE2's message for what RE2 rejects, or a refusal of
// ours.
struct Fault {
  std::string text;
  bool refusal = false;
  size_t begin = 0;
  size_t end = 0;
};

// RE2's error text: its message and the piece of the pattern it quotes.
Fault engine_fault(std::string_view message, std::string_view quoted, size_t begin, size_t end);
// RE2's error for bytes that are not UTF-8, which quotes nothing.
Fault utf8_fault(size_t begin, size_t end);
Fault refusal_fault(std::string text, size_t begin, size_t end);
// " at position 12", as refusals say where they are.
std::string at_position(size_t pos);

class PatternSource {
 public:
  explicit PatternSource(std::string_view text) : text_(text) {}

  std::string_view text() const { return text_; }
  size_t size() const { return text_.size(); }
  // The byte at `pos`; '\0' past the end.
  char at(size_t pos) const { return pos < text_.size() ? text_[pos] : '\0'; }
  std::string_view slice(size_t begin, size_t end) const { return text_.substr(begin, end - begin); }

  // The character at `pos` into `cp`, and the length of its UTF-8 form; 0
  // when the bytes there are no well-formed character (or at the end).
  size_t decode(size_t pos, char32_t& cp) const;
  // The length of the bytes from `pos` that are no character: the byte
  // there and the continuation bytes after it.
  size_t invalid_length(size_t pos) const;
  // Reading characters from `begin` up to `end`: where the first bytes that
  // are no character start (decode() gives 0 there); npos when none are.
  size_t first_invalid(size_t begin, size_t end) const;

  // The length of the White_Space character at `pos`, or 0.
  size_t space_at(size_t pos) const;
  // Under extended mode, moves `pos` past white space and "#" comments;
  // true when it moved.
  bool skip_ignored(size_t& pos, const Flags& flags) const;
  // The first byte at or after `pos` that extended mode does not ignore.
  char significant_at(size_t pos, const Flags& flags) const {
    skip_ignored(pos, flags);
    return at(pos);
  }

 private:
  std::string_view text_;
};

inline bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline unsigned hex_value(char c) {
  return c <= '9' ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
}
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }
inline bool is_ascii_alnum(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

}  // namespace vorlisk::pattern
