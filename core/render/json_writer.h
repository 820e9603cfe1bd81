// The JSON writer: every JSON text the system produces (the record line,
// the debug render, the text standing in for a non-string dict key) comes
// from here.
//
// Output is compact (no whitespace), map entries in stored order. Strings
// and keys are copied as they are except for the escapes JSON requires:
// \" \\ \b \t \n \f \r and \u00XX for the other bytes below 0x20; DEL, "/"
// and non-ASCII UTF-8 pass unchanged (Str texts and keys are UTF-8 by the
// value tree's contract). Non-finite floats are null. A BigInt is written
// as a bare number once its text is checked to be exactly one JSON value;
// that check is the writer's only failure.
//
// Pure functions over values the caller owns; safe on any thread.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "core/render/json_error.h"
#include "core/render/json_string.h"
#include "core/render/text_buffer.h"
#include "core/value/value.h"

namespace vorlisk {

class SensitiveKeys;

using JsonResult = std::variant<std::string, JsonError>;

// The JSON text of `value` in a fresh buffer (starting at 128 bytes of
// capacity), or the error; partial output is never returned.
JsonResult value_to_json(const Value& value);

// Appends the JSON text of `value` to `out`. On error, writing stops at once
// and `out` holds a partial text the caller must discard.
[[nodiscard]] std::optional<JsonError> write_json_value(const Value& value, std::string& out);
[[nodiscard]] std::optional<JsonError> write_json_value(const Value& value, TextBuffer& out);

// Writes values one after another into one buffer, each as
// write_json_value would. With `redacted_keys`, the value of every map
// entry whose key it holds is written as "[REDACTED]", at any depth,
// without being read: the text redact_sensitive_keys_with would give, the
// value left unchanged.
//
// One thread at a time, like the buffer.
class JsonValueWriter {
 public:
  explicit JsonValueWriter(TextBuffer& out, const SensitiveKeys* redacted_keys = nullptr);

  // False when a big integer's text is not one JSON value: writing stops
  // at once, `out` holds a partial text and take_error() tells why.
  [[nodiscard]] bool write(const Value& value);
  // The value of a map entry with this key, "[REDACTED]" when the key is
  // redacted.
  [[nodiscard]] bool write_entry_value(std::string_view key, const Value& value);
  JsonError take_error() { return std::move(error_); }

  // For callers that write values of their own kinds: whether an entry
  // with this key is written "[REDACTED]", and the buffer.
  bool redacts(std::string_view key) const;
  TextBuffer& out() { return out_; }

 private:
  bool list(const Value::List& items);
  bool map(const FieldMap& fields);
  bool big_int(const std::string& text);

  TextBuffer& out_;
  const SensitiveKeys* redacted_keys_;  // null or non-empty
  JsonError error_;
};

// Appends `text` as a quoted, escaped JSON string (the TextBuffer form is
// in json_string.h).
void write_json_string(std::string_view text, std::string& out);

}  // namespace vorlisk
