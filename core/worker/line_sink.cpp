#include "core/worker/line_sink.h"

namespace vorlisk {

WriteTally LineSink::write_lines(std::span<std::string> lines) {
  SinkResult result = write_line(lines.front());
  return WriteTally{1, result.is_ok() ? 1u : 0u, take_failures(*this, result)};
}

}  // namespace vorlisk
