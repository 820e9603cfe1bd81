#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/tests/test_time.h"
#include "core/worker/multi_sink.h"
#include "core/worker/simple_sinks.h"
#include "core/worker/writer_handle.h"
#include "core/worker/writer_start.h"

namespace vorlisk {
namespace {

using namespace std::chrono_literals;

WriterParts started(std::variant<WriterParts, std::string> result) {
  if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
  return std::get<WriterParts>(std::move(result));
}

EnqueueOutcome push(WriterHandle& writer, std::string line, bool blocking = false) {
  return enqueue_line_with_outcome(writer.queue(), std::move(line), blocking);
}

// Writes wait for permits handed out by the test; counts what it saw.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t permits = 0;
  uint64_t writes_started = 0;
  uint64_t flushes = 0;
  bool open_for_good = false;

  void allow(uint64_t n) {
    std::lock_guard lock(mutex);
    permits += n;
    cv.notify_all();
  }
  void open() {
    std::lock_guard lock(mutex);
    open_for_good = true;
    cv.notify_all();
  }
  void wait_for_writes(uint64_t n) {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return writes_started >= n; });
  }
};

// Each line waits for a permit. With `batch` above 1 the sink takes that
// many lines per call, as a log file does, and writes all it is given.
class GatedSink final : public LineSink {
 public:
  explicit GatedSink(std::shared_ptr<Gate> gate, size_t batch = 1)
      : gate_(std::move(gate)), batch_(batch) {}
  SinkResult write_line(std::string&) override {
    std::unique_lock lock(gate_->mutex);
    gate_->writes_started += 1;
    gate_->cv.notify_all();
    gate_->cv.wait(lock, [&] { return gate_->open_for_good || gate_->permits > 0; });
    if (!gate_->open_for_good) gate_->permits -= 1;
    return SinkResult::ok();
  }
  size_t batch_lines() const override { return batch_; }
  WriteTally write_lines(std::span<std::string> lines) override {
    if (batch_ == 1) return LineSink::write_lines(lines);
    for (std::string& line : lines) write_line(line);
    return WriteTally{lines.size(), lines.size(), 0};
  }
  SinkResult flush() override {
    std::lock_guard lock(gate_->mutex);
    gate_->flushes += 1;
    return SinkResult::ok();
  }
  uint64_t take_errors() override { return 0; }

 private:
  std::shared_ptr<Gate> gate_;
  size_t batch_;
};

std::unique_ptr<WriterHandle> gated_writer(std::shared_ptr<Gate> gate, size_t batch = 1) {
  return std::make_unique<WriterHandle>(started(start_writer(
      0, false, std::make_unique<GatedSink>(std::move(gate), batch),
      std::make_shared<CapturedLines>())));
}

// Fails or succeeds as told; optionally reports failures through take_errors.
class ScriptedSink final : public LineSink {
 public:
  ScriptedSink(bool fail, bool throws = false) : fail_(fail), throws_(throws) {}
  SinkResult write_line(std::string&) override {
    if (throws_) throw std::runtime_error("sink broke");
    return fail_ ? SinkResult::failure("no") : SinkResult::ok();
  }
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }

 private:
  bool fail_;
  bool throws_;
};

struct FanOutCase {
  bool first_fails;
  bool second_fails;
};

class FanOut : public ::testing::TestWithParam<FanOutCase> {};

// Every failing child is one sink error; the line counts as written when
// any child took it.
TEST_P(FanOut, CountsEachFailingChild) {
  const auto [first_fails, second_fails] = GetParam();
  std::vector<std::unique_ptr<LineSink>> children;
  children.push_back(std::make_unique<ScriptedSink>(first_fails));
  children.push_back(std::make_unique<ScriptedSink>(second_fails));
  WriterHandle writer(started(start_writer(0, false, std::make_unique<MultiSink>(std::move(children)),
                                           std::make_shared<CapturedLines>())));
  push(writer, "line");
  writer.flush(std::nullopt);
  const WriterMetrics m = writer.metrics();
  EXPECT_EQ(m.sink_errors, uint64_t{first_fails} + uint64_t{second_fails});
  EXPECT_EQ(m.written, (first_fails && second_fails) ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Children, FanOut,
                         ::testing::Values(FanOutCase{false, false}, FanOutCase{true, false},
                                           FanOutCase{false, true}, FanOutCase{true, true}));

TEST(Writer, EmptyFanOutFailsEveryLine) {
  MultiSink sink({});
  EXPECT_EQ(sink.write("x").error(), "multi-sink has no children");
  EXPECT_TRUE(sink.flush().is_ok());
}

class BatchOf : public ::testing::TestWithParam<size_t> {};

// A flush ends once its own lines are done, even while later lines are
// queued: a batch never reaches past a waiting flush's target.
TEST_P(BatchOf, FlushEndsAtItsTargetWhileLinesKeepArriving) {
  auto gate = std::make_shared<Gate>();
  auto owned = gated_writer(gate, GetParam());
  WriterHandle& writer = *owned;
  for (int i = 0; i < 3; ++i) push(writer, "early");
  gate->wait_for_writes(1);
  std::atomic<bool> flushed{false};
  std::thread flusher([&] {
    writer.flush(std::nullopt);
    flushed = true;
  });
  auto flush_pending = [&] {
    std::lock_guard lock(writer.queue().mutex);
    return writer.queue().state.pending_flush_target.has_value();
  };
  while (!flush_pending()) std::this_thread::sleep_for(1ms);
  for (int i = 0; i < 3; ++i) push(writer, "late");
  gate->allow(3);
  flusher.join();
  EXPECT_TRUE(flushed.load());
  const WriterMetrics m = writer.metrics();
  EXPECT_GE(m.written, 3u);
  EXPECT_GT(m.depth + m.in_flight, 0u);  // flushed though lines remain
  gate->open();
  EXPECT_EQ(writer.close(std::nullopt), 0u);
  EXPECT_EQ(writer.metrics().written, 6u);
}

// `in_flight` stays 0 or 1 and `dequeued` counts every line the worker
// holds, one or a batch, while a write is blocked.
TEST_P(BatchOf, InFlightWhileAWriteIsBlocked) {
  const size_t batch = GetParam();
  auto gate = std::make_shared<Gate>();
  auto owned = gated_writer(gate, batch);
  WriterHandle& writer = *owned;
  EXPECT_EQ(writer.metrics().in_flight, 0u);
  push(writer, "stuck");
  gate->wait_for_writes(1);
  for (int i = 0; i < 3; ++i) push(writer, "behind");
  WriterMetrics m = writer.metrics();
  EXPECT_EQ(m.in_flight, 1u);
  EXPECT_EQ(m.dequeued, 1u);
  EXPECT_EQ(m.depth, 3u);
  gate->allow(1);
  gate->wait_for_writes(2);
  // A batching sink took all three lines behind the first; a single-line
  // one took the next alone.
  const uint64_t held = batch > 1 ? 3 : 1;
  m = writer.metrics();
  EXPECT_EQ(m.in_flight, 1u);
  EXPECT_EQ(m.dequeued, 1 + held);
  EXPECT_EQ(m.depth, 3 - held);
  EXPECT_EQ(m.written, 1u);
  gate->open();
  writer.flush(std::nullopt);
  m = writer.metrics();
  EXPECT_EQ(m.in_flight, 0u);
  EXPECT_EQ(m.written, 4u);
}

INSTANTIATE_TEST_SUITE_P(LinesPerWrite, BatchOf, ::testing::Values(size_t{1}, size_t{8}));

// Takes up to 16 lines per call but deals with at most 5 of them, as a
// log file ends a hold early; every fifth line fails.
class PartialBatchSink final : public LineSink {
 public:
  SinkResult write_line(std::string&) override { return SinkResult::ok(); }
  size_t batch_lines() const override { return 16; }
  WriteTally write_lines(std::span<std::string> lines) override {
    WriteTally tally;
    tally.lines = std::min<size_t>(lines.size(), 5);
    for (size_t i = 0; i < tally.lines; ++i) {
      if (++count_ % 5 == 0) {
        tally.errors += 1;
      } else {
        tally.written += 1;
      }
    }
    return tally;
  }
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }

 private:
  uint64_t count_ = 0;
};

// Whenever a caller looks, the counters agree with each other, however the
// worker splits its batches.
TEST(Writer, MetricsAgreeAtEverySnapshot) {
  WriterHandle writer(started(start_writer(64, false, std::make_unique<PartialBatchSink>(),
                                           std::make_shared<CapturedLines>())));
  constexpr int kProducers = 2;
  constexpr int kLinesEach = 20'000;
  std::atomic<bool> producing{true};
  std::thread reader([&] {
    while (producing.load()) {
      const WriterMetrics m = writer.metrics();
      ASSERT_EQ(m.enqueued, m.dequeued + m.depth);
      ASSERT_LE(m.in_flight, 1u);
      ASSERT_LE(m.written + m.sink_errors, m.dequeued);
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&] {
      for (int i = 0; i < kLinesEach; ++i) push(writer, "line", true);
    });
  }
  for (auto& producer : producers) producer.join();
  EXPECT_EQ(writer.flush(std::nullopt), 0u);
  producing = false;
  reader.join();
  const WriterMetrics m = writer.metrics();
  EXPECT_EQ(m.written, kProducers * kLinesEach / 5 * 4);
  EXPECT_EQ(m.sink_errors, kProducers * kLinesEach / 5);
  EXPECT_EQ(m.in_flight, 0u);
}

class StallLimit : public ::testing::TestWithParam<bool> {};

// A writer that makes no progress (flush on a paused writer, close behind a
// stuck sink) is given up on after about the limit; the call reports the
// lines accepted but not finished, the stuck one included.
TEST_P(StallLimit, GivesUpOnAWriterThatMakesNoProgress) {
  const bool use_close = GetParam();
  auto gate = std::make_shared<Gate>();
  WriterHandle writer(started(use_close ? start_writer(0, false, std::make_unique<GatedSink>(gate),
                                                       std::make_shared<CapturedLines>())
                                        : start_memory_writer(0, true)));
  push(writer, "pending");
  if (use_close) {
    gate->wait_for_writes(1);
    push(writer, "queued behind it");
  }
  const auto start = std::chrono::steady_clock::now();
  const Duration limit{0, 50'000'000};
  const uint64_t undrained = use_close ? writer.close(limit) : writer.flush(limit);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(undrained, use_close ? 2u : 1u);
  EXPECT_GE(waited, 50ms);
  EXPECT_LT(waited, 2s * kTimeScale);
  const WriterMetrics m = writer.metrics();
  EXPECT_TRUE(m.closed);
  EXPECT_TRUE(m.worker_done);
  EXPECT_EQ(push(writer, "after"), EnqueueOutcome::closed);
  EXPECT_EQ(writer.flush(limit), 0u);
  EXPECT_EQ(writer.close(limit), 0u);
  gate->open();  // the given-up worker drains and ends on its own
}

INSTANTIATE_TEST_SUITE_P(FlushOrClose, StallLimit, ::testing::Bool());

// The limit the stall tests wait with. What they assert holds whenever no
// thread is held up for most of it.
constexpr std::chrono::milliseconds kStall = 1000ms * kTimeScale;

Duration as_duration(std::chrono::nanoseconds d) {
  return Duration{static_cast<uint64_t>(d.count() / 1'000'000'000),
                  static_cast<uint32_t>(d.count() % 1'000'000'000)};
}

class SlowSink final : public LineSink {
 public:
  SinkResult write_line(std::string&) override {
    std::this_thread::sleep_for(kStall / 10);
    return SinkResult::ok();
  }
  SinkResult flush() override { return SinkResult::ok(); }
  uint64_t take_errors() override { return 0; }
};

// Each completed line starts the limit again, so a slow but moving sink is
// never given up on even when the whole wait is longer than the limit:
// twelve lines of a tenth of the limit each.
TEST(Writer, ProgressRestartsTheStallLimit) {
  WriterHandle writer(started(start_writer(0, false, std::make_unique<SlowSink>(),
                                           std::make_shared<CapturedLines>())));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 12; ++i) push(writer, "x");
  EXPECT_EQ(writer.flush(as_duration(kStall)), 0u);
  EXPECT_GT(std::chrono::steady_clock::now() - start, kStall);
  EXPECT_EQ(writer.metrics().written, 12u);
  EXPECT_FALSE(writer.metrics().closed);
}

// The limit runs from the last completed line, not from when the waiting
// flush happens to wake up and notice it: a line that completes early in
// the first stretch does not buy a whole second stretch.
TEST(Writer, AStallIsCountedFromTheLastProgress) {
  auto gate = std::make_shared<Gate>();
  auto owned = gated_writer(gate);
  WriterHandle& writer = *owned;
  push(writer, "completes early");
  gate->wait_for_writes(1);
  push(writer, "stuck for good");
  const auto start = std::chrono::steady_clock::now();
  auto flush = writer.start_flush(as_duration(kStall));
  // The line completes after the flush began, a tenth of the limit in.
  std::chrono::steady_clock::time_point progress_at;
  std::thread progress([&] {
    std::this_thread::sleep_for(kStall / 10);
    progress_at = std::chrono::steady_clock::now();
    gate->allow(1);
  });
  const uint64_t undrained = flush.wait();
  const auto abandoned_at = std::chrono::steady_clock::now();
  progress.join();
  EXPECT_EQ(undrained, 1u);
  EXPECT_GE(abandoned_at - progress_at, kStall);
  // A fresh stretch from the wake-up at the first deadline would end two
  // limits after the start.
  EXPECT_LT(abandoned_at - start, 2 * kStall)
      << "progress at " << (progress_at - start).count() << " ns";
  gate->open();
}

// Flushes started together each run their stall limit from that start and
// their own writer's progress, whichever is waited on first: the second
// one's limit neither starts afresh when its wait begins nor forgets the
// progress made while the first was waited on.
TEST(Writer, FlushesStartedTogetherShareOneStallBound) {
  auto never = std::make_shared<Gate>();
  auto once = std::make_shared<Gate>();
  auto stuck = gated_writer(never);
  auto moves_once = gated_writer(once);
  for (WriterHandle* writer : {stuck.get(), moves_once.get(), moves_once.get()}) {
    push(*writer, "line");
  }
  never->wait_for_writes(1);
  once->wait_for_writes(1);

  const auto start = std::chrono::steady_clock::now();
  auto first = stuck->start_flush(as_duration(kStall));
  auto second = moves_once->start_flush(as_duration(kStall));
  std::chrono::steady_clock::time_point progress_at;
  std::thread progress([&] {
    std::this_thread::sleep_for(kStall / 10);
    progress_at = std::chrono::steady_clock::now();
    once->allow(1);
  });
  EXPECT_EQ(first.wait(), 1u);
  const auto first_done = std::chrono::steady_clock::now();
  EXPECT_EQ(second.wait(), 1u);
  const auto second_done = std::chrono::steady_clock::now();
  progress.join();
  EXPECT_GE(first_done - start, kStall);
  EXPECT_GE(second_done - progress_at, kStall);  // its line's progress counts
  // A stretch of its own from when its wait began, after the first, would
  // end two limits after the start.
  EXPECT_LT(second_done - start, 2 * kStall)
      << "progress at " << (progress_at - start).count() << " ns, first done at "
      << (first_done - start).count() << " ns";
  never->open();
  once->open();
}

TEST(Writer, ADeadWorkerReleasesEveryWaiter) {
  WriterHandle writer(started(start_writer(1, false, std::make_unique<ScriptedSink>(false, true),
                                           std::make_shared<CapturedLines>())));
  push(writer, "boom");
  EXPECT_EQ(writer.flush(std::nullopt), 0u);
  const WriterMetrics m = writer.metrics();
  EXPECT_TRUE(m.closed);
  EXPECT_TRUE(m.worker_done);
  EXPECT_EQ(m.in_flight, 0u);
  EXPECT_EQ(m.sink_errors, 1u);
  EXPECT_EQ(push(writer, "next", true), EnqueueOutcome::closed);
  EXPECT_EQ(writer.close(std::nullopt), 0u);
}

}  // namespace
}  // namespace vorlisk
