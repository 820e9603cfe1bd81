// The record the renderer tests and benchmarks treat as typical: six fields
// (an int, a string, a float, a nested map, a timestamp-like string and a
// UUID-like string), and two value patterns that match none of it.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "core/pattern/pattern.h"
#include "core/value/value.h"

namespace vorlisk::typical {

// Built like the conversion builds a record: each map reserved for its
// entries first.
inline FieldMap record_fields() {
  FieldMap request;
  request.reserve(3);
  request.append("method", Value::str("GET"));
  request.append("path", Value::str("/api/v1/orders"));
  request.append("status", Value::integer(200));
  FieldMap fields;
  fields.reserve(6);
  fields.append("user_id", Value::integer(48213));
  fields.append("action", Value::str("checkout"));
  fields.append("duration_ms", Value::floating(12.75));
  fields.append("request", Value::map(std::move(request)));
  fields.append("started_at", Value::str("2024-05-17T09:21:44.512093Z"));
  fields.append("trace_id", Value::str("6f1c2a9e-3b7d-4e52-9a10-c4d8e2f7b613"));
  return fields;
}

inline constexpr std::string_view kLogger = "shop.checkout";
inline constexpr std::string_view kLevel = "info";
inline constexpr std::string_view kService = "shop";
inline constexpr std::string_view kMessage = "order placed for the current basket";
inline constexpr std::string_view kTimestamp = "2024-05-17T09:21:44.513377Z";

// A card number and an e-mail address: neither occurs in the record.
inline std::vector<CompiledPattern> unmatched_patterns() {
  std::vector<CompiledPattern> out;
  for (const char* text : {R"(\b\d{4}[ -]?\d{4}[ -]?\d{4}[ -]?\d{4}\b)", R"([\w.+-]+@[\w-]+\.[\w.]+)"}) {
    out.push_back(std::move(std::get<CompiledPattern>(compile_pattern(text, false))));
  }
  return out;
}

}  // namespace vorlisk::typical
