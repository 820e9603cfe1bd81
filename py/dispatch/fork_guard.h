// The dispatcher's locks across fork().
//
// A queue generation's locks and the generation tracker's lock are taken by
// threads that do not hold the interpreter lock: workers waiting for
// records or for their turn, drains, blocked producers, wait_retired. Any of
// them may hold one at the instant another thread forks, and in the child,
// where that thread does not exist, the lock would stay held for ever; the
// conditions would go on counting waiters that do not exist there, and
// glibc may then block a notify for good.
//
// So every generation and tracker is listed here while it lives. Before a
// fork the forking thread takes the list's lock and then every listed
// object's locks; afterwards the parent releases them, and the child
// releases them, makes the conditions anew, and marks what it inherited as
// the parent's: a generation's worker is not there to deliver, and a
// tracker has no live generation left. The forking thread holds the
// interpreter lock and none of the listed locks (no Python code runs while
// one is held), and no thread ever waits for the interpreter lock, for the
// list's lock, or for another listed lock while it holds a listed one, so
// taking them all never waits for long.
//
// A dispatcher's registry lock is not listed: only a thread holding the
// interpreter lock takes it, and keeps the interpreter lock until it lets
// go of it, so at a fork no other thread holds it.
//
// Thread safety: ForkGuardRegistration may be made and dropped on any
// thread, holding none of the listed objects' locks; the hooks run only in
// the fork handlers, one fork at a time.
#pragma once

#include <cstdint>

namespace vorlisk::py {

// The number of fork()s that led to this process since the first listed
// object was made (in it or in an ancestor), counted in each child as it
// starts. An object noted under another count was made in an ancestor.
uint64_t fork_count();

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

// Lists an object for its lifetime. Declared as the object's last member,
// it lists the object once it is whole and unlists it first.
class ForkGuardRegistration {
 public:
  explicit ForkGuardRegistration(ForkGuarded* object);
  ~ForkGuardRegistration();
  ForkGuardRegistration(const ForkGuardRegistration&) = delete;
  ForkGuardRegistration& operator=(const ForkGuardRegistration&) = delete;

 private:
  ForkGuarded* object_;
};

}  // namespace vorlisk::py
