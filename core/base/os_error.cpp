#include "core/base/os_error.h"

#include <string.h>

namespace vorlisk {

std::string os_error_text(int errnum) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  std::string text = description;
  text += " (os error ";
  text += std::to_string(errnum);
  text += ')';
  return text;
}

}  // namespace vorlisk
