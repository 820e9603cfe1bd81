// Replacement by one regular-expression engine directly, for the pattern
// tests that hold both engines to the same results.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/render/backtracking_engine.h"
#include "core/render/linear_engine.h"

namespace vorlisk::testing_support {

enum class Engine { kLinear, kBacktracking };

// `text` with every match of `pattern` replaced, as `engine` compiles it;
// nothing when there is no match, "<error: ...>" when it does not compile.
inline std::optional<std::string> replace_with(Engine engine, std::string_view pattern,
                                               std::string_view text,
                                               std::string_view replacement = "#") {
  if (engine == Engine::kLinear) {
    auto expression = LinearExpression::compile(pattern);
    if (auto* error = std::get_if<std::string>(&expression)) return "<error: " + *error + ">";
    return std::get<LinearExpression>(expression).replace_all(text, replacement);
  }
  auto expression = BacktrackingExpression::compile(pattern);
  if (auto* error = std::get_if<std::string>(&expression)) return "<error: " + *error + ">";
  return std::get<BacktrackingExpression>(expression).replace_all(text, replacement);
}

}  // namespace vorlisk::testing_support
