// Where the writer's worker puts lines, and the store the memory sinks fill.
//
// Thread safety: a sink is owned and called by one worker thread, one call
// at a time, never under the queue mutex and never with the interpreter
// lock. `CapturedLines` is shared between that worker and Python threads
// reading `messages()`; its own mutex guards it and is never held together
// with the queue mutex.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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
};

// The lines a memory sink received, in arrival order. Nothing is ever
// removed, so `messages()` still answers after the writer closed.
class CapturedLines {
 public:
  void append(std::string line);
  std::vector<std::string> snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace vorlisk
