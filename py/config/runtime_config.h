// RuntimeConfig: the render and delivery policy of one configuration as a
// Python class, built once by configure() and handed to every fused log
// call, which reads its RenderPolicy natively.
//
//   RuntimeConfig(service, sensitive_keys=None, sensitive_patterns=None,
//                 pattern_replacement=None, allow_backtracking=False,
//                 console=False, colors=False, blocking=True)
//   getters service, console, colors, blocking, pattern_count
//   redact_patterns(text) -> str
//
// Value patterns are compiled once, at construction (ValueError with the
// engine's message at the first that fails). Frozen: nothing changes after
// construction, so calls on any thread read it without a borrow.
#pragma once

#include "py/config/render_policy.h"
#include "py/glue/class_type.h"

namespace vorlisk::py {

extern ClassType kRuntimeConfigType;

// The `config` argument of a fused log call: a RuntimeConfig instance, or
// the type mismatch naming RuntimeConfig with the argument note. The policy
// lives as long as the object.
bool extract_runtime_config(PyObject* arg, const char* name, const RenderPolicy** out);

}  // namespace vorlisk::py
