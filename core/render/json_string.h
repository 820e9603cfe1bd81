// JSON strings: which bytes need an escape, and the writer of one quoted
// string into a TextBuffer.
//
// Every key and most string values of a record are short and need no
// escape: such a text of up to 16 bytes is written inline, as one or two
// words tested and stored whole. Longer texts and texts with an escape go
// to the general writer.
//
// Pure functions; safe on any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/render/byte_scan.h"
#include "core/render/text_buffer.h"

namespace vorlisk {

// Bytes that JSON strings must escape: below 0x20, '"' and '\\'.
constexpr uint64_t needs_json_escape(uint64_t word) { return byte_scan::below_or_equal_to(word, 0x20, '"', '\\'); }

// Any text: quoted, escaped where JSON requires it.
void write_json_string_in_general(std::string_view text, TextBuffer& out);

// Appends `text` as a quoted, escaped JSON string.
inline void write_json_string(std::string_view text, TextBuffer& out) {
  const size_t n = text.size();
  if (n > 16) return write_json_string_in_general(text, out);
  // One word, or two overlapping ones; a text under eight bytes is read as
  // one word padded with a byte that needs no escape.
  uint64_t first = byte_scan::kOnes * 'a';
  uint64_t last = first;
  size_t last_at = 0;
  if (n >= 8) {
    first = byte_scan::load<uint64_t>(text.data());
    last_at = n - 8;
    last = byte_scan::load<uint64_t>(text.data() + last_at);
  } else if (n != 0) {
    first = last = byte_scan::load_short(text.data(), n, 'a');
  }
  if ((needs_json_escape(first) | needs_json_escape(last)) != 0) return write_json_string_in_general(text, out);
  // Whole words may be stored past the closing quote: room for them.
  char* to = out.room(16 + 2);
  to[0] = '"';
  std::memcpy(to + 1, &first, sizeof first);
  std::memcpy(to + 1 + last_at, &last, sizeof last);
  to[n + 1] = '"';
  out.commit(to + n + 2);
}

}  // namespace vorlisk
