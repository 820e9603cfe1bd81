// A test-only library for the Python pattern tests (loaded with ctypes):
// the matches of a value pattern by RE2 running its ASCII form, with RE2's
// own \b and \B, and by the Pike VM, which the extension runs only where
// RE2 cannot be exact. The extension's own surface stays as it is.
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "core/pattern/pattern_emit.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/tests/pattern/pike_matches.h"
#include "core/tests/pattern/re2_matches.h"

namespace {

enum Matcher { kRe2Ascii = 0, kPikeVm = 1 };

std::string matches_of(int matcher, const vorlisk::pattern::PatternTree& tree, std::string_view text,
                       bool& ok) {
  using namespace vorlisk;
  ok = true;
  if (matcher == kRe2Ascii) {
    const auto re = testing_support::compile_re2(pattern::emit_re2(tree, pattern::Re2Form::kAscii));
    if (!re->ok()) ok = false;
    return ok ? testing_support::re2_matches(*re, text) : std::string();
  }
  const std::optional<pattern::PikeProgram> program = pattern::PikeProgram::compile(tree);
  if (!program) ok = false;
  return ok ? testing_support::vm_matches(*program, text) : std::string();
}

}  // namespace

// The matches of `pattern` over `text` by `matcher` (0: RE2 and the ASCII
// form, 1: the Pike VM): "[start,end)" then "{start,end}" or "{-}" for
// each group, per match, in byte offsets. Writes at most `capacity` bytes
// to `out` and returns the length of the whole answer; -1 when the pattern
// does not parse, -2 when the matcher cannot be built. Never throws.
extern "C" __attribute__((visibility("default"))) long vorlisk_probe_matches(
    int matcher, const char* pattern, size_t pattern_size, const char* text, size_t text_size,
    char* out, size_t capacity) {
  try {
    const auto parsed = vorlisk::pattern::parse_linear_pattern(std::string_view(pattern, pattern_size));
    const auto* tree = std::get_if<vorlisk::pattern::PatternTree>(&parsed);
    if (tree == nullptr) return -1;
    bool ok = false;
    const std::string answer = matches_of(matcher, *tree, std::string_view(text, text_size), ok);
    if (!ok) return -2;
    std::memcpy(out, answer.data(), std::min(answer.size(), capacity));
    return static_cast<long>(answer.size());
  } catch (...) {
    return -2;
  }
}
