// Rendering one typical record (core/tests/typical_record.h) as a JSON line
// and as a console line, without and with two value patterns that match
// nothing (searched one by one, or screened by a prefilter first, as a
// RuntimeConfig does). The fields are consumed by every render, so each
// iteration builds them first; BM_BuildFields measures that part alone.
// The "allocs" counter is the allocations of the render call itself, per
// iteration.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <optional>

#include "core/render/console_record.h"
#include "core/render/json_record.h"
#include "core/render/json_writer.h"
#include "core/render/timestamp.h"
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

// Arguments: the number of patterns (0 or 2), and whether a prefilter
// screens them as a RuntimeConfig's does.
struct Settings {
  std::vector<CompiledPattern> compiled;
  std::optional<PatternPrefilter> prefilter;
  RedactionSettings redaction;
  explicit Settings(const benchmark::State& state) {
    if (state.range(0) != 0) compiled = typical::unmatched_patterns();
    if (state.range(1) != 0) prefilter = PatternPrefilter::build(compiled);
    redaction.patterns = compiled;
    redaction.prefilter = prefilter ? &*prefilter : nullptr;
  }
};

void report(benchmark::State& state, size_t allocations, size_t bytes) {
  state.counters["allocs"] =
      benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_BuildFields(benchmark::State& state) {
  for (auto _ : state) {
    FieldMap fields = typical::record_fields();
    benchmark::DoNotOptimize(fields);
  }
}
BENCHMARK(BM_BuildFields);

void BM_JsonRecord(benchmark::State& state) {
  const Settings settings(state);
  size_t allocations = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    FieldMap fields = typical::record_fields();
    tls_allocations = 0;
    tls_counting = true;
    JsonResult line = render_json_record(std::move(fields), typical::kLogger, typical::kLevel,
                                         typical::kService, typical::kMessage, typical::kTimestamp,
                                         std::nullopt, settings.redaction);
    tls_counting = false;
    allocations += tls_allocations;
    bytes += std::get<std::string>(line).size();
    benchmark::DoNotOptimize(line);
  }
  report(state, allocations, bytes);
}
BENCHMARK(BM_JsonRecord)->ArgNames({"patterns", "prefilter"})->Args({0, 0})->Args({2, 0})->Args({2, 1});

void BM_ConsoleRecord(benchmark::State& state) {
  const Settings settings(state);
  size_t allocations = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    FieldMap fields = typical::record_fields();
    tls_allocations = 0;
    tls_counting = true;
    std::string line = render_console_line(std::move(fields), typical::kLevel, typical::kMessage, true,
                                           typical::kTimestamp, settings.redaction, std::nullopt);
    tls_counting = false;
    allocations += tls_allocations;
    bytes += line.size();
    benchmark::DoNotOptimize(line);
  }
  report(state, allocations, bytes);
}
BENCHMARK(BM_ConsoleRecord)->ArgNames({"patterns", "prefilter"})->Args({0, 0})->Args({2, 0})->Args({2, 1});

void BM_ValueToJson(benchmark::State& state) {
  const Value root = Value::map(typical::record_fields());
  size_t bytes = 0;
  for (auto _ : state) {
    JsonResult text = value_to_json(root);
    bytes += std::get<std::string>(text).size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_ValueToJson);

void BM_CurrentTimestamp(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(current_timestamp());
}
BENCHMARK(BM_CurrentTimestamp);

}  // namespace
}  // namespace vorlisk

BENCHMARK_MAIN();
