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

#include "core/render/redaction.h"
#include "core/value/value.h"
#include "py/config/pattern_list.h"

namespace vorlisk::py {

struct RenderPolicy {
  std::string service;
  PatternList patterns;     // value patterns, in declaration order
  std::optional<PatternPrefilter> prefilter;  // over `patterns`, when it helps
  std::string replacement;  // for pattern matches; sensitive values are always "[REDACTED]"
  std::optional<SensitiveKeys> sensitive_keys;  // none: the default keys
  bool console = false;     // console lines instead of JSON lines
  bool colors = false;      // coloured console lines
  bool blocking = true;     // a full queue makes the log call wait

  // The redaction inputs of every record under this policy; refers to the
  // policy, which must outlive it.
  RedactionSettings redaction() const {
    return RedactionSettings{sensitive_keys ? &*sensitive_keys : nullptr, patterns, replacement,
                             prefilter ? &*prefilter : nullptr};
  }
};

// The JSON line of one record under `policy` (its service and redaction),
// or nothing with ValueError set: a big-integer field whose text is not one
// JSON value, reported with the JSON error's display text.
std::optional<std::string> render_config_line(const RenderPolicy& policy, FieldMap fields,
                                              std::string_view logger, std::string_view level,
                                              std::string_view message, std::string_view timestamp,
                                              std::optional<std::string_view> stack);

}  // namespace vorlisk::py
