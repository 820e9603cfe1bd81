#include "core/worker/line_sink.h"

namespace vorlisk {

void CapturedLines::append(std::string line) {
  std::lock_guard lock(mutex_);
  lines_.push_back(std::move(line));
}

std::vector<std::string> CapturedLines::snapshot() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

}  // namespace vorlisk
