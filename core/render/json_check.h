// A strict RFC 8259 check that a text is exactly one JSON value, used to
// vouch for big-integer texts before they are written as bare numbers.
//
// Errors carry fixed descriptions and the line and column of the problem
// ("EOF while parsing a value", "expected value", "invalid number",
// "trailing characters", ...). Iterative: nesting depth costs heap, never
// stack. Pure; safe on any thread.
#pragma once

#include <string_view>
#include <variant>

#include "core/render/json_error.h"

namespace vorlisk {

// The value's own text, without the surrounding JSON whitespace (space, tab,
// line feed, carriage return), or the error of the first problem found.
// Strings must be valid UTF-8.
std::variant<std::string_view, JsonError> check_single_json_value(std::string_view text);

}  // namespace vorlisk
