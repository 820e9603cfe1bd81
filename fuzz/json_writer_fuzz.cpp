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
#include "fuzz/strict_json.h"
#include "fuzz/value_builder.h"

namespace vorlisk::fuzz {
namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "json_writer_fuzz: %s\n%s\n", what, detail.c_str());
  std::abort();
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
