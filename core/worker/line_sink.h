// Where the writer's worker puts lines, and the store the memory sinks fill.
//
// Thread safety: a sink is owned and called by one worker thread, one call
// at a time, never under the queue mutex and never with the interpreter
// lock. `CapturedLines` is shared between that worker and Python threads
// reading `messages()`; its own mutex guards it and is never held together
// with the queue mutex, except by a thread that forks, which holds every
// lock of the writer across fork().
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vorlisk {

// Success, or the error text of a failed write or flush. The texts are
// only ever counted, never shown, but they keep the cause for debugging.
class SinkResult {
 public:
  static SinkResult ok() { return SinkResult(); }
  static SinkResult failure(std::string text) { return SinkResult(std::move(text)); }

  bool is_ok() const { return !error_; }
  const std::string& error() const { return *error_; }

 private:
  SinkResult() = default;
  explicit SinkResult(std::string text) : error_(std::move(text)) {}
  std::optional<std::string> error_;
};

// What became of the first `lines` lines of a `write_lines` call, counted
// line by line as single writes are: a line the sink took is `written`;
// each line adds its failures to `errors` (1 for a lost line, or more when
// the sink counted several of its own, as a fan-out does).
struct WriteTally {
  size_t lines = 0;
  uint64_t written = 0;
  uint64_t errors = 0;
};

class LineSink {
 public:
  virtual ~LineSink() = default;
  // Takes the line; a failed line is lost (the worker only counts it).
  SinkResult write(std::string line) { return write_line(line); }
  // The same for the worker, which reuses the line's buffer: the sink may
  // move the line away (to keep it); whatever it leaves in `line` is the
  // caller's again.
  virtual SinkResult write_line(std::string& line) = 0;
  virtual SinkResult flush() = 0;
  // Failures the sink counted on its own since the last call (a fan-out's
  // children, a log file whose rotation failed); resets the count.
  virtual uint64_t take_errors() = 0;

  // How many lines the worker may hand to one `write_lines` call. A sink
  // that writes line by line says 1, so every line's completion is seen
  // (and counted as progress) as soon as it happens.
  virtual size_t batch_lines() const { return 1; }
  // Writes lines from the front of `lines` (never empty): at least one, at
  // most all, and says how many it dealt with; the worker offers the rest
  // again. Buffers left in the lines are the caller's again, as with
  // `write_line`. By default the first line alone, through `write_line`.
  virtual WriteTally write_lines(std::span<std::string> lines);
};

// The failures of one write or flush: the sink's own count, or 1 for a
// failure it did not count itself. Reads (and so resets) the sink's count.
inline uint64_t take_failures(LineSink& sink, const SinkResult& result) {
  return std::max<uint64_t>(sink.take_errors(), result.is_ok() ? 0 : 1);
}

// The lines a memory sink received, in arrival order. Nothing is ever
// removed, so `messages()` still answers after the writer closed.
class CapturedLines {
 public:
  void append(std::string line);
  std::vector<std::string> snapshot() const;
  // Held by a thread that forks, so that a child never inherits the mutex
  // taken by the worker (WriterHandle::lock_for_fork).
  std::unique_lock<std::mutex> lock_for_fork() const { return std::unique_lock(mutex_); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace vorlisk
