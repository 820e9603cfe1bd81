// The writers whose Python objects exist, for the write-out at exit.
//
// Across fork() every writer keeps itself usable in a child (its handle is
// listed with the fork guard, fork_guard.h). The registry's own lock needs
// no such care: only a thread holding the interpreter lock takes it, and
// only for bookkeeping, so at a fork, whose thread holds the interpreter
// lock, no other thread holds it.
//
// Thread safety: every function is called with the interpreter lock held.
// The registry keeps no writer alive; an entry is removed before its object
// lets go of its writer.
#pragma once

#include <memory>
#include <vector>

#include "core/worker/writer_handle.h"

namespace vorlisk::py {

// Called by the writer object's constructor and deallocator.
void track_open_writer(const std::shared_ptr<WriterHandle>& writer);
void untrack_open_writer(const WriterHandle& writer);

// Shared ownership of every tracked writer, so that an object dropped on
// another thread while the caller waits cannot free its writer.
std::vector<std::shared_ptr<WriterHandle>> open_writers();

}  // namespace vorlisk::py
