// The per-thread callback depth: how many sink callbacks the current thread
// is inside of. A non-zero depth makes the dispatcher's record path queue
// nothing and its waits return at once, so a sink can never feed or wait
// for its own worker.
//
// A dispatch worker thread counts as inside a callback for its whole life:
// its depth never drops below one, whatever its sinks call. That holds only
// in the process that started the worker: a sink that forks goes on, in
// the child, on a thread that is no worker there.
//
// Thread safety: every value here is thread-local.
#pragma once

#include <cstdint>

#include "py/glue/python.h"

namespace vorlisk::py {

bool inside_sink_callback();

// Marks the calling thread as a dispatch worker: depth 1, never lower.
void mark_dispatch_worker_thread();

// For the thread a forked child continues on: depth 0, except on a
// dispatch worker of this process (a sink that calls fork_child without
// having forked), which stays at one.
void reset_callback_depth_after_fork();

// Module functions in_callback(), enter_callback(), exit_callback().
extern PyMethodDef kInCallbackFunction;
extern PyMethodDef kEnterCallbackFunction;
extern PyMethodDef kExitCallbackFunction;

}  // namespace vorlisk::py
