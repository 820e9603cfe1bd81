// Module functions that render one record into a line without a writer.
//
//   render_line / render_line_console                 per-call patterns,
//       compiled on every call by the linear-time engine only
//   render_line_with_config / render_console_with_config
//       a RedactionConfig's patterns, compiled once
//
// The lines are returned without a trailing newline.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

extern PyMethodDef kRenderLineFunction;
extern PyMethodDef kRenderLineWithConfigFunction;
extern PyMethodDef kRenderLineConsoleFunction;
extern PyMethodDef kRenderConsoleWithConfigFunction;

}  // namespace vorlisk::py
