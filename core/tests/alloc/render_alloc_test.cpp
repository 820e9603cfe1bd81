// A record whose texts match no value pattern allocates nothing but its
// output line: the patterns cost searches, never copies. Counted with a
// replaced global operator new, which is why this is a binary of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/render/console_record.h"
#include "core/render/json_record.h"
#include "core/tests/typical_record.h"

namespace {

thread_local bool tls_counting = false;
thread_local size_t tls_allocations = 0;

void* counted_alloc(size_t size) {
  if (tls_counting) ++tls_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return counted_alloc(size); }
void* operator new[](size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace vorlisk {
namespace {

enum class Format { Json, Console };

struct Rendered {
  size_t allocations;
  size_t length;
};

Rendered render_counted(Format format, const RedactionSettings& settings) {
  FieldMap fields = typical::record_fields();  // built before counting starts
  tls_allocations = 0;
  tls_counting = true;
  size_t length;
  if (format == Format::Json) {
    JsonResult line = render_json_record(std::move(fields), typical::kLogger, typical::kLevel,
                                         typical::kService, typical::kMessage, typical::kTimestamp,
                                         std::nullopt, settings);
    length = std::get<std::string>(line).size();
  } else {
    std::string line = render_console_line(std::move(fields), typical::kLevel, typical::kMessage, true,
                                           typical::kTimestamp, settings, std::nullopt);
    length = line.size();
  }
  tls_counting = false;
  return {tls_allocations, length};
}

// What a line buffer that starts at 128 bytes and doubles costs to reach
// `length`.
size_t growth_allocations(size_t length) {
  size_t allocations = 1;
  for (size_t capacity = 128; capacity < length; capacity *= 2) ++allocations;
  return allocations;
}

class UnmatchedRecord : public ::testing::TestWithParam<Format> {};

TEST_P(UnmatchedRecord, AllocatesOnlyItsLine) {
  const std::vector<CompiledPattern> compiled = typical::unmatched_patterns();
  RedactionSettings with_patterns;
  with_patterns.patterns = compiled;
  render_counted(GetParam(), with_patterns);  // the engines warm their caches once

  const Rendered plain = render_counted(GetParam(), {});
  const Rendered redacted = render_counted(GetParam(), with_patterns);
  EXPECT_EQ(plain.length, redacted.length);
  EXPECT_LE(plain.allocations, growth_allocations(plain.length));
  EXPECT_EQ(redacted.allocations, plain.allocations);
}

INSTANTIATE_TEST_SUITE_P(Formats, UnmatchedRecord, ::testing::Values(Format::Json, Format::Console));

}  // namespace
}  // namespace vorlisk
