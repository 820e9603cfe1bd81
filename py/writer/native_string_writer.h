// The Python class _NativeStringWriter: a native writer thread fed through
// a bounded line queue, writing to a rotating log file, standard output,
// both, memory, a failing memory store, or nowhere.
//
// Construction opens the output with the interpreter lock released; flush,
// close, blocking pushes and joins release it while they wait. Dropping a
// writer that was neither closed nor abandoned closes it and waits for its
// worker, with the interpreter lock released too; once the interpreter is
// finalizing, with the lock held and a stall limit instead. A writer
// inherited across fork() is closed in the child, its worker not being
// there (fork_guard.h), and let go on drop. Open writers are written out
// when the process ends (exit_flush.h).
//
// Thread safety: any number of Python threads may use one writer at once;
// the core's WriterHandle does the locking. `abandon` is for a freshly
// forked child, where no other thread uses the writer.
#pragma once

#include <string>

#include "core/worker/line_queue.h"
#include "core/worker/writer_handle.h"
#include "py/glue/class_type.h"

namespace vorlisk::py {

// The class's type object (built once per process).
extern ClassType kNativeStringWriterType;

// The writer behind an instance of the class (the caller has checked the type).
WriterHandle& writer_of(PyObject* self);

// Pushes `line` under the caller's policy: non-blocking drops on a full
// queue; blocking waits for room with the interpreter lock released. After
// the exit write-out, an accepted line is waited for until it is written
// (exit_flush.h). Interpreter lock held on entry and on return.
EnqueueOutcome enqueue_line(WriterHandle& writer, std::string line, bool blocking);

// A new str holding the outcome's name: "accepted", "full" or "closed".
PyObject* outcome_name_object(EnqueueOutcome outcome);

}  // namespace vorlisk::py
