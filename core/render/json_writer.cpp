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

// Bytes that JSON strings must escape: below 0x20, '"' and '\\'.
constexpr uint64_t needs_escape(uint64_t word) {
  using namespace byte_scan;
  return below(word, 0x20) | equal_to(word, '"') | equal_to(word, '\\');
}

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

class Writer {
 public:
  // `redacted_keys`: null, or the keys whose values are written redacted.
  Writer(TextBuffer& out, const SensitiveKeys* redacted_keys) : out_(out), redacted_keys_(redacted_keys) {}

  bool value(const Value& v) {
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

  std::optional<JsonError> take_error() { return std::move(error_); }

 private:
  bool list(const Value::List& items) {
    out_.push_back('[');
    bool first = true;
    for (const Value& item : items) {
      if (!first) out_.push_back(',');
      first = false;
      if (!value(item)) return false;
    }
    out_.push_back(']');
    return true;
  }

  bool map(const FieldMap& fields) {
    out_.push_back('{');
    bool first = true;
    for (const FieldEntry& entry : fields.entries()) {
      if (!first) out_.push_back(',');
      first = false;
      write_json_string(entry.key, out_);
      out_.push_back(':');
      if (redacted_keys_ != nullptr && redacted_keys_->matches(entry.key)) {
        write_json_string(kRedacted, out_);
      } else if (!value(entry.value)) {
        return false;
      }
    }
    out_.push_back('}');
    return true;
  }

  bool big_int(const std::string& text) {
    auto checked = check_single_json_value(text);
    if (auto* error = std::get_if<JsonError>(&checked)) {
      error_ = std::move(*error);
      return false;
    }
    out_.append(std::get<std::string_view>(checked));
    return true;
  }

  TextBuffer& out_;
  const SensitiveKeys* redacted_keys_;
  std::optional<JsonError> error_;
};

}  // namespace

namespace {

// The rest of a string from its first byte needing an escape on: plain
// runs are copied whole, only an escaped byte is handled alone.
void write_escaped_rest(std::string_view text, TextBuffer& out) {
  for (;;) {
    const size_t plain = byte_scan::first_flagged(text, needs_escape);
    out.append(text.data(), plain);
    if (plain == text.size()) break;
    append_escape(static_cast<unsigned char>(text[plain]), out);
    text.remove_prefix(plain + 1);
  }
}

void store_word(char* to, uint64_t word) { std::memcpy(to, &word, sizeof word); }

// Stores `text` at `to` a word of eight bytes at a time while no byte
// needs an escape, and returns how many bytes lead up to the first word
// that has one (text.size() when none has). A word may be stored whole
// past the text's end: `to` needs room for text.size() + 8 bytes.
size_t store_plain_words(std::string_view text, char* to) {
  const size_t n = text.size();
  const char* from = text.data();
  if (n < 8) {
    if (n == 0) return 0;
    const uint64_t word = byte_scan::load_short(from, n, 'a');
    if (needs_escape(word)) return 0;
    store_word(to, word);
    return n;
  }
  size_t done = 0;
  for (; n - done > 8; done += 8) {
    const uint64_t word = byte_scan::load<uint64_t>(from + done);
    if (needs_escape(word)) return done;
    store_word(to + done, word);
  }
  // The last eight bytes, overlapping the ones already stored.
  const uint64_t word = byte_scan::load<uint64_t>(from + n - 8);
  if (needs_escape(word)) return done;
  store_word(to + n - 8, word);
  return n;
}

}  // namespace

namespace {

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

void write_json_string(std::string_view text, TextBuffer& out) {
  // Almost every string needs no escape: it is stored a word at a time,
  // with one check for room.
  const size_t n = text.size();
  char* to = out.room(n + 2 + sizeof(uint64_t));
  *to++ = '"';
  const size_t plain = store_plain_words(text, to);
  if (plain != n) return write_escaped_from(text, plain, to + plain, out);
  to[n] = '"';
  out.commit(to + n + 1);
}

void write_json_string(std::string_view text, std::string& out) {
  TextBuffer buffer(out);
  write_json_string(text, buffer);
}

std::optional<JsonError> write_json_value(const Value& value, TextBuffer& out) {
  Writer writer(out, nullptr);
  if (writer.value(value)) return std::nullopt;
  return writer.take_error();
}

std::optional<JsonError> write_json_value(const Value& value, TextBuffer& out,
                                          const SensitiveKeys& redacted_keys) {
  Writer writer(out, redacted_keys.empty() ? nullptr : &redacted_keys);
  if (writer.value(value)) return std::nullopt;
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
