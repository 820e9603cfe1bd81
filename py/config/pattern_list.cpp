#include "py/config/pattern_list.h"

#include <variant>

#include "core/pattern/recent_patterns.h"
#include "py/glue/extract.h"

namespace vorlisk::py {
namespace {

template <class Compile>
std::optional<PatternList> compile_each(std::span<const std::string> texts, Compile&& compile) {
  PatternList patterns;
  patterns.reserve(texts.size());
  for (const std::string& text : texts) {
    PatternResult result = compile(text);
    if (const std::string* error = std::get_if<std::string>(&result)) {
      raise_value_error(*error);
      return std::nullopt;
    }
    patterns.push_back(std::move(std::get<CompiledPattern>(result)));
  }
  return patterns;
}

}  // namespace

std::optional<PatternList> compile_pattern_list(std::span<const std::string> texts,
                                                bool allow_backtracking) {
  return compile_each(texts, [&](const std::string& text) {
    return compile_pattern(text, allow_backtracking);
  });
}

std::optional<PatternList> compile_standard_pattern_list(std::span<const std::string> texts) {
  return compile_each(texts, [](const std::string& text) {
    return recent_patterns().compile(text, /*allow_backtracking=*/false);
  });
}

}  // namespace vorlisk::py
