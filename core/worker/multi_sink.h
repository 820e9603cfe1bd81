// A fan-out of several sinks (the log file and standard output). A line
// counts as written when any child took it; every child failure is counted
// once and reported through take_errors. Threading as for every `LineSink`.
#pragma once

#include <memory>
#include <vector>

#include "core/worker/line_sink.h"

namespace vorlisk {

class MultiSink final : public LineSink {
 public:
  explicit MultiSink(std::vector<std::unique_ptr<LineSink>> children)
      : children_(std::move(children)) {}

  // Fails only when every child failed (with the last child's text), or
  // with "multi-sink has no children".
  SinkResult write_line(std::string& line) override;
  // Fails when any child's flush failed, with the last failing text.
  SinkResult flush() override;
  uint64_t take_errors() override;

 private:
  std::vector<std::unique_ptr<LineSink>> children_;
  uint64_t errors_ = 0;
};

}  // namespace vorlisk
