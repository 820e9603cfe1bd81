#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/worker/line_queue.h"

namespace vorlisk {
namespace {

using namespace std::chrono_literals;

struct RefusalCase {
  const char* name;
  bool close_first;
  PushStatus (*push)(LineQueue&, std::string&);
  PushStatus expected;
  uint64_t dropped_after;
};

class PushRefusal : public ::testing::TestWithParam<RefusalCase> {};

// A refused line comes back untouched and only a non-blocking push into a
// full (open) queue counts a drop.
TEST_P(PushRefusal, HandsTheLineBack) {
  const RefusalCase& c = GetParam();
  LineQueue queue(1, true);
  std::string first = "first";
  ASSERT_EQ(line_queue_try_push(queue, first), PushStatus::accepted);
  if (c.close_first) queue.state.closed = true;
  std::string line = "second";
  EXPECT_EQ(c.push(queue, line), c.expected);
  EXPECT_EQ(line, "second");
  EXPECT_EQ(queue.state.enqueued, 1u);
  EXPECT_EQ(queue.state.dropped, c.dropped_after);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PushRefusal,
    ::testing::Values(
        RefusalCase{"try_full", false, line_queue_try_push, PushStatus::full, 1},
        RefusalCase{"try_closed", true, line_queue_try_push, PushStatus::closed, 0},
        RefusalCase{"no_drop_full", false, line_queue_push_no_drop, PushStatus::full, 0},
        RefusalCase{"no_drop_closed", true, line_queue_push_no_drop, PushStatus::full, 0},
        RefusalCase{"blocking_closed", true, line_queue_push_blocking, PushStatus::closed, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Frees one slot the way the worker does.
void take_one(LineQueue& queue) {
  std::lock_guard lock(queue.mutex);
  queue.state.lines.pop_front();
  queue.state.dequeued += 1;
  queue.cond_space.notify_one();
}

void close_queue(LineQueue& queue) {
  std::lock_guard lock(queue.mutex);
  queue.state.closed = true;
  queue.cond_space.notify_all();
}

class BlockedProducer : public ::testing::TestWithParam<bool> {};

// A blocking push on a full queue waits with the caller's lock released,
// and ends when a slot frees (accepted) or the queue closes (closed).
TEST_P(BlockedProducer, WaitsUntilSpaceOrClose) {
  const bool close = GetParam();
  LineQueue queue(1, true);
  ASSERT_EQ(enqueue_line_with_outcome(queue, "queued", false), EnqueueOutcome::accepted);

  std::atomic<int> released{0};
  std::atomic<bool> returned{false};
  EnqueueOutcome outcome = EnqueueOutcome::full;
  std::thread producer([&] {
    outcome = enqueue_line_with_outcome(queue, "waiting", true, [&](auto&& wait) {
      released += 1;
      wait();
    });
    returned = true;
  });
  while (released.load() == 0) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(returned.load());
  if (close) {
    close_queue(queue);
  } else {
    take_one(queue);
  }
  producer.join();
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(outcome, close ? EnqueueOutcome::closed : EnqueueOutcome::accepted);
  EXPECT_EQ(queue.state.enqueued, close ? 1u : 2u);
  EXPECT_EQ(queue.state.dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Release, BlockedProducer, ::testing::Bool());

TEST(LineQueue, BlockingPushWithRoomNeverReleasesTheLock) {
  LineQueue queue(2, false);
  bool released = false;
  EXPECT_EQ(enqueue_line_with_outcome(queue, "a", true, [&](auto&& wait) {
              released = true;
              wait();
            }),
            EnqueueOutcome::accepted);
  EXPECT_FALSE(released);
}

}  // namespace
}  // namespace vorlisk
