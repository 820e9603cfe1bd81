// Builders shared by the renderer tests.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/pattern/pattern.h"
#include "core/value/value.h"

namespace vorlisk::testing_support {

inline FieldMap fields(std::initializer_list<std::pair<const char*, Value>> items) {
  FieldMap map;
  for (const auto& [key, value] : items) map.append(key, value);
  return map;
}

inline std::vector<CompiledPattern> patterns(std::initializer_list<const char*> texts) {
  std::vector<CompiledPattern> out;
  for (const char* text : texts) {
    PatternResult compiled = compile_pattern(text, false);
    if (auto* error = std::get_if<std::string>(&compiled)) ADD_FAILURE() << text << ": " << *error;
    else out.push_back(std::move(std::get<CompiledPattern>(compiled)));
  }
  return out;
}

}  // namespace vorlisk::testing_support
