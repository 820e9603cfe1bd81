// Drives the JSON writer with value trees built from arbitrary bytes and
// reads every output back with an independent strict JSON parser: the text
// must be valid UTF-8, exactly one JSON value, and carry the same tree
// (strings byte for byte, floats bit for bit, big integers verbatim).
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/render/json_writer.h"
#include "fuzz/fuzz_input.h"

namespace vorlisk::fuzz {
namespace {

constexpr int kMaxDepth = 6;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "json_writer_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// ---- building values --------------------------------------------------------

std::string big_int_text(FuzzInput& in) {
  switch (in.byte() % 4) {
    case 0: {  // what the conversion makes: an optional "-" and digits
      std::string text = (in.byte() & 1) ? "-" : "";
      const size_t n = 1 + in.byte() % 40;
      for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + in.byte() % 10));
      return text;
    }
    case 1:
      return in.utf8(24);
    default:
      return in.bytes(48);
  }
}

Value build_value(FuzzInput& in, int depth) {
  switch (in.byte() % 10) {
    case 0:
      return Value::null();
    case 1:
      return Value::boolean(in.byte() & 1);
    case 2:
      return Value::integer(static_cast<int64_t>(in.u64()));
    case 3: {
      const uint64_t bits = in.u64();
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Value::floating(d);
    }
    case 4:
    case 5:
      return Value::str(in.utf8(40));
    case 6: {
      Value::List items;
      if (depth < kMaxDepth) {
        const size_t n = in.byte() % 6;
        for (size_t i = 0; i < n && !in.empty(); ++i) items.push_back(build_value(in, depth + 1));
      }
      return Value::list(std::move(items));
    }
    case 7: {
      FieldMap map;
      if (depth < kMaxDepth) {
        const size_t n = in.byte() % 6;
        for (size_t i = 0; i < n && !in.empty(); ++i) {
          std::string key = in.utf8(12);
          map.append(std::move(key), build_value(in, depth + 1));
        }
      }
      return Value::map(std::move(map));
    }
    default:
      return Value::big_int(big_int_text(in));
  }
}

// ---- an independent strict JSON reader --------------------------------------

struct Node {
  enum class Kind { Null, True, False, Number, String, Array, Object } kind = Kind::Null;
  std::string text;  // number text, or the decoded string
  std::vector<Node> items;       // array elements, or object member values
  std::vector<std::string> keys;  // object member keys
  size_t begin = 0;  // span of the value in the parsed text
  size_t end = 0;
};

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int n;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= static_cast<size_t>(n)) return false;
    for (int k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<size_t>(n) + 1;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : t_(text) {}

  // Exactly one value, surrounded by nothing but JSON whitespace.
  std::optional<Node> document() {
    ws();
    Node node;
    if (!value(node, 0)) return std::nullopt;
    ws();
    if (i_ != t_.size()) return std::nullopt;
    return node;
  }

 private:
  void ws() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  bool literal(std::string_view word) {
    if (t_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool digits() {
    const size_t start = i_;
    while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool value(Node& node, int depth) {
    if (depth > 10000 || i_ >= t_.size()) return false;
    node.begin = i_;
    bool ok;
    switch (t_[i_]) {
      case 'n':
        node.kind = Node::Kind::Null;
        ok = literal("null");
        break;
      case 't':
        node.kind = Node::Kind::True;
        ok = literal("true");
        break;
      case 'f':
        node.kind = Node::Kind::False;
        ok = literal("false");
        break;
      case '"':
        node.kind = Node::Kind::String;
        ok = string(node.text);
        break;
      case '[':
        node.kind = Node::Kind::Array;
        ok = array(node, depth);
        break;
      case '{':
        node.kind = Node::Kind::Object;
        ok = object(node, depth);
        break;
      default:
        node.kind = Node::Kind::Number;
        ok = number();
        node.text = std::string(t_.substr(node.begin, i_ - node.begin));
    }
    node.end = i_;
    return ok;
  }

  bool number() {
    if (i_ < t_.size() && t_[i_] == '-') ++i_;
    if (i_ < t_.size() && t_[i_] == '0') {
      ++i_;
    } else if (i_ < t_.size() && t_[i_] >= '1' && t_[i_] <= '9') {
      digits();
    } else {
      return false;
    }
    if (i_ < t_.size() && t_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < t_.size() && (t_[i_] == 'e' || t_[i_] == 'E')) {
      ++i_;
      if (i_ < t_.size() && (t_[i_] == '+' || t_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    return true;
  }

  bool hex4(uint32_t& out) {
    if (t_.size() - i_ < 4) return false;
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = t_[i_++];
      out <<= 4;
      if (c >= '0' && c <= '9') out |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool string(std::string& out) {
    ++i_;  // opening quote
    const size_t start = i_;
    while (i_ < t_.size()) {
      const auto c = static_cast<unsigned char>(t_[i_]);
      if (c == '"') {
        ++i_;
        return valid_utf8(t_.substr(start, i_ - 1 - start));
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
        ++i_;
        continue;
      }
      if (++i_ >= t_.size()) return false;
      const char e = t_[i_++];
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!hex4(cp)) return false;
          FuzzInput::append_code_point(out, cp);  // lone surrogates kept as they are
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool array(Node& node, int depth) {
    ++i_;
    ws();
    if (i_ < t_.size() && t_[i_] == ']') {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      node.items.emplace_back();
      if (!value(node.items.back(), depth + 1)) return false;
      ws();
      if (i_ >= t_.size()) return false;
      if (t_[i_] == ']') {
        ++i_;
        return true;
      }
      if (t_[i_++] != ',') return false;
    }
  }

  bool object(Node& node, int depth) {
    ++i_;
    ws();
    if (i_ < t_.size() && t_[i_] == '}') {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      if (i_ >= t_.size() || t_[i_] != '"') return false;
      std::string key;
      if (!string(key)) return false;
      ws();
      if (i_ >= t_.size() || t_[i_++] != ':') return false;
      ws();
      node.keys.push_back(std::move(key));
      node.items.emplace_back();
      if (!value(node.items.back(), depth + 1)) return false;
      ws();
      if (i_ >= t_.size()) return false;
      if (t_[i_] == '}') {
        ++i_;
        return true;
      }
      if (t_[i_++] != ',') return false;
    }
  }

  std::string_view t_;
  size_t i_ = 0;
};

bool accepted_alone(const std::string& text) { return Reader(text).document().has_value(); }

std::string_view trim_json_whitespace(std::string_view s) {
  const auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

// ---- comparing what was written with what was meant -------------------------

void expect_same(const Value& value, const Node& node, std::string_view json) {
  using K = Node::Kind;
  const std::string span(json.substr(node.begin, node.end - node.begin));
  switch (value.kind()) {
    case Value::Kind::Null:
      if (node.kind != K::Null) fail("null written as", span);
      return;
    case Value::Kind::Bool:
      if (node.kind != (value.as_bool() ? K::True : K::False)) fail("bool written as", span);
      return;
    case Value::Kind::Int: {
      if (node.kind != K::Number) fail("int written as", span);
      int64_t back = 0;
      const auto r = std::from_chars(node.text.data(), node.text.data() + node.text.size(), back);
      if (r.ec != std::errc() || r.ptr != node.text.data() + node.text.size() || back != value.as_int()) {
        fail("int does not read back", span);
      }
      return;
    }
    case Value::Kind::Float: {
      const double d = value.as_float();
      if (!std::isfinite(d)) {
        if (node.kind != K::Null) fail("non-finite float written as", span);
        return;
      }
      if (node.kind != K::Number) fail("float written as", span);
      if (node.text.find_first_of(".e") == std::string::npos) fail("float reads as an integer", span);
      double back = 0;
      const auto r = std::from_chars(node.text.data(), node.text.data() + node.text.size(), back);
      if (r.ec != std::errc() || std::memcmp(&back, &d, sizeof d) != 0) fail("float does not round-trip", span);
      return;
    }
    case Value::Kind::Str:
      if (node.kind != K::String || node.text != value.as_str()) fail("string does not read back", span);
      return;
    case Value::Kind::List: {
      const Value::List& items = value.as_list();
      if (node.kind != K::Array || node.items.size() != items.size()) fail("list shape differs", span);
      for (size_t i = 0; i < items.size(); ++i) expect_same(items[i], node.items[i], json);
      return;
    }
    case Value::Kind::Map: {
      const auto& entries = value.as_map().entries();
      if (node.kind != K::Object || node.items.size() != entries.size()) fail("map shape differs", span);
      for (size_t i = 0; i < entries.size(); ++i) {
        if (node.keys[i] != entries[i].key) fail("key does not read back", span);
        expect_same(entries[i].value, node.items[i], json);
      }
      return;
    }
    case Value::Kind::BigInt:
      if (!accepted_alone(value.as_big_int())) fail("invalid big-integer text written", value.as_big_int());
      if (span != trim_json_whitespace(value.as_big_int())) fail("big integer not verbatim", span);
      return;
  }
}

bool has_rejected_big_int(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::BigInt:
      return !accepted_alone(value.as_big_int());
    case Value::Kind::List:
      for (const Value& item : value.as_list()) {
        if (has_rejected_big_int(item)) return true;
      }
      return false;
    case Value::Kind::Map:
      for (const FieldEntry& entry : value.as_map().entries()) {
        if (has_rejected_big_int(entry.value)) return true;
      }
      return false;
    default:
      return false;
  }
}

}  // namespace
}  // namespace vorlisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlisk;
  using namespace vorlisk::fuzz;
  FuzzInput in(data, size);
  const Value root = build_value(in, 0);
  const JsonResult result = value_to_json(root);
  if (const auto* error = std::get_if<JsonError>(&result)) {
    if (!has_rejected_big_int(root)) fail("writer refused a valid tree", error->display());
    if (error->line == 0 || error->description.empty()) fail("error without a position", error->display());
    return 0;
  }
  const std::string& json = std::get<std::string>(result);
  if (!valid_utf8(json)) fail("output is not UTF-8", json);
  const std::optional<Node> node = Reader(json).document();
  if (!node) fail("output is not one JSON value", json);
  if (node->begin != 0 || node->end != json.size()) fail("output has surrounding text", json);
  expect_same(root, *node, json);
  return 0;
}
