// Starting a writer: the sink for each output the writer object offers,
// paired with a new queue and worker.
//
// Runs without the interpreter lock (it may create directories and open
// files). Thread safety: the functions share no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/worker/writer_worker.h"

namespace vorlisk {

std::variant<WriterParts, std::string> start_memory_writer(uint64_t maxsize, bool paused);
std::variant<WriterParts, std::string> start_failing_memory_writer(uint64_t maxsize,
                                                                   uint64_t fail_after,
                                                                   bool paused);
std::variant<WriterParts, std::string> start_stdout_writer(uint64_t maxsize);
std::variant<WriterParts, std::string> start_null_writer(uint64_t maxsize);

// The writer object's constructor arguments, converted.
struct WriterOptions {
  uint64_t maxsize = 0;
  bool paused = false;
  std::optional<uint64_t> fail_after;
  std::string target = "memory";
  std::optional<std::string> file_path;
  uint64_t file_max_bytes = 0;
  uint64_t file_backup_count = 0;
  bool also_stdout = false;
};

// Why a writer could not start: a bad setting or an output that cannot be
// opened (raised as ValueError), or no thread to run it on.
struct WriterStartError {
  enum class Kind { invalid, no_thread } kind;
  std::string message;
};

// A file (with rotation), standard output, or both when `file_path` or
// `also_stdout` is given, never paused; otherwise the sink `target` names:
// "memory" (failing after `fail_after` writes when given), "stdout" or
// "null". Anything else fails with "unknown writer target: <target>".
std::variant<WriterParts, WriterStartError> start_configured_writer(const WriterOptions& options);

}  // namespace vorlisk
