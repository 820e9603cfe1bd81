#include "core/pattern/pattern_prefilter.h"

#include <vector>

namespace vorlisk {

std::optional<PatternPrefilter> PatternPrefilter::build(std::span<const CompiledPattern> patterns) {
  std::vector<std::string_view> linear;
  for (const CompiledPattern& pattern : patterns) {
    if (std::optional<std::string_view> text = pattern.linear_full_form()) linear.push_back(*text);
  }
  if (linear.empty()) return std::nullopt;
  std::optional<LinearSet> set = LinearSet::compile(linear);
  if (!set) return std::nullopt;
  return PatternPrefilter(std::move(*set), linear.size() == patterns.size());
}

}  // namespace vorlisk
