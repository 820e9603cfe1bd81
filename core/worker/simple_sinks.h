// The sinks without files: memory, a memory store that starts failing,
// standard output and nowhere. Threading as for every `LineSink`.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/worker/line_sink.h"

namespace vorlisk {

// The largest count one write(2) call is given (2^31 - 1).
inline constexpr size_t kMaxWriteChunk = 2'147'483'647;

// Writes all of `bytes` to `fd` in calls of at most `max_chunk` bytes,
// repeating calls interrupted by a signal. `written` receives what reached
// the descriptor, also when a later call failed. Errors: "failed to write
// whole buffer" for a call that wrote nothing, else the system's text.
SinkResult write_all_to_fd(int fd, std::string_view bytes, size_t& written,
                           size_t max_chunk = kMaxWriteChunk);

// The same for several buffers written one after another, with writev(2)
// calls of at most `max_chunk` bytes and IOV_MAX buffers. `parts` is used
// up: its entries are advanced past what was written.
SinkResult write_all_vectored(int fd, std::span<iovec> parts, size_t& written,
                              size_t max_chunk = kMaxWriteChunk);

// Appends every line to the store; never fails.
class MemorySink final : public LineSink {
 public:
  explicit MemorySink(std::shared_ptr<CapturedLines> captured) : captured_(std::move(captured)) {}
  SinkResult write_line(std::string& line) override;
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }

 private:
  std::shared_ptr<CapturedLines> captured_;
};

// Keeps the first `fail_after` lines; every later write fails with
// "test sink write failed" and its line is discarded.
class FailingMemorySink final : public LineSink {
 public:
  FailingMemorySink(std::shared_ptr<CapturedLines> captured, uint64_t fail_after)
      : captured_(std::move(captured)), fail_after_(fail_after) {}
  SinkResult write_line(std::string& line) override;
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }

 private:
  std::shared_ptr<CapturedLines> captured_;
  uint64_t fail_after_;
  uint64_t writes_ = 0;  // every call counts, failing ones included
};

// Raw file descriptor 1, unbuffered; Python's sys.stdout is not involved.
class StdoutSink final : public LineSink {
 public:
  SinkResult write_line(std::string& line) override;
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }
};

// Discards every line. It takes the lines that are ready at once: nothing
// it does can block or fail, so no progress goes unseen.
class NullSink final : public LineSink {
 public:
  SinkResult write_line(std::string&) override { return SinkResult::ok(); }
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }
  size_t batch_lines() const override { return 64; }
  WriteTally write_lines(std::span<std::string> lines) override {
    return WriteTally{lines.size(), lines.size(), 0};
  }
};

}  // namespace vorlisk
