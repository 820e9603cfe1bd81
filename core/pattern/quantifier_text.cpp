#include "core/pattern/quantifier_text.h"

namespace vorlisk::pattern {

std::string quantifier_text(const Node& repetition) {
  const uint32_t min = repetition.min;
  const uint32_t max = repetition.max;
  std::string out;
  if (min == 0 && max == kUnbounded) {
    out = "*";
  } else if (min == 1 && max == kUnbounded) {
    out = "+";
  } else if (min == 0 && max == 1) {
    out = "?";
  } else {
    out = '{' + std::to_string(min);
    if (max == kUnbounded) {
      out += ',';
    } else if (max != min) {
      out += ',' + std::to_string(max);
    }
    out += '}';
  }
  if (!repetition.greedy) out += '?';
  return out;
}

}  // namespace vorlisk::pattern
