#include "core/render/console_text.h"

#include "core/base/utf8.h"
#include "core/render/byte_scan.h"
#include "core/render/number_text.h"
#include "core/render/redaction.h"
#include "core/render/sensitive_keys.h"

namespace vorlisk {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

bool in_escape_set(char32_t cp) {
  return cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) || cp == 0x061C;
}

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

// Bytes outside printable ASCII (0x20..0x7E): the start of a character
// that may need an escape.
constexpr uint64_t unprintable(uint64_t word) {
  return byte_scan::below(word, 0x20) | byte_scan::del_or_high(word);
}

constexpr uint64_t unprintable_or_quoting(uint64_t word) {
  return byte_scan::below_or_equal_to(word, 0x20, '"', '\\') | byte_scan::del_or_high(word);
}

// Bytes that make a key quoted, or may (any non-ASCII byte): white space
// and control characters, DEL, '"', '=' and '\\'; for a nested key also
// ",:{}".
constexpr uint64_t breaks_bare_key(uint64_t word) {
  return byte_scan::below_or_equal_to(word, 0x21, '"', '=', '\\') | byte_scan::del_or_high(word);
}

constexpr uint64_t breaks_bare_nested_key(uint64_t word) {
  return byte_scan::below_or_equal_to(word, 0x21, '"', '=', '\\', ',', ':', '{', '}') |
         byte_scan::del_or_high(word);
}

// Writes one character of `text` at `pos` (escaped when it must be) and
// returns its length.
size_t push_sanitized_char(TextBuffer& line, std::string_view text, size_t pos) {
  const Utf8Character ch = utf8_character_at(text, pos);
  if (!ch.well_formed || in_escape_set(ch.code_point)) {
    push_char_escape(line, ch.code_point);
  } else {
    line.append(text.data() + pos, ch.size);
  }
  return ch.size;
}

bool must_quote(std::string_view key, bool nested) {
  if (key.empty()) return true;
  // Keys are nearly always plain ASCII: found bare a word at a time.
  const size_t pos = nested ? byte_scan::first_flagged(key, breaks_bare_nested_key)
                            : byte_scan::first_flagged(key, breaks_bare_key);
  if (pos == key.size()) return false;
  if (static_cast<unsigned char>(key[pos]) < 0x80) return true;
  for (size_t at = pos; at < key.size();) {
    const Utf8Character ch = utf8_character_at(key, at);
    at += ch.size;
    if (!ch.well_formed || in_escape_set(ch.code_point) || is_white_space(ch.code_point)) return true;
    switch (ch.code_point) {
      case '"':
      case '=':
      case '\\':
        return true;
      case ',':
      case ':':
      case '{':
      case '}':
        if (nested) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

// The general forms, for a text with something to escape or a key that
// may need quotes; kept out of line, so that the plain paths stay small.
[[gnu::noinline]] void push_sanitized_in_general(TextBuffer& line, std::string_view text) {
  for (;;) {
    // Printable ASCII runs are copied whole; the character after one is
    // written alone, escaped or as it is.
    const size_t plain = byte_scan::first_flagged(text, unprintable);
    line.append(text.data(), plain);
    if (plain == text.size()) return;
    text.remove_prefix(plain + push_sanitized_char(line, text, plain));
  }
}

[[gnu::noinline]] void push_quoted_in_general(TextBuffer& line, std::string_view text) {
  line.push_back('"');
  for (;;) {
    const size_t plain = byte_scan::first_flagged(text, unprintable_or_quoting);
    line.append(text.data(), plain);
    if (plain == text.size()) break;
    const char c = text[plain];
    if (c == '"' || c == '\\') {
      const char escaped[2] = {'\\', c};
      line.append(escaped, sizeof escaped);
      text.remove_prefix(plain + 1);
    } else {
      text.remove_prefix(plain + push_sanitized_char(line, text, plain));
    }
  }
  line.push_back('"');
}

[[gnu::noinline]] void push_console_token_in_general(TextBuffer& line, std::string_view key, bool nested) {
  if (must_quote(key, nested)) {
    push_quoted(line, key);
  } else {
    line.append(key);
  }
}

}  // namespace

void push_char_escape(TextBuffer& line, char32_t cp) {
  switch (cp) {
    case '\t':
      line.append("\\t");
      return;
    case '\n':
      line.append("\\n");
      return;
    case '\r':
      line.append("\\r");
      return;
    default:
      break;
  }
  if (cp < 0x100) {
    const char code[4] = {'\\', 'x', kHexDigits[cp >> 4], kHexDigits[cp & 0xF]};
    line.append(code, sizeof code);
    return;
  }
  // "\u" and at least four digits, written from the right.
  char code[2 + 8];
  char* const end = code + sizeof code;
  char* start = end;
  for (char32_t rest = cp; rest != 0 || end - start < 4; rest >>= 4) *--start = kHexDigits[rest & 0xF];
  *--start = 'u';
  *--start = '\\';
  line.append(start, end);
}

void push_char_escape(std::string& line, char32_t cp) {
  TextBuffer buffer(line);
  push_char_escape(buffer, cp);
}

void push_sanitized(TextBuffer& line, std::string_view text) {
  char* to = line.room(text.size() + sizeof(uint64_t));
  if (byte_scan::store_unflagged(text, to, unprintable)) return line.commit(to + text.size());
  push_sanitized_in_general(line, text);
}

void push_quoted(TextBuffer& line, std::string_view text) {
  char* to = line.room(text.size() + 2 + sizeof(uint64_t));
  if (byte_scan::store_unflagged(text, to + 1, unprintable_or_quoting)) {
    to[0] = '"';
    to[text.size() + 1] = '"';
    return line.commit(to + text.size() + 2);
  }
  push_quoted_in_general(line, text);
}

void push_console_token(TextBuffer& line, std::string_view key, bool nested) {
  // Keys are nearly always plain ASCII: found bare a word at a time.
  char* to = line.room(key.size() + sizeof(uint64_t));
  if (!key.empty() && (nested ? byte_scan::store_unflagged(key, to, breaks_bare_nested_key)
                              : byte_scan::store_unflagged(key, to, breaks_bare_key))) {
    return line.commit(to + key.size());
  }
  push_console_token_in_general(line, key, nested);
}

void push_console_token(std::string& line, std::string_view key, bool nested) {
  TextBuffer buffer(line);
  push_console_token(buffer, key, nested);
}

void push_indented_block(TextBuffer& line, std::string_view text) {
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    line.append("\n  ");
    push_sanitized(line, text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return;
    start = end + 1;
  }
}

void write_console_value(TextBuffer& line, const Value& value, const SensitiveKeys* redacted_keys) {
  switch (value.kind()) {
    case Value::Kind::Null:
      line.append("None");
      return;
    case Value::Kind::Bool:
      line.append(value.as_bool() ? "True" : "False");
      return;
    case Value::Kind::Int:
      append_int_text(line, value.as_int());
      return;
    case Value::Kind::Float:
      if (!append_float_text(line, value.as_float())) line.append("None");
      return;
    case Value::Kind::Str:
      push_quoted(line, value.as_str());
      return;
    case Value::Kind::List: {
      line.push_back('[');
      bool first = true;
      for (const Value& item : value.as_list()) {
        if (!first) line.append(", ");
        first = false;
        write_console_value(line, item, redacted_keys);
      }
      line.push_back(']');
      return;
    }
    case Value::Kind::Map: {
      line.push_back('{');
      bool first = true;
      for (const FieldEntry& entry : value.as_map().entries()) {
        if (!first) line.append(", ");
        first = false;
        push_console_token(line, entry.key, true);
        line.push_back(':');
        if (redacted_keys != nullptr && redacted_keys->matches(entry.key)) {
          push_quoted(line, kRedacted);
        } else {
          write_console_value(line, entry.value, redacted_keys);
        }
      }
      line.push_back('}');
      return;
    }
    case Value::Kind::BigInt:
      push_sanitized(line, value.as_big_int());  // digits in practice; never raw bytes
      return;
  }
}

}  // namespace vorlisk
