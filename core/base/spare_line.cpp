#include "core/base/spare_line.h"

#include <utility>

namespace vorlisk {
namespace {

thread_local std::string tls_spare_line;

}  // namespace

std::string take_spare_line() {
  std::string line = std::move(tls_spare_line);
  tls_spare_line = std::string();
  line.clear();
  return line;
}

void keep_spare_line(std::string line) {
  if (!reusable_line_buffer(line) || reusable_line_buffer(tls_spare_line)) return;
  line.clear();
  tls_spare_line = std::move(line);
}

}  // namespace vorlisk
