// RedactionConfig: compiled value patterns and their replacement, held
// across calls by the standalone render functions and render_enqueue_json
// so that nothing is compiled per record.
//
//   RedactionConfig(patterns, replacement=None, allow_backtracking=False)
//   getter len; true when it holds at least one pattern
//
// Thread safety: never changes after construction; any number of threads
// read it at once.
#pragma once

#include <optional>
#include <string>

#include "core/pattern/pattern_prefilter.h"

#include "py/config/pattern_list.h"
#include "py/glue/class_type.h"

namespace vorlisk::py {

struct RedactionPatterns {
  PatternList patterns;
  std::string replacement;  // "[REDACTED]" unless one was given
  std::optional<PatternPrefilter> prefilter;  // over `patterns`, when it helps
};

extern ClassType kRedactionConfigType;

// The `config` argument of a render call: a RedactionConfig instance, or
// the type mismatch naming RedactionConfig with the argument note. The
// patterns live as long as the object.
bool extract_redaction_config(PyObject* arg, const char* name, const RedactionPatterns** out);

}  // namespace vorlisk::py
