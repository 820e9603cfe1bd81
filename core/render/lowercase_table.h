// The Unicode lower-case data behind key matching, generated at build time
// from the interpreter's str.lower (gen_lowercase.py); read only, shared by
// every thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorlisk::lowercase_table {

// One character whose lower-case form differs from itself: up to three
// characters (U+0130 becomes two). Sorted by `code_point`.
struct Mapping {
  uint32_t code_point;
  uint8_t length;
  uint32_t lower[3];
};

// An inclusive run of code points. Sorted, disjoint.
struct Range {
  uint32_t first;
  uint32_t last;
};

extern const Mapping kMappings[];
extern const size_t kMappingCount;

// The two classes of the Final_Sigma rule: characters the scan around a
// capital sigma skips (case-ignorable), and characters that end the scan as
// cased (cased and not case-ignorable).
extern const Range kCaseIgnorable[];
extern const size_t kCaseIgnorableCount;
extern const Range kCased[];
extern const size_t kCasedCount;

}  // namespace vorlisk::lowercase_table
