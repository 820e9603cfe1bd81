// Waiting for a forked child in a test, so that a child that hangs fails
// the test instead of blocking it.
//
// Thread safety: none needed; call it from the thread that forked.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "core/tests/test_time.h"

namespace vorlisk {

// The child's exit code, or -1 when it was ended by a signal or did not end
// within `limit` (it is then killed), a limit stretched for the sanitizer
// builds as `kTimeScale` tells.
inline int wait_for_child(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit * kTimeScale;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vorlisk
