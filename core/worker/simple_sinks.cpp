#include "core/worker/simple_sinks.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "core/base/os_error.h"

namespace vorlisk {

SinkResult write_all_to_fd(int fd, std::string_view bytes, size_t& written, size_t max_chunk) {
  iovec part{const_cast<char*>(bytes.data()), bytes.size()};
  return write_all_vectored(fd, std::span<iovec>(&part, 1), written, max_chunk);
}

SinkResult write_all_vectored(int fd, std::span<iovec> parts, size_t& written, size_t max_chunk) {
  written = 0;
  size_t first = 0;
  for (;;) {
    while (first < parts.size() && parts[first].iov_len == 0) ++first;
    if (first == parts.size()) return SinkResult::ok();
    // This call's buffers: the last one is cut short while the call would
    // pass `max_chunk`, and given its length back after the call.
    size_t end = first;
    size_t bytes = 0;
    while (end < parts.size() && end - first < IOV_MAX && bytes < max_chunk) {
      bytes += parts[end++].iov_len;
    }
    const size_t full_length = parts[end - 1].iov_len;
    if (bytes > max_chunk) parts[end - 1].iov_len -= bytes - max_chunk;
    const ssize_t n = ::writev(fd, &parts[first], static_cast<int>(end - first));
    const int error = errno;
    parts[end - 1].iov_len = full_length;
    if (n < 0) {
      if (error == EINTR) continue;
      return SinkResult::failure(os_error_text(error));
    }
    if (n == 0) return SinkResult::failure("failed to write whole buffer");
    written += static_cast<size_t>(n);
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      iovec& part = parts[first];
      const size_t taken = left < part.iov_len ? left : part.iov_len;
      part.iov_base = static_cast<char*>(part.iov_base) + taken;
      part.iov_len -= taken;
      left -= taken;
      if (part.iov_len == 0) ++first;
    }
  }
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
