// Locks across fork(): the order in which the fork guard takes and releases
// its objects' locks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "core/base/fork_guard.h"

namespace vorlisk {
namespace {

using namespace std::chrono_literals;

// The child's exit code, or -1 when it did not end within ten seconds.
int wait_for_child(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(1ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

enum class Hook { lock, unlock_in_parent, unlock_in_child };

struct HookEvent {
  int id;
  Hook hook;
};

// What the hooks did, in order. Fixed storage: the hooks run inside fork().
struct HookLog {
  std::array<HookEvent, 32> events{};
  size_t size = 0;

  void add(int id, Hook hook) {
    if (size < events.size()) events[size++] = {id, hook};
  }
};

class Recorder final : public ForkGuarded {
 public:
  Recorder(HookLog& log, int id, ForkLockPlace place)
      : log_(log), id_(id), registration_(this, place) {}

  void lock_for_fork() override { log_.add(id_, Hook::lock); }
  void unlock_after_fork_in_parent() override { log_.add(id_, Hook::unlock_in_parent); }
  void unlock_after_fork_in_child() override { log_.add(id_, Hook::unlock_in_child); }

 private:
  HookLog& log_;
  int id_;
  ForkGuardRegistration registration_;
};

// Every listed object locked once, those `among` before those `after`, then
// every one released with `unlock`, in the reverse order of locking.
bool follows_the_order(const HookLog& log, const std::vector<int>& among,
                       const std::vector<int>& after, Hook unlock) {
  const size_t n = among.size() + after.size();
  if (log.size != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    const HookEvent& taken = log.events[i];
    const HookEvent& released = log.events[2 * n - 1 - i];
    if (taken.hook != Hook::lock || released.hook != unlock || released.id != taken.id) {
      return false;
    }
    const std::vector<int>& expected_group = i < among.size() ? among : after;
    if (std::find(expected_group.begin(), expected_group.end(), taken.id) ==
        expected_group.end()) {
      return false;
    }
  }
  return true;
}

// Forks once: true when the parent's and the child's logs both follow the
// order, and only the child counted the fork.
bool fork_follows_the_order(HookLog& log, const std::vector<int>& among,
                            const std::vector<int>& after) {
  log.size = 0;
  const uint64_t forks_before = fork_count();
  const pid_t pid = fork();
  if (pid == 0) {
    const bool ok = fork_count() == forks_before + 1 &&
                    follows_the_order(log, among, after, Hook::unlock_in_child);
    _exit(ok ? 0 : 1);
  }
  EXPECT_GT(pid, 0);
  if (pid <= 0) return false;
  EXPECT_TRUE(follows_the_order(log, among, after, Hook::unlock_in_parent));
  EXPECT_EQ(fork_count(), forks_before);
  return wait_for_child(pid) == 0;
}

TEST(ForkGuard, LocksObjectsAfterTheOthersLastAndReleasesInReverse) {
  ASSERT_TRUE(fork_guard_installed());
  HookLog log;
  auto among = ForkLockPlace::among_others;
  auto after = ForkLockPlace::after_the_others;
  std::optional<Recorder> a(std::in_place, log, 1, among);
  std::optional<Recorder> p(std::in_place, log, 2, after);
  std::optional<Recorder> b(std::in_place, log, 3, among);
  std::optional<Recorder> q(std::in_place, log, 4, after);
  std::optional<Recorder> c(std::in_place, log, 5, among);
  EXPECT_TRUE(fork_follows_the_order(log, {1, 3, 5}, {2, 4}));

  // Unlisted from the middle and from either end, then listed anew.
  b.reset();
  q.reset();
  c.reset();
  std::optional<Recorder> r(std::in_place, log, 6, after);
  std::optional<Recorder> d(std::in_place, log, 7, among);
  EXPECT_TRUE(fork_follows_the_order(log, {1, 7}, {2, 6}));

  a.reset();
  d.reset();
  EXPECT_TRUE(fork_follows_the_order(log, {}, {2, 6}));
}

}  // namespace
}  // namespace vorlisk
