// Drives the pattern parser with arbitrary bytes in both dialects. Every
// tree must be well formed (sets in order without surrogates, each class
// the union of its members, spans inside the pattern, no backtracking
// construct in a linear tree), and the RE2 forms of a linear tree must
// compile, unless too large for the program limit, with the tree's groups.
#include <re2/re2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "core/render/pattern_emit.h"
#include "core/render/pattern_parser.h"
#include "core/tests/pattern_tree_check.h"

namespace vorlisk::fuzz {
namespace {

[[noreturn]] void fail(std::string_view pattern, const std::string& what) {
  std::fprintf(stderr, "pattern_parse_fuzz: %s for the pattern of %zu bytes\n", what.c_str(), pattern.size());
  std::abort();
}

void check_form(std::string_view pattern, const pattern::PatternTree& tree, pattern::Re2Form form) {
  const std::string text = pattern::emit_re2(tree, form);
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(int64_t{10} * 1024 * 1024 * 3 / 2);
  const RE2 re(text, options);
  if (re.error_code() == RE2::ErrorPatternTooLarge) return;
  if (!re.ok()) fail(pattern, "RE2 rejects the form " + text + ": " + re.error());
  if (static_cast<uint32_t>(re.NumberOfCapturingGroups()) != tree.capture_count) fail(pattern, "group count");
}

}  // namespace
}  // namespace vorlisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlisk;
  if (size > 2048) return 0;  // longer patterns only repeat what shorter ones reach
  const std::string_view pattern(reinterpret_cast<const char*>(data), size);
  const auto linear = pattern::parse_linear_pattern(pattern);
  if (const auto* tree = std::get_if<pattern::PatternTree>(&linear)) {
    if (std::string fault = testing_support::tree_fault(*tree, size, true); !fault.empty()) {
      fuzz::fail(pattern, "linear tree: " + fault);
    }
    fuzz::check_form(pattern, *tree, pattern::Re2Form::kFull);
    fuzz::check_form(pattern, *tree, pattern::Re2Form::kAscii);
  } else if (std::get<std::string>(linear).empty()) {
    fuzz::fail(pattern, "an empty error text");
  }
  const pattern::BacktrackingParse backtracking = pattern::parse_backtracking_pattern(pattern);
  if (std::string fault = testing_support::tree_fault(backtracking.tree, size, false); !fault.empty()) {
    fuzz::fail(pattern, "backtracking tree: " + fault);
  }
  return 0;
}
