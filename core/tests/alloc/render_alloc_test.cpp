// A record whose texts match no value pattern allocates nothing but its
// line: the patterns cost searches, never copies. And the Pike VM takes
// for a short search memory in proportion to its program, not to the
// program times its groups. Counting needs a replaced global operator new,
// hence a binary of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <optional>

#include <string>
#include <variant>

#include "core/render/console_record.h"
#include "core/render/json_record.h"
#include "core/pattern/pattern_parser.h"
#include "core/pattern/pike_program.h"
#include "core/pattern/pike_vm.h"
#include "core/tests/typical_record.h"

namespace {
thread_local bool tls_counting = false;
thread_local size_t tls_allocations = 0;
thread_local size_t tls_bytes = 0;
}  // namespace

// Kept out of line: inlined where a pointer came from `new`, the call to
// free() reads to g++ as a mismatched pair (-Wmismatched-new-delete),
// though these two functions are the pair.
[[gnu::noinline]] void* operator new(size_t size) {
  if (tls_counting) {
    ++tls_allocations;
    tls_bytes += size;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace vorlisk {
namespace {

struct Rendered {
  size_t allocations;
  size_t length;
};

Rendered render_counted(bool json, const RedactionSettings& settings) {
  FieldMap fields = typical::record_fields();  // built before counting starts
  tls_allocations = 0;
  tls_counting = true;
  const size_t length =
      json ? std::get<std::string>(render_json_record(std::move(fields), typical::kLogger, typical::kLevel,
                                                      typical::kService, typical::kMessage, typical::kTimestamp,
                                                      std::nullopt, settings))
                 .size()
           : render_console_line(std::move(fields), typical::kLevel, typical::kMessage, true, typical::kTimestamp,
                                 settings, std::nullopt)
                 .size();
  tls_counting = false;
  return {tls_allocations, length};
}

class UnmatchedRecord : public ::testing::TestWithParam<bool> {};

TEST_P(UnmatchedRecord, AllocatesOnlyItsLine) {
  const std::vector<CompiledPattern> compiled = typical::unmatched_patterns();
  RedactionSettings with_patterns;
  with_patterns.patterns = compiled;
  const std::optional<PatternPrefilter> prefilter = PatternPrefilter::build(compiled);
  RedactionSettings prefiltered = with_patterns;
  prefiltered.prefilter = &*prefilter;
  render_counted(GetParam(), with_patterns);  // the engines warm their caches once
  render_counted(GetParam(), prefiltered);

  // The line buffer starts with room for the thread's previous line, which
  // was this same record: the line is the one allocation.
  const Rendered plain = render_counted(GetParam(), {});
  const Rendered redacted = render_counted(GetParam(), with_patterns);
  EXPECT_EQ(plain.allocations, 1u);
  EXPECT_EQ(redacted.allocations, 1u);
  EXPECT_EQ(render_counted(GetParam(), prefiltered).allocations, 1u);
  EXPECT_EQ(redacted.length, plain.length);
}

INSTANTIATE_TEST_SUITE_P(JsonAndConsole, UnmatchedRecord, ::testing::Bool());

TEST(PikeVm, AShortSearchTakesMemoryForTheProgramNotForItsGroupsAtEveryEntry) {
  std::string pattern = "\\b(?:zz|";
  for (int i = 0; i < 20; ++i) pattern += "(abcdefghij){1000}";
  pattern += ")";
  const auto tree = pattern::parse_linear_pattern(pattern);
  ASSERT_TRUE(std::holds_alternative<pattern::PatternTree>(tree));
  const std::optional<pattern::PikeProgram> program =
      pattern::PikeProgram::compile(std::get<pattern::PatternTree>(tree));
  ASSERT_TRUE(program.has_value());
  const size_t entries = program->instructions().size();
  ASSERT_GT(entries, 200000u);
  for (bool wants_groups : {false, true}) {
    tls_bytes = 0;
    tls_counting = true;
    pattern::PikeMatcher matcher(*program, "\u00E9 zz", wants_groups);
    MatchBounds found;
    const SearchStatus status = matcher.find(0, found);
    tls_counting = false;
    EXPECT_EQ(status, SearchStatus::kFound);
    EXPECT_LT(tls_bytes, 8 * entries) << "wants_groups " << wants_groups;
  }
}

}  // namespace
}  // namespace vorlisk
