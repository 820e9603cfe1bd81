// Every lock that a child of fork() can reach, held across the fork.
//
// A child made by fork() has only the thread that forked. A lock that any
// other thread held at that instant would stay held there for ever, and a
// condition variable would go on counting waiters that do not exist there
// (glibc may then block a notify for good). So every object whose locks are
// taken by threads other than the one holding the interpreter lock (worker
// threads, threads waiting with it released) is listed here while it lives,
// and one set of fork handlers, installed as the program (or the extension)
// loads, does this around every fork(), however it is called:
//
//   before, in the forking thread: takes the list's lock, then every lock
//     of every object listed `among_others`, then every lock of those listed
//     `after_the_others`; each object takes its own locks in its own order;
//   after, in the parent: releases them all, in the reverse order;
//   after, in the child: counts the fork (fork_count), then has every object
//     release its locks, in the reverse order, making its conditions anew
//     and letting go of what belonged to threads that did not come along
//     (a worker, a thread handle, a tracker's live generations).
//
// The objects listed, and their locks in the order each takes them:
//   a writer's handle (WriterHandle): its queue's mutex, its own mutex, its
//     captured lines' mutex; in the child its queue is closed and its
//     worker counted done and forgotten;
//   a dispatcher's queue generation: its handle lock, then its lock; in the
//     child it counts as abandoned and its worker is forgotten;
//   a dispatcher's generation tracker: its lock; in the child it has no
//     live generation;
//   the table of recently compiled value patterns (RecentPatterns): its
//     mutex, held only to look up and reorder entries;
//   a descriptor that stays with its process (ForkLocalFd), such as a log
//     file's or its lock file's: its mutex, held only to note the number;
//     in the child its copy is closed;
//   the pool of deferred reference releases, `after_the_others`: its mutex.
//     A thread holding another listed lock may queue a release into the
//     pool, so the pool's mutex must be the last one taken.
//
// Taking them all never waits for long: fork() is never called while a
// listed lock is held (none is held across a call into Python, a sink or a
// wait for the interpreter lock); no thread waits for the list's lock while
// it holds a listed lock; and no holder of an object's locks waits for
// those of another object listed `among_others`. So every holder that the
// forking thread waits for is doing bookkeeping, and lets go.
//
// Locks taken only by the thread holding the interpreter lock (a
// dispatcher's registry, the registry of open writers) are not listed: the
// forking thread is that thread, so at a fork no other thread holds them.
//
// Thread safety: ForkGuardRegistration may be made and dropped on any
// thread holding no listed lock; the hooks run only in the fork handlers,
// one fork at a time, with the object's lifetime covered by its listing.
#pragma once

#include <cstdint>

namespace vorlisk {

// The number of fork()s that led to this process since the fork handlers
// were installed (in it or in an ancestor), counted in each child as it
// starts. A state noted under another count was made in an ancestor: so a
// dispatch worker, a dispatcher's state and the sampler's generators tell
// that they were inherited.
uint64_t fork_count();

// False when the system refused the fork handlers (out of memory): a
// child may then inherit a listed lock held.
bool fork_guard_installed();

class ForkGuarded {
 public:
  // Before fork(): takes every lock of the object. Must not wait for
  // anything but threads that are about to release them.
  virtual void lock_for_fork() = 0;
  // After fork(), in the parent: releases them.
  virtual void unlock_after_fork_in_parent() = 0;
  // After fork(), in the child, the forking thread being its only thread:
  // releases them, makes the conditions anew, and lets go of what belongs
  // to threads that did not come along.
  virtual void unlock_after_fork_in_child() = 0;

 protected:
  ~ForkGuarded() = default;

 private:
  friend class ForkGuardRegistration;
  friend struct ForkGuardList;
  ForkGuarded* previous_ = nullptr;  // guarded by the list's lock
  ForkGuarded* next_ = nullptr;
};

// Where an object's locks come among the listed ones before a fork.
enum class ForkLockPlace : uint8_t {
  // No holder of its locks waits for another listed object's lock.
  among_others,
  // After every object listed `among_others`: their holders may take it.
  after_the_others,
};

// Lists an object for its lifetime. Declared as the object's last member,
// it lists the object once it is whole and unlists it first.
class ForkGuardRegistration {
 public:
  explicit ForkGuardRegistration(ForkGuarded* object,
                                 ForkLockPlace place = ForkLockPlace::among_others);
  ~ForkGuardRegistration();
  ForkGuardRegistration(const ForkGuardRegistration&) = delete;
  ForkGuardRegistration& operator=(const ForkGuardRegistration&) = delete;

 private:
  ForkGuarded* object_;
};

}  // namespace vorlisk
