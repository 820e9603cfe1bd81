#include "core/worker/simple_sinks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/base/os_error.h"

namespace vorlisk {

SinkResult write_all_to_fd(int fd, std::string_view bytes, size_t& written, size_t max_chunk) {
  written = 0;
  while (written < bytes.size()) {
    const size_t chunk = std::min(bytes.size() - written, max_chunk);
    const ssize_t n = ::write(fd, bytes.data() + written, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return SinkResult::failure(os_error_text(errno));
    }
    if (n == 0) return SinkResult::failure("failed to write whole buffer");
    written += static_cast<size_t>(n);
  }
  return SinkResult::ok();
}

SinkResult MemorySink::write_line(std::string& line) {
  captured_->append(std::move(line));
  return SinkResult::ok();
}

SinkResult FailingMemorySink::write_line(std::string& line) {
  const uint64_t before = writes_;
  writes_ += 1;
  if (before >= fail_after_) return SinkResult::failure("test sink write failed");
  captured_->append(std::move(line));
  return SinkResult::ok();
}

SinkResult StdoutSink::write_line(std::string& line) {
  size_t written = 0;
  return write_all_to_fd(STDOUT_FILENO, line, written);
}

}  // namespace vorlisk
