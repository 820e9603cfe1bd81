// Compiling a list of value-pattern texts, as the configuration classes,
// validate_patterns and the per-call render functions do: in order, the
// first text that does not compile ends the list with ValueError carrying
// the engine's own message (later texts are not tried).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/pattern/pattern.h"

namespace vorlisk::py {

using PatternList = std::vector<CompiledPattern>;

// Linear-time engine, then (with `allow_backtracking`) the backtracking
// engine for a pattern the first rejects. Nothing with ValueError set on
// failure. Interpreter lock held.
std::optional<PatternList> compile_pattern_list(std::span<const std::string> texts,
                                                bool allow_backtracking);

// Linear-time engine only: the per-call patterns of the render functions,
// which come again at every call, so recently compiled ones are taken from
// the process-wide table of recent patterns.
std::optional<PatternList> compile_standard_pattern_list(std::span<const std::string> texts);

}  // namespace vorlisk::py
