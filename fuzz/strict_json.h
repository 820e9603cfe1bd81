// An independent strict JSON reader for the fuzz targets (RFC 8259, UTF-8
// checked, no extensions), so that the writer's output is never judged by
// the writer's own checker.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/value/value.h"
#include "fuzz/fuzz_input.h"

namespace vorlisk::fuzz {

struct Node {
  enum class Kind { Null, True, False, Number, String, Array, Object } kind = Kind::Null;
  std::string text;  // number text, or the decoded string
  std::vector<Node> items;       // array elements, or object member values
  std::vector<std::string> keys;  // object member keys
  size_t begin = 0;  // span of the value in the parsed text
  size_t end = 0;
};

inline bool valid_utf8(std::string_view s) {
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

inline bool accepted_alone(const std::string& text) { return Reader(text).document().has_value(); }

inline std::string_view trim_json_whitespace(std::string_view s) {
  const auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

// Whether some big integer in the tree has a text the reader refuses.
inline bool has_rejected_big_int(const Value& value) {
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

}  // namespace vorlisk::fuzz
