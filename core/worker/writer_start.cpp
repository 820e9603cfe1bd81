#include "core/worker/writer_start.h"

#include <memory>
#include <utility>
#include <vector>

#include "core/worker/multi_sink.h"
#include "core/worker/rotating_file_sink.h"
#include "core/worker/simple_sinks.h"

namespace vorlisk {
namespace {

std::variant<WriterParts, WriterStartError> as_start_result(
    std::variant<WriterParts, std::string> started) {
  if (auto* error = std::get_if<std::string>(&started)) {
    return WriterStartError{WriterStartError::Kind::no_thread, std::move(*error)};
  }
  return std::get<WriterParts>(std::move(started));
}

}  // namespace

std::variant<WriterParts, std::string> start_memory_writer(uint64_t maxsize, bool paused) {
  auto captured = std::make_shared<CapturedLines>();
  return start_writer(maxsize, paused, std::make_unique<MemorySink>(captured), captured);
}

std::variant<WriterParts, std::string> start_failing_memory_writer(uint64_t maxsize,
                                                                   uint64_t fail_after,
                                                                   bool paused) {
  auto captured = std::make_shared<CapturedLines>();
  return start_writer(maxsize, paused, std::make_unique<FailingMemorySink>(captured, fail_after),
                      captured);
}

std::variant<WriterParts, std::string> start_stdout_writer(uint64_t maxsize) {
  return start_writer(maxsize, false, std::make_unique<StdoutSink>(),
                      std::make_shared<CapturedLines>());
}

std::variant<WriterParts, std::string> start_null_writer(uint64_t maxsize) {
  return start_writer(maxsize, false, std::make_unique<NullSink>(),
                      std::make_shared<CapturedLines>());
}

std::variant<WriterParts, WriterStartError> start_configured_writer(const WriterOptions& options) {
  std::vector<std::unique_ptr<LineSink>> sinks;
  if (options.file_path) {
    auto opened = RotatingFileSink::open(*options.file_path, options.file_max_bytes,
                                         options.file_backup_count);
    if (auto* error = std::get_if<std::string>(&opened)) {
      return WriterStartError{WriterStartError::Kind::invalid, std::move(*error)};
    }
    sinks.push_back(std::move(std::get<std::unique_ptr<RotatingFileSink>>(opened)));
  }
  if (options.also_stdout) sinks.push_back(std::make_unique<StdoutSink>());

  if (!sinks.empty()) {
    std::unique_ptr<LineSink> sink = sinks.size() == 1
                                         ? std::move(sinks.front())
                                         : std::make_unique<MultiSink>(std::move(sinks));
    return as_start_result(start_writer(options.maxsize, false, std::move(sink),
                                        std::make_shared<CapturedLines>()));
  }
  if (options.target == "memory") {
    return as_start_result(options.fail_after
                               ? start_failing_memory_writer(options.maxsize, *options.fail_after,
                                                             options.paused)
                               : start_memory_writer(options.maxsize, options.paused));
  }
  if (options.target == "stdout") return as_start_result(start_stdout_writer(options.maxsize));
  if (options.target == "null") return as_start_result(start_null_writer(options.maxsize));
  return WriterStartError{WriterStartError::Kind::invalid,
                          "unknown writer target: " + options.target};
}

}  // namespace vorlisk
