#include "core/base/utf8.h"

#include <cstring>

namespace vorlisk {
namespace {

constexpr bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
constexpr char32_t join_surrogates(uint32_t high, uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// Length of the maximal prefix of a valid sequence at `pos` (at least 1):
// what one U+FFFD replaces.
size_t maximal_ill_formed_length(std::string_view s, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const Utf8Lead lead = utf8_lead(byte(pos));
  size_t n = 1;
  while (n < lead.size && pos + n < s.size()) {
    const unsigned char b = byte(pos + n);
    const bool ok = (n == 1) ? (b >= lead.low && b <= lead.high) : ((b & 0xC0) == 0x80);
    if (!ok) break;
    ++n;
  }
  return n;
}

// Whether the three-byte form of a surrogate (ED A0..BF 80..BF), which is
// no well-formed character, starts at `pos`.
bool is_encoded_surrogate(std::string_view s, size_t pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  return s.size() - pos >= 3 && byte(pos) == 0xED && byte(pos + 1) >= 0xA0 &&
         byte(pos + 1) <= 0xBF && (byte(pos + 2) & 0xC0) == 0x80;
}

uint32_t surrogate_at(std::string_view s, size_t pos) {
  return ((static_cast<unsigned char>(s[pos]) & 0x0F) << 12) |
         ((static_cast<unsigned char>(s[pos + 1]) & 0x3F) << 6) |
         (static_cast<unsigned char>(s[pos + 2]) & 0x3F);
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char32_t decode_utf8_at(std::string_view text, size_t& pos) {
  const auto b = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[i])); };
  const char32_t b0 = b(pos);
  if (b0 < 0x80) {
    pos += 1;
    return b0;
  }
  if (b0 < 0xE0) {
    const char32_t cp = ((b0 & 0x1F) << 6) | (b(pos + 1) & 0x3F);
    pos += 2;
    return cp;
  }
  if (b0 < 0xF0) {
    const char32_t cp = ((b0 & 0x0F) << 12) | ((b(pos + 1) & 0x3F) << 6) | (b(pos + 2) & 0x3F);
    pos += 3;
    return cp;
  }
  const char32_t cp = ((b0 & 0x07) << 18) | ((b(pos + 1) & 0x3F) << 12) |
                      ((b(pos + 2) & 0x3F) << 6) | (b(pos + 3) & 0x3F);
  pos += 4;
  return cp;
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const Utf8Character character = utf8_character_at(text, pos);
    if (!character.well_formed) return false;
    pos += character.size;
  }
  return true;
}

std::string utf16le_to_utf8_lossy(std::string_view bytes) {
  const size_t units = bytes.size() / 2;
  const auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i + 1])) << 8);
  };
  std::string out;
  out.reserve(units * 3 / 2);
  for (size_t i = 0; i < units; ++i) {
    const uint32_t u = unit(i);
    if (is_high_surrogate(u) && i + 1 < units && is_low_surrogate(unit(i + 1))) {
      append_utf8(out, join_surrogates(u, unit(i + 1)));
      ++i;
    } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
      append_utf8(out, kReplacementCharacter);
    } else {
      append_utf8(out, u);
    }
  }
  return out;
}

std::string surrogate_utf8_to_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (is_encoded_surrogate(bytes, pos)) {
      const uint32_t u = surrogate_at(bytes, pos);
      if (is_high_surrogate(u) && is_encoded_surrogate(bytes, pos + 3) &&
          is_low_surrogate(surrogate_at(bytes, pos + 3))) {
        append_utf8(out, join_surrogates(u, surrogate_at(bytes, pos + 3)));
        pos += 6;
        continue;
      }
      // A stray surrogate is ill-formed UTF-8: replaced as the decoder
      // replaces it, one U+FFFD per byte (ED is a maximal subsequence alone).
      for (int i = 0; i < 3; ++i) append_utf8(out, kReplacementCharacter);
      pos += 3;
      continue;
    }
    const Utf8Character character = utf8_character_at(bytes, pos);
    if (!character.well_formed) {
      append_utf8(out, kReplacementCharacter);
      pos += maximal_ill_formed_length(bytes, pos);
      continue;
    }
    out.append(bytes.substr(pos, character.size));
    pos += character.size;
  }
  return out;
}

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  uint64_t high_bits = 0;
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    high_bits |= word;
  }
  for (; left > 0; ++p, --left) high_bits |= static_cast<unsigned char>(*p);
  return (high_bits & 0x8080808080808080ull) == 0;
}

}  // namespace vorlisk
