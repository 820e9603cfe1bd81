// Writing out, at interpreter exit, what open writers still hold.
//
// A writer kept in a module global is never dropped while a daemon thread is
// alive at exit (the interpreter then keeps module globals), so the lines it
// has queued would die with the process. Every writer object is therefore
// tracked from construction to deallocation, and an exit handler registered
// at import waits, for each tracked writer that is still open, not abandoned
// and not inherited across fork(), until the lines queued by then are
// written and flushed.
//
// The handler runs while the interpreter is still fully usable: after the
// non-daemon threads have been joined, and, as exit handlers run in reverse
// order of registration, after every handler registered later than the
// import, so that lines those log still count. It only flushes: the writers
// stay usable for whatever runs after it.
//
// Each wait releases the interpreter lock (a sink may need a Python thread to
// make progress, e.g. standard output piped to a reader thread) and gives up
// on the writer as a flush with a stall limit does, once kExitStallLimit has
// passed without a written line, so a stuck sink cannot hang the exit.
//
// Thread safety: tracking may happen on any thread holding the interpreter
// lock. The tracking lock is only ever taken with the interpreter lock held
// and never across a wait, so a fork() from Python never finds it held. The
// tracking keeps no writer alive.
#pragma once

#include <memory>

#include "core/base/duration.h"
#include "core/worker/writer_handle.h"

namespace vorlisk::py {

// How long a wait at interpreter exit may pass without a written line.
inline constexpr Duration kExitStallLimit{5, 0};

// Called with the interpreter lock held, by the writer object's constructor
// and deallocator.
void track_writer_for_exit(const std::shared_ptr<WriterHandle>& writer);
void untrack_writer_for_exit(const WriterHandle& writer);

// Registers the exit handler with the `atexit` module, once per process.
// False with the Python error set when that fails.
bool register_exit_flush();

}  // namespace vorlisk::py
