// The text writers of the console line. Every text taken from a record
// goes through them, so that no control character or bidirectional
// formatting character of the record reaches the terminal raw. A text of
// printable ASCII, nearly every one, is tested and copied a word at a
// time.
//
// The escape set: U+0000-U+001F, U+007F-U+009F, U+200E, U+200F,
// U+2028-U+202E, U+2066-U+2069 and U+061C. A byte that is not part of
// well-formed UTF-8 is escaped as "\xNN" as well.
//
// Pure functions; safe on any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/render/text_buffer.h"
#include "core/value/value.h"

namespace vorlisk {

class SensitiveKeys;

// "\t", "\n", "\r"; "\xNN" below U+0100; otherwise "\u" and at least four
// lower-case hexadecimal digits.
void push_char_escape(TextBuffer& line, char32_t cp);
void push_char_escape(std::string& line, char32_t cp);

// `text` with the characters of the escape set escaped; printable ASCII is
// copied in one block.
void push_sanitized(TextBuffer& line, std::string_view text);

// `text` in double quotes, with '"' and '\' backslash-escaped and the
// escape set escaped.
void push_quoted(TextBuffer& line, std::string_view text);

// A key, bare unless it is empty or holds white space (Unicode White_Space),
// '"', '=', '\', a character of the escape set or, when `nested` (a key
// inside a map value), one of ",:{}"; then quoted.
void push_console_token(TextBuffer& line, std::string_view key, bool nested);
void push_console_token(std::string& line, std::string_view key, bool nested);

// Each line of `text` (split at line feeds) on a new line indented by two
// spaces, sanitized; a carriage return stays and shows as "\r".
void push_indented_block(TextBuffer& line, std::string_view text);

// None, True/False, numbers as in JSON (non-finite floats as None), strings
// always quoted, [a, b] and {key:value, key:value}. With `redacted_keys`,
// the value of every map entry whose key it holds is written as the quoted
// "[REDACTED]", at any depth, without being read: what
// redact_sensitive_keys_with would give, the value left unchanged.
void write_console_value(TextBuffer& line, const Value& value, const SensitiveKeys* redacted_keys = nullptr);

}  // namespace vorlisk
