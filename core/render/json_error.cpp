#include "core/render/json_error.h"

#include "core/render/number_text.h"

namespace vorlisk {

std::string JsonError::display() const {
  if (line == 0) return description;
  std::string text = description;
  text.append(" at line ");
  append_int_text(text, static_cast<int64_t>(line));
  text.append(" column ");
  append_int_text(text, static_cast<int64_t>(column));
  return text;
}

}  // namespace vorlisk
