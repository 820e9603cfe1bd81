// Queue generations and their tracker across fork(): locks held by other
// threads at the moment of the fork, and conditions with waiters there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "core/base/fork_guard.h"
#include "core/tests/wait_for_child.h"
#include "py/dispatch/generation.h"

namespace vorlisk::py {
namespace {

using namespace std::chrono_literals;

TEST(GenerationAcrossFork, ChildFindsTheLocksFreeAndNothingOfTheParentsWorkers) {
  auto tracker = std::make_shared<GenerationTracker>();
  QueueGeneration generation(tracker, 4, open_generation_id(*tracker));
  const uint64_t forks_before = fork_count();

  // One thread waits on `work`, as an idle worker does; another holds the
  // generation's lock while the fork begins, and the tracker's right after.
  bool done = false;
  std::thread waiter([&] {
    std::unique_lock<std::mutex> lock(generation.lock);
    generation.work.wait(lock, [&] { return done; });
  });
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    {
      std::lock_guard<std::mutex> lock(generation.lock);
      holding = true;
      std::this_thread::sleep_for(50ms);
    }
    std::lock_guard<std::mutex> lock(tracker->lock);
    std::this_thread::sleep_for(20ms);
  });
  while (!holding) std::this_thread::yield();

  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5 * kTimeScale);  // a hang ends the child
    bool ok = fork_count() == forks_before + 1;
    if (generation.lock.try_lock()) {
      generation.work.notify_all();
      generation.progress.notify_all();
      ok = ok && generation.abandoned && !generation.accepting &&
           generation.stop_delivery.load() && !generation_worker_running(generation);
      generation.lock.unlock();
    } else {
      ok = false;
    }
    if (tracker->lock.try_lock()) {
      ok = ok && tracker->live_ids.empty();
      tracker->lock.unlock();
    } else {
      ok = false;
    }
    _exit(ok ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  holder.join();
  {
    std::lock_guard<std::mutex> lock(generation.lock);
    done = true;
    // The parent's generation and tracker are as they were.
    EXPECT_TRUE(generation.accepting);
    EXPECT_FALSE(generation.abandoned);
  }
  generation.work.notify_all();
  waiter.join();
  EXPECT_EQ(tracker->live_ids.size(), 1u);
  EXPECT_EQ(fork_count(), forks_before);
  EXPECT_EQ(wait_for_child(pid, 5s), 0);
}

}  // namespace
}  // namespace vorlisk::py
