// Writing out, when the process ends, what open writers still hold.
//
// A writer kept in a module global is never dropped while a daemon thread is
// alive at exit (the interpreter then keeps module globals), so the lines it
// has queued would die with the process. At import an exit handler is
// registered that waits, for each open writer (open_writers.h) that is not
// abandoned and not inherited across fork(), until the lines queued by then
// are written and flushed.
//
// The exit handler also tells interpreter_exit.h that the exit has begun, on
// the thread that finalizes.
//
// The exit handler runs while the interpreter is still fully usable: after
// the non-daemon threads have been joined, and, as exit handlers run in
// reverse order of registration, after every handler registered later than
// the import, so that lines those log still count. It only flushes: the
// writers stay usable for whatever runs after it.
//
// A process started by `multiprocessing` never gets there when it was
// forked: it runs `threading`'s shutdown itself and then ends with
// os._exit. So a second hook is registered with that shutdown; it writes
// out only when the shutdown was called by Python code (multiprocessing's
// bootstrap), not by the interpreter's own exit, which runs the exit
// handler afterwards. Whichever of the two gets there first writes out, the
// other does nothing: one write-out per process.
//
// The write-out starts a flush of every writer before waiting for any, then
// waits for each with the interpreter lock released (a sink may need a
// Python thread to make progress, e.g. standard output piped to a reader
// thread), giving up on a writer as a flush with a stall limit does once
// kExitStallLimit has passed without a written line. Every limit runs from
// the start of the write-out, so stuck writers together hold the exit up
// for kExitStallLimit, not that much each.
//
// After the write-out, every line a push accepts in this process is written
// before the push returns: multiprocessing's child joins its non-daemon
// threads after the hook, and whatever they log meanwhile would die with
// os._exit; an exit handler registered before the import logs after the
// exit handler. A push waits as the write-out does, with the interpreter
// lock released; once one such wait stalls, later pushes only queue.
//
// Thread safety: the hooks and the pushes run with the interpreter lock
// held, which guards this module's own state.
#pragma once

#include "core/base/duration.h"
#include "core/worker/writer_handle.h"

namespace vorlisk::py {

// How long a wait at interpreter exit may pass without a written line.
inline constexpr Duration kExitStallLimit{5, 0};

// Registers the two hooks, once per process. False with the Python error set
// when that fails.
bool register_exit_flush();

// Called by every push that `writer` accepted, with the interpreter lock
// held: returns at once unless this process has written out, else waits
// until the line is written.
void write_through_after_exit(WriterHandle& writer);

}  // namespace vorlisk::py
