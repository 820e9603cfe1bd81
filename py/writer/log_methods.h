// The fused log path of _NativeStringWriter: one call merges a record's
// field sources, converts them, renders the line and pushes it, so that the
// line never exists as a Python string on its way to the writer thread.
//
//   log(config, logger, level, message, bound, kwargs, contextvars,
//       exception, stack, created=None) -> int outcome
//   log_capture(..., stack, json_copy, created=None)
//       -> (int outcome, str line, str JSON copy or None)
//   render_enqueue_json(fields, logger, level, service, message, blocking,
//       config=None, sensitive_keys=None, stack=None, timestamp=None) -> bool
//   render_enqueue_json_outcome(...same...) -> "accepted" | "full" | "closed"
//
// Everything runs on the calling thread with the interpreter lock held; only
// a blocking push onto a full queue waits, with the lock released.
#pragma once

#include "py/glue/python.h"

namespace vorlisk::py {

// Method table entries for the writer class.
PyMethodDef log_method();
PyMethodDef log_capture_method();
PyMethodDef render_enqueue_json_method();
PyMethodDef render_enqueue_json_outcome_method();

}  // namespace vorlisk::py
