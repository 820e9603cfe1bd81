#include "core/base/fork_local_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace vorlisk {

int ForkLocalFd::open(const char* path, int flags, mode_t mode) {
  for (;;) {
    const uint64_t forks_before = forks_made_.load(std::memory_order_acquire);
    const int opened = ::open(path, flags, mode);
    if (opened < 0) return errno;
    std::unique_lock lock(mutex_);
    // A fork() whose child got `opened` unlisted was counted before the
    // guard let go of this mutex in the parent.
    if (forks_made_.load(std::memory_order_relaxed) != forks_before) {
      lock.unlock();
      // Dropped unused: a child may hold it unlisted, and no lock taken
      // through it may outlive this process there.
      ::close(opened);
      continue;
    }
    const int replaced = std::exchange(fd_, opened);
    lock.unlock();
    if (replaced >= 0) ::close(replaced);
    return 0;
  }
}

void ForkLocalFd::reset() {
  int held = -1;
  {
    std::lock_guard lock(mutex_);
    held = std::exchange(fd_, -1);
  }
  if (held >= 0) ::close(held);
}

void ForkLocalFd::lock_for_fork() { fork_lock_.emplace(mutex_); }

void ForkLocalFd::unlock_after_fork_in_parent() {
  forks_made_.fetch_add(1, std::memory_order_release);
  fork_lock_.reset();
}

void ForkLocalFd::unlock_after_fork_in_child() {
  // close(2) is async-signal-safe; the parent's copy is left as it was.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  fork_lock_.reset();
}

}  // namespace vorlisk
