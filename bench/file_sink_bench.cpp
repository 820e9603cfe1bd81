// The rotating file sink on its own, without the queue or the worker
// thread: lines of the `bench_log.py` record's length written in calls of
// 1, 16, 32 or 64 lines, each call one hold of the lock (two flock calls
// and a stat) with one writev. "rotating" sets a threshold of 16 lines, so
// the file rotates every 16 lines (two backups kept). Times are per line
// (items/s is lines/s).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/tests/temp_dir.h"
#include "core/worker/rotating_file_sink.h"

namespace vorlisk {
namespace {

constexpr size_t kLineBytes = 330;

void BM_FileSink(benchmark::State& state) {
  const size_t per_call = static_cast<size_t>(state.range(0));
  const uint64_t max_bytes = state.range(1) != 0 ? 16 * kLineBytes : uint64_t{64} << 20;
  TempDir dir;
  auto opened = RotatingFileSink::open(dir / "bench.log", max_bytes, 2);
  if (auto* error = std::get_if<std::string>(&opened)) {
    state.SkipWithError(error->c_str());
    return;
  }
  RotatingFileSink& sink = *std::get<std::unique_ptr<RotatingFileSink>>(opened);
  std::vector<std::string> lines(per_call, std::string(kLineBytes - 1, 'x') + "\n");
  for (auto _ : state) {
    for (size_t done = 0; done < lines.size();) {
      done += sink.write_lines(std::span(lines).subspan(done)).lines;
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(per_call));
}

BENCHMARK(BM_FileSink)
    ->ArgNames({"lines_per_call", "rotating"})
    ->ArgsProduct({{1, 16, 32, 64}, {0, 1}});

}  // namespace
}  // namespace vorlisk

BENCHMARK_MAIN();
