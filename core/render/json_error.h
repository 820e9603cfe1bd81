// The one failure of JSON writing: a big-integer text that is not one JSON
// value. Callers raise display() as a ValueError or use it as placeholder
// text.
#pragma once

#include <cstddef>
#include <string>

namespace vorlisk {

struct JsonError {
  std::string description;  // the parser's words, e.g. "trailing characters"
  size_t line = 0;          // 1-based
  size_t column = 0;        // bytes of that line up to and including the bad one

  // "<description> at line <line> column <column>"; the description alone
  // when line is 0.
  std::string display() const;

  friend bool operator==(const JsonError&, const JsonError&) = default;
};

}  // namespace vorlisk
