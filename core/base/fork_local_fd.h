// An owned file descriptor that stays with the process that opened it: a
// child made by fork() has it closed as it starts.
//
// After fork() parent and child share each open file description, and with
// it any flock(2) lock taken through it. A descriptor a child inherits from
// a thread that did not come along is never used or closed there, so a lock
// that the parent holds through it would outlive the parent for as long as
// the child lives, and every other process waiting for it would wait as
// long. So each of these is listed with the fork guard (fork_guard.h) for
// its whole life, and the child's handler closes its copy: close(2) only,
// never an unlock, which would release the parent's lock on the shared
// description while the parent still works under it. The child's copy then
// holds nothing, and nothing there closes that number again, which may by
// then name a file the child opened itself.
//
// Two moments of a descriptor's life are not covered, so that fork() waits
// only for the bookkeeping around them, never for an open or a close (a
// stuck disk):
//   - between open(2) and noting the number. A child forked between them
//     may get the descriptor unnoted, so `open` then closes it and opens
//     again: this process never uses a description that a child holds
//     unknown to it;
//   - between forgetting the number and close(2). A child forked then
//     keeps the description, which this process is closing: close only a
//     descriptor on which this process holds no lock.
//
// Thread safety: one owner thread opens, uses and closes the descriptor;
// the fork guard's handlers, in whatever thread forks, only take its mutex
// (and, in the child, close it).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

#include "core/base/fork_guard.h"

namespace vorlisk {

class ForkLocalFd final : public ForkGuarded {
 public:
  ForkLocalFd() = default;
  ForkLocalFd(const ForkLocalFd&) = delete;
  ForkLocalFd& operator=(const ForkLocalFd&) = delete;
  ~ForkLocalFd() { reset(); }

  // The descriptor, or -1 when none is held (also in a child, whatever the
  // parent held).
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // open(2) of `path`; on success the new descriptor replaces the one held,
  // which is closed. Returns 0, or the system's error number, the one held
  // being kept. A fork() in the middle makes it open the path again, so
  // the flags must allow that (no O_EXCL).
  int open(const char* path, int flags, mode_t mode = 0);
  // Closes the descriptor held, if any.
  void reset();

 private:
  void lock_for_fork() override;
  void unlock_after_fork_in_parent() override;
  void unlock_after_fork_in_child() override;

  std::mutex mutex_;
  // Written under mutex_ by the owner and by the child's handler; read by
  // the owner without it.
  int fd_ = -1;
  // Counts the fork()s this process has come back from as the parent since
  // the descriptor was made; changed under mutex_.
  std::atomic<uint64_t> forks_made_{0};
  // Held by the forking thread across fork(); set in place, never allocated.
  std::optional<std::unique_lock<std::mutex>> fork_lock_;
  ForkGuardRegistration fork_registration_{this};
};

}  // namespace vorlisk
