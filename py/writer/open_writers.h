// The writers whose Python objects exist, for the write-out at exit, and
// the fork() handlers that keep every one of them usable in a child.
//
// Around every fork(), however it is called, the thread that forks takes
// the registry's lock and then every lock of every tracked writer
// (WriterHandle::lock_for_fork), and releases them all on both sides
// afterwards; in the child each writer first forgets its worker, which did
// not come along. None of these locks is ever held while waiting for the
// interpreter lock or for a sink, so the thread that forks, which normally
// holds the interpreter lock, waits at most for some bookkeeping.
//
// Thread safety: tracking may happen on any thread holding the interpreter
// lock. The registry's lock is taken before any writer's lock and never
// across a wait. The registry keeps no writer alive; an entry is removed
// before its object lets go of its writer, so every tracked writer is
// alive while the lock is held.
#pragma once

#include <memory>
#include <vector>

#include "core/worker/writer_handle.h"

namespace vorlisk::py {

// Called with the interpreter lock held, by the writer object's constructor
// and deallocator.
void track_open_writer(const std::shared_ptr<WriterHandle>& writer);
void untrack_open_writer(const WriterHandle& writer);

// Shared ownership of every tracked writer, so that an object dropped on
// another thread while the caller waits cannot free its writer.
std::vector<std::shared_ptr<WriterHandle>> open_writers();

// Installs the fork() handlers, once per process. False when the system
// refuses (no Python error is set).
bool install_writer_fork_handlers();

}  // namespace vorlisk::py
