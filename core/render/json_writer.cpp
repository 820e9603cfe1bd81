#include "core/render/json_writer.h"

#include <array>
#include <cstdint>

#include "core/render/byte_scan.h"
#include "core/render/json_check.h"
#include "core/render/number_text.h"
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
  explicit Writer(TextBuffer& out) : out_(out) {}

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
      if (!value(entry.value)) return false;
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
  std::optional<JsonError> error_;
};

}  // namespace

void write_json_string(std::string_view text, TextBuffer& out) {
  out.push_back('"');
  for (;;) {
    // Plain runs are copied whole; only an escaped byte is handled alone.
    const size_t plain = byte_scan::first_flagged(text, needs_escape);
    out.append(text.data(), plain);
    if (plain == text.size()) break;
    append_escape(static_cast<unsigned char>(text[plain]), out);
    text.remove_prefix(plain + 1);
  }
  out.push_back('"');
}

void write_json_string(std::string_view text, std::string& out) {
  TextBuffer buffer(out);
  write_json_string(text, buffer);
}

std::optional<JsonError> write_json_value(const Value& value, TextBuffer& out) {
  Writer writer(out);
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
