// Every match of the Pike VM over a text, with its groups, in the notation
// of re2_matches.h, for the tests that hold the VM to RE2.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"
#include "core/tests/pattern/re2_matches.h"

namespace vorlisk::testing_support {

inline std::string vm_matches(const pattern::PikeProgram& program, std::string_view text) {
  pattern::PikeMatcher matcher(program, text, true);
  std::string out;
  size_t from = 0;
  size_t last_end = std::string_view::npos;
  MatchBounds found;
  while (from <= text.size() && matcher.find(from, found) == SearchStatus::kFound) {
    from = found.end;
    if (found.start == found.end) {
      from = next_character(text, found.start);
      if (found.end == last_end) continue;
    }
    last_end = found.end;
    out += "[" + std::to_string(found.start) + "," + std::to_string(found.end) + ")";
    for (uint32_t g = 1; g <= program.capture_count(); ++g) {
      const std::optional<std::string_view> group = matcher.group_text(g);
      if (!group) {
        out += "{-}";
        continue;
      }
      const auto begin = static_cast<size_t>(group->data() - text.data());
      out += "{" + std::to_string(begin) + "," + std::to_string(begin + group->size()) + "}";
    }
    out += ' ';
  }
  return out;
}

}  // namespace vorlisk::testing_support
