#include "core/pattern/pcre2_unicode.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <vector>

namespace vorlisk {

std::span<const CodePointRange> engine_unknown() {
  static const std::vector<CodePointRange> unknown = [] {
    char version[32] = {};
    unsigned major = 0;
    unsigned minor = 0;
    if (pcre2_config(PCRE2_CONFIG_UNICODE_VERSION, version) > 0) {
      std::sscanf(version, "%u.%u", &major, &minor);
    }
    return assigned_after(major, minor);
  }();
  return unknown;
}

}  // namespace vorlisk
