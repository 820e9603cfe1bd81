#include "core/render/json_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "core/render/byte_scan.h"
#include "core/render/json_check.h"
#include "core/render/number_text.h"
#include "core/render/redaction.h"
#include "core/render/sensitive_keys.h"
#include "core/render/text_buffer.h"

namespace vorlisk {
namespace {

constexpr size_t kInitialCapacity = 128;

// 0: copied as is; otherwise the second character of a two-character escape,
// or 'u' for \u00XX.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

void append_escape(unsigned char byte, TextBuffer& out) {
  const char escape = kEscapes[byte];
  if (escape == 'u') {
    const char code[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
    out.append(code, sizeof code);
  } else {
    const char code[2] = {'\\', escape};
    out.append(code, sizeof code);
  }
}

// The rest of a string from its first byte needing an escape on: plain
// runs are copied whole, only an escaped byte is handled alone.
void write_escaped_rest(std::string_view text, TextBuffer& out) {
  for (;;) {
    const size_t plain = byte_scan::first_flagged(text, needs_json_escape);
    out.append(text.data(), plain);
    if (plain == text.size()) break;
    append_escape(static_cast<unsigned char>(text[plain]), out);
    text.remove_prefix(plain + 1);
  }
}

void store_word(char* to, uint64_t word) { std::memcpy(to, &word, sizeof word); }

// Stores `text`, of more than 16 bytes, at `to` sixteen bytes at a time
// while no byte needs an escape, and returns how many bytes lead up to the
// first sixteen that have one (text.size() when none has). `to` needs room
// for text.size() bytes.
size_t store_plain_words(std::string_view text, char* to) {
  const size_t n = text.size();
  const char* from = text.data();
  size_t done = 0;
  for (; n - done > 16; done += 16) {
    const uint64_t first = byte_scan::load<uint64_t>(from + done);
    const uint64_t second = byte_scan::load<uint64_t>(from + done + 8);
    if ((needs_json_escape(first) | needs_json_escape(second)) != 0) return done;
    store_word(to + done, first);
    store_word(to + done + 8, second);
  }
  // The last sixteen bytes, overlapping the ones already stored.
  const uint64_t first = byte_scan::load<uint64_t>(from + n - 16);
  const uint64_t second = byte_scan::load<uint64_t>(from + n - 8);
  if ((needs_json_escape(first) | needs_json_escape(second)) != 0) return done;
  store_word(to + n - 16, first);
  store_word(to + n - 8, second);
  return n;
}

// The string from the first word that needs an escape on, with the bytes
// before `plain` already stored; kept out of line, so that the plain path
// stays small.
[[gnu::noinline]] void write_escaped_from(std::string_view text, size_t plain, char* stored_end,
                                          TextBuffer& out) {
  out.commit(stored_end);
  write_escaped_rest(text.substr(plain), out);
  out.push_back('"');
}

}  // namespace

void write_json_string_in_general(std::string_view text, TextBuffer& out) {
  // Stored two words at a time up to the first byte to escape, after one
  // check for room.
  const size_t n = text.size();
  char* to = out.room(n + 2);
  *to++ = '"';
  // A text of up to 16 bytes comes here only for an escape.
  const size_t plain = n <= 16 ? 0 : store_plain_words(text, to);
  if (plain != n) return write_escaped_from(text, plain, to + plain, out);
  to[n] = '"';
  out.commit(to + n + 1);
}

void write_json_string(std::string_view text, std::string& out) {
  TextBuffer buffer(out);
  write_json_string(text, buffer);
}

JsonValueWriter::JsonValueWriter(TextBuffer& out, const SensitiveKeys* redacted_keys)
    : out_(out), redacted_keys_(redacted_keys != nullptr && !redacted_keys->empty() ? redacted_keys : nullptr) {}

bool JsonValueWriter::write(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      out_.append("null");
      return true;
    case Value::Kind::Bool:
      out_.append(v.as_bool() ? "true" : "false");
      return true;
    case Value::Kind::Int:
      append_int_text(out_, v.as_int());
      return true;
    case Value::Kind::Float:
      if (!append_float_text(out_, v.as_float())) out_.append("null");
      return true;
    case Value::Kind::Str:
      write_json_string(v.as_str(), out_);
      return true;
    case Value::Kind::List:
      return list(v.as_list());
    case Value::Kind::Map:
      return map(v.as_map());
    case Value::Kind::BigInt:
      return big_int(v.as_big_int());
  }
  return true;
}

bool JsonValueWriter::redacts(std::string_view key) const {
  return redacted_keys_ != nullptr && redacted_keys_->matches(key);
}

bool JsonValueWriter::write_entry_value(std::string_view key, const Value& value) {
  if (redacts(key)) {
    write_json_string(kRedacted, out_);
    return true;
  }
  return write(value);
}

bool JsonValueWriter::list(const Value::List& items) {
  out_.push_back('[');
  bool first = true;
  for (const Value& item : items) {
    if (!first) out_.push_back(',');
    first = false;
    if (!write(item)) return false;
  }
  out_.push_back(']');
  return true;
}

bool JsonValueWriter::map(const FieldMap& fields) {
  out_.push_back('{');
  bool first = true;
  for (const FieldEntry& entry : fields.entries()) {
    if (!first) out_.push_back(',');
    first = false;
    write_json_string(entry.key, out_);
    out_.push_back(':');
    if (!write_entry_value(entry.key, entry.value)) return false;
  }
  out_.push_back('}');
  return true;
}

bool JsonValueWriter::big_int(const std::string& text) {
  auto checked = check_single_json_value(text);
  if (auto* error = std::get_if<JsonError>(&checked)) {
    error_ = std::move(*error);
    return false;
  }
  out_.append(std::get<std::string_view>(checked));
  return true;
}

std::optional<JsonError> write_json_value(const Value& value, TextBuffer& out) {
  JsonValueWriter writer(out);
  if (writer.write(value)) return std::nullopt;
  return writer.take_error();
}

std::optional<JsonError> write_json_value(const Value& value, std::string& out) {
  TextBuffer buffer(out);
  return write_json_value(value, buffer);
}

JsonResult value_to_json(const Value& value) {
  std::string out;
  out.reserve(kInitialCapacity);
  if (auto error = write_json_value(value, out)) return std::move(*error);
  return out;
}

}  // namespace vorlisk
