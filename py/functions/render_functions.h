// Module functions that render one record into a line without a writer.
//
//   render_line / render_line_console                 per-call patterns,
//       compiled on every call by the linear-time engine only
//   render_line_with_config / render_console_with_config
//       a RedactionConfig's patterns, compiled once
//
// The lines are returned without a trailing newline.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/pattern/pattern.h"
#include "core/pattern/pattern_prefilter.h"
#include "core/render/redaction.h"
#include "py/glue/python.h"

namespace vorlisk::py {

// One record as the render functions (and the writer's render_enqueue_json)
// receive it, arguments already checked. Everything is borrowed for the call.
struct RenderRequest {
  PyObject* fields = nullptr;   // a dict: str keys only
  PyObject* logger = nullptr;   // str
  std::string_view level;
  PyObject* service = nullptr;  // str
  PyObject* message = nullptr;  // str
  PyObject* stack = nullptr;    // str, or null for none
  std::optional<std::string_view> timestamp;                 // none: now
  const std::vector<std::string>* sensitive_keys = nullptr;  // null: the default keys
  std::span<const CompiledPattern> patterns;
  // Per-call pattern texts, compiled (linear-time engine only) after the
  // fields are converted; used instead of `patterns` when not null.
  const std::vector<std::string>* pattern_texts = nullptr;
  std::string_view replacement = kRedacted;
  const PatternPrefilter* prefilter = nullptr;
  bool console = false;  // the console line instead of the JSON line
  bool colors = false;
};

// Converts the fields, takes the texts (surrogates repaired), compiles any
// per-call patterns and renders the line, without a newline. Nothing with
// the Python error set: a field that does not convert, a pattern that does
// not compile, or a JSON error (each as its own exception).
std::optional<std::string> render_request(const RenderRequest& request);

extern PyMethodDef kRenderLineFunction;
extern PyMethodDef kRenderLineWithConfigFunction;
extern PyMethodDef kRenderLineConsoleFunction;
extern PyMethodDef kRenderConsoleWithConfigFunction;

}  // namespace vorlisk::py
