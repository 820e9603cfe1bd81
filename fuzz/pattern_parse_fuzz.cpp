// Drives the pattern parser with arbitrary bytes in both dialects. Every
// tree must be well formed (sets in order without surrogates, each class
// the union of its members, spans inside the pattern, no backtracking
// construct in a linear tree), and the RE2 forms of a linear tree must
// compile, unless too large for the program limit, with the tree's groups.
// The Pike VM then searches texts with each linear tree: the text after a
// zero byte and a byte 0xFF in the input (the pattern is what comes
// before them), and a few fixed ones. Replacing its matches must give
// valid UTF-8 for valid text,
// and on ASCII text it must find RE2's matches and groups with the ASCII
// form, when RE2's \b and \B are all the word assertions the tree holds.
#include <re2/re2.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "core/base/utf8.h"
#include "core/pattern/match_loop.h"
#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"
#include "core/tests/pattern/engine_replace.h"
#include "core/tests/pattern/pattern_tree_check.h"
#include "core/tests/pattern/pike_matches.h"
#include "core/tests/pattern/re2_matches.h"

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

constexpr std::string_view kTexts[] = {
    "ab_1 x-123 Kk sS\nx\n", "", "\u00E9t\u00E9 \u0436\u0301 \u0663\u0664 \u4E2D\u3002 \u212A\u017F\n",
    "a\u00E9", "x\xFFy"};

void search_with_vm(std::string_view pattern, const pattern::PatternTree& tree, std::string_view text) {
  const std::optional<pattern::PikeProgram> program = pattern::PikeProgram::compile(tree);
  if (!program) fail(pattern, "no Pike VM program for a linear tree");
  pattern::PikeMatcher matcher(*program, text, true);
  const std::optional<std::string> out =
      replace_all_matches(text, "<$1>", testing_support::TreeGroups(tree), matcher);
  if (out && is_valid_utf8(text) && !is_valid_utf8(*out)) fail(pattern, "VM output is not UTF-8");
  if (!is_ascii(text) || !tree.word_assertions_re2_ascii) return;
  const auto re = testing_support::compile_re2(pattern::emit_re2(tree, pattern::Re2Form::kAscii));
  if (!re->ok()) return;  // too large
  const std::string expected = testing_support::re2_matches(*re, text);
  const std::string found = testing_support::vm_matches(*program, text);
  if (found != expected) fail(pattern, "VM " + found + " but RE2 " + expected + " over " + std::string(text));
}

}  // namespace
}  // namespace vorlisk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vorlisk;
  if (size > 2048) return 0;  // longer patterns only repeat what shorter ones reach
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t zero = input.find(std::string_view("\0\xFF", 2));
  const std::string_view pattern = input.substr(0, zero);
  const auto linear = pattern::parse_linear_pattern(pattern);
  if (const auto* tree = std::get_if<pattern::PatternTree>(&linear)) {
    if (std::string fault = testing_support::tree_fault(*tree, pattern.size(), true); !fault.empty()) {
      fuzz::fail(pattern, "linear tree: " + fault);
    }
    fuzz::check_form(pattern, *tree, pattern::Re2Form::kFull);
    fuzz::check_form(pattern, *tree, pattern::Re2Form::kAscii);
    if (zero != std::string_view::npos) fuzz::search_with_vm(pattern, *tree, input.substr(zero + 2));
    for (std::string_view text : fuzz::kTexts) fuzz::search_with_vm(pattern, *tree, text);
  } else if (std::get<std::string>(linear).empty()) {
    fuzz::fail(pattern, "an empty error text");
  }
  const pattern::BacktrackingParse backtracking = pattern::parse_backtracking_pattern(pattern);
  if (std::string fault = testing_support::tree_fault(backtracking.tree, pattern.size(), false); !fault.empty()) {
    fuzz::fail(pattern, "backtracking tree: " + fault);
  }
  return 0;
}
