// The render and delivery policy of one configuration, as native code reads
// it for every record: what a RuntimeConfig holds, with nothing left to
// convert from Python.
//
// Thread safety: built once, never changed afterwards; any number of
// threads read it at once without a lock.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/render/redaction.h"
#include "py/config/pattern_list.h"

namespace vorlisk::py {

struct RenderPolicy {
  std::string service;
  PatternList patterns;     // value patterns, in declaration order
  std::string replacement;  // for pattern matches; sensitive values are always "[REDACTED]"
  std::optional<std::vector<std::string>> sensitive_keys;  // none: the default keys
  bool console = false;     // console lines instead of JSON lines
  bool colors = false;      // coloured console lines
  bool blocking = true;     // a full queue makes the log call wait

  // The redaction inputs of every record under this policy; refers to the
  // policy, which must outlive it.
  RedactionSettings redaction() const {
    return RedactionSettings{sensitive_keys ? &*sensitive_keys : nullptr, patterns, replacement};
  }
};

}  // namespace vorlisk::py
