// UTF-8 helpers shared by the renderers and the text conversion.
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
