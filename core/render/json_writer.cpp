#include "core/render/json_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "core/render/json_check.h"
#include "core/render/number_text.h"

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

// Whether none of 8 bytes needs an escape (no byte below 0x20, no '"', no
// '\\'), tested a word at a time: long plain runs are the common case.
bool word_is_plain(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  const auto has_zero_byte = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  return (below_space | has_zero_byte(w ^ (kOnes * '"')) | has_zero_byte(w ^ (kOnes * '\\'))) == 0;
}

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

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

  std::string& out_;
  std::optional<JsonError> error_;
};

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  size_t run_start = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text.size() - i >= 8 && word_is_plain(text.data() + i)) {
      i += 8;
      continue;
    }
    const char escape = kEscapes[static_cast<unsigned char>(text[i])];
    if (escape == 0) {
      ++i;
      continue;
    }
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    if (escape == 'u') {
      const auto byte = static_cast<unsigned char>(text[i]);
      const char code[6] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
      out.append(code, sizeof code);
    } else {
      const char code[2] = {'\\', escape};
      out.append(code, sizeof code);
    }
    ++i;
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out.push_back('"');
}

std::optional<JsonError> write_json_value(const Value& value, std::string& out) {
  Writer writer(out);
  if (writer.value(value)) return std::nullopt;
  return writer.take_error();
}

JsonResult value_to_json(const Value& value) {
  std::string out;
  out.reserve(kInitialCapacity);
  if (auto error = write_json_value(value, out)) return std::move(*error);
  return out;
}

}  // namespace vorlisk
