// Locks across fork(): the order in which the fork guard takes and releases
// its objects' locks, and a writer forked while its threads are busy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/base/fork_guard.h"
#include "core/tests/wait_for_child.h"
#include "core/worker/writer_handle.h"
#include "core/worker/writer_worker.h"

namespace vorlisk {
namespace {

using namespace std::chrono_literals;

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
  return wait_for_child(pid, 10s) == 0;
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

// Writes each line to the captured lines once the test lets it; the first
// write holds the worker in the sink until then.
struct Release {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
};

class HeldSink final : public LineSink {
 public:
  HeldSink(std::shared_ptr<Release> release, std::shared_ptr<CapturedLines> captured)
      : release_(std::move(release)), captured_(std::move(captured)) {}
  SinkResult write_line(std::string& line) override {
    {
      std::unique_lock lock(release_->mutex);
      release_->cv.wait(lock, [&] { return release_->released; });
    }
    captured_->append(std::move(line));
    return SinkResult::ok();
  }
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }

 private:
  std::shared_ptr<Release> release_;
  std::shared_ptr<CapturedLines> captured_;
};

// In the child: nothing waits for the worker that stayed behind, and every
// lock of the writer is free. Ends the child on its own if it hangs.
bool child_finds_the_writer_closed(std::unique_ptr<WriterHandle>& writer) {
  alarm(5 * kTimeScale);
  const WriterMetrics m = writer->metrics();
  bool ok = m.closed && m.worker_done && m.in_flight == 0;
  ok = ok && enqueue_line_with_outcome(writer->queue(), "child\n", false) == EnqueueOutcome::closed;
  ok = ok && enqueue_line_with_outcome(writer->queue(), "child\n", true) == EnqueueOutcome::closed;
  ok = ok && writer->flush(std::nullopt) == 0 && writer->flush(Duration{0, 1'000'000}) == 0;
  writer->messages();
  ok = ok && writer->close(std::nullopt) == 0;
  writer.reset();  // neither joins nor detaches the parent's worker
  return ok;
}

TEST(ForkGuard, AWriterForkedWhileBusyIsClosedInTheChildAndGoesOnInTheParent) {
  constexpr int kForks = 40;
  auto release = std::make_shared<Release>();
  auto captured = std::make_shared<CapturedLines>();
  std::variant<WriterParts, std::string> started =
      start_writer(2, false, std::make_unique<HeldSink>(release, captured), captured);
  ASSERT_TRUE(std::holds_alternative<WriterParts>(started));
  auto writer = std::make_unique<WriterHandle>(std::get<WriterParts>(std::move(started)));

  // The worker holds the first line in the sink, two more fill the queue,
  // a producer waits for room and a flush for progress, and a reader takes
  // the queue's and the captured lines' locks over and over.
  ASSERT_EQ(enqueue_line_with_outcome(writer->queue(), "1\n", false), EnqueueOutcome::accepted);
  while (writer->metrics().in_flight == 0) std::this_thread::yield();
  for (const char* line : {"2\n", "3\n"}) {
    ASSERT_EQ(enqueue_line_with_outcome(writer->queue(), line, false), EnqueueOutcome::accepted);
  }
  std::thread producer([&] { enqueue_line_with_outcome(writer->queue(), "4\n", true); });
  std::thread flusher([&] { writer->flush(std::nullopt); });
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      writer->metrics();
      writer->messages();
    }
  });

  int failed_children = 0;
  for (int i = 0; i < kForks; ++i) {
    const pid_t pid = fork();
    if (pid == 0) _exit(child_finds_the_writer_closed(writer) ? 0 : 1);
    ASSERT_GT(pid, 0);
    if (wait_for_child(pid, 10s) != 0) ++failed_children;
  }
  EXPECT_EQ(failed_children, 0);

  stop = true;
  reader.join();
  {
    std::lock_guard lock(release->mutex);
    release->released = true;
  }
  release->cv.notify_all();
  producer.join();
  flusher.join();
  EXPECT_EQ(writer->close(std::nullopt), 0u);
  EXPECT_EQ(writer->metrics().written, 4u);
  EXPECT_EQ(captured->snapshot().size(), 4u);
}

}  // namespace
}  // namespace vorlisk
