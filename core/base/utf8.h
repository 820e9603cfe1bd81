// UTF-8 helpers shared by the renderers, the value patterns and the text
// conversion: writing a code point, reading one character of valid text or
// of text that may not be UTF-8, and checking and repairing text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlisk {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Appends the UTF-8 form of `cp` (a scalar value; surrogates are written
// as their three-byte form, which callers avoid).
void append_utf8(std::string& out, char32_t cp);

// Decodes the character at `pos` of valid UTF-8 text and advances `pos`.
char32_t decode_utf8_at(std::string_view text, size_t& pos);

// What a byte starts in UTF-8: the size of its well-formed sequence, and
// the range its second byte must lie in (no overlong form, no surrogate,
// nothing above U+10FFFF), every later one being any continuation byte.
// Size 0 for ASCII and for a byte that starts no sequence.
struct Utf8Lead {
  uint8_t size;
  unsigned char low;
  unsigned char high;
};

constexpr Utf8Lead utf8_lead(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
  if (byte == 0xE0) return {3, 0xA0, 0xBF};
  if (byte == 0xED) return {3, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
  if (byte == 0xF0) return {4, 0x90, 0xBF};
  if (byte == 0xF4) return {4, 0x80, 0x8F};
  if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
  return {0, 0, 0};
}

// One character of text that may not be UTF-8: a well-formed character and
// its size, or a byte that starts none, which stands alone: size 1,
// `code_point` the byte itself, `well_formed` false.
struct Utf8Character {
  char32_t code_point;
  uint8_t size;
  bool well_formed;
};

// The character that starts at `pos`, before the end of `text`. Inline: a
// search reads every character of its text with it.
inline Utf8Character utf8_character_at(std::string_view text, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char first = byte(0);
  if (first < 0x80) return {first, 1, true};
  const Utf8Character ill_formed{first, 1, false};
  const Utf8Lead lead = utf8_lead(first);
  if (lead.size == 0 || text.size() - pos < lead.size || byte(1) < lead.low || byte(1) > lead.high) {
    return ill_formed;
  }
  char32_t cp = first & (0x7F >> lead.size);
  for (size_t i = 1; i < lead.size; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return ill_formed;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  return {cp, lead.size, true};
}

// Whether every byte of `text` is ASCII; a word at a time, as it runs for
// every key and every text a boundary pattern searches.
bool is_ascii(std::string_view text);

// Whether `text` is well-formed UTF-8 (no surrogates, no overlongs).
bool is_valid_utf8(std::string_view text);

// Little-endian UTF-16 code units (a final odd byte is ignored) to UTF-8.
// A high surrogate directly followed by a low one is joined into one
// character; every other surrogate becomes U+FFFD.
std::string utf16le_to_utf8_lossy(std::string_view bytes);

// UTF-8 that may hold surrogates in their three-byte form (as written by
// the "surrogatepass" error handler) to well-formed UTF-8: a high surrogate
// followed by a low one is joined into one character like in UTF-16; any
// other ill-formed sequence is replaced, one U+FFFD per maximal ill-formed
// subsequence.
std::string surrogate_utf8_to_utf8_lossy(std::string_view bytes);

}  // namespace vorlisk
