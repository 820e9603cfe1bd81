#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/base/spare_line.h"
#include "core/render/text_buffer.h"
#include "core/worker/writer_handle.h"
#include "core/worker/writer_start.h"

namespace vorlisk {
namespace {

WriterHandle started(std::variant<WriterParts, std::string> result) {
  if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
  return WriterHandle(std::get<WriterParts>(std::move(result)));
}

std::string line_of(size_t length, char fill) { return std::string(length - 1, fill) + "\n"; }

TEST(SpareLines, AThreadKeepsOneReusableBuffer) {
  (void)take_spare_line();
  keep_spare_line(std::string("short"));  // its own buffer is too small to keep
  EXPECT_EQ(take_spare_line().capacity(), std::string().capacity());

  std::string first(300, 'x');
  const char* kept = first.data();
  keep_spare_line(std::move(first));
  keep_spare_line(std::string(500, 'y'));  // the thread has one already
  std::string spare = take_spare_line();
  EXPECT_EQ(spare.data(), kept);
  EXPECT_TRUE(spare.empty());
  EXPECT_EQ(take_spare_line().capacity(), std::string().capacity());

  keep_spare_line(std::string(kMaxSpareLineCapacity + 1, 'z'));  // too big to pin
  EXPECT_EQ(take_spare_line().capacity(), std::string().capacity());

  std::string other_thread;
  std::thread([&] { other_thread = take_spare_line(); }).join();
  EXPECT_EQ(other_thread.capacity(), std::string().capacity());
}

TEST(SpareLines, WrittenLinesComeBackToTheProducer) {
  WriterHandle writer = started(start_null_writer(0));
  (void)take_spare_line();
  std::string line = line_of(400, 'a');
  const char* buffer = line.data();
  ASSERT_EQ(enqueue_line_with_outcome(writer.queue(), std::move(line), true), EnqueueOutcome::accepted);
  ASSERT_EQ(writer.flush(std::nullopt), 0u);
  // The next push gets the written line's buffer back for the thread.
  ASSERT_EQ(enqueue_line_with_outcome(writer.queue(), line_of(400, 'b'), true), EnqueueOutcome::accepted);
  std::string spare = new_line_buffer();
  EXPECT_EQ(spare.data(), buffer);
  EXPECT_TRUE(spare.empty());
  EXPECT_GE(spare.capacity(), line_capacity_hint());
  writer.close(std::nullopt);
}

// Buffers go round between the worker and the producer while lines of
// every length are written: each line reaches the sink whole, without a
// trace of the line its buffer held before.
TEST(SpareLines, ReusedBuffersNeverLeakEarlierText) {
  WriterHandle writer = started(start_memory_writer(0, false));
  WriterHandle sink_writer = started(start_null_writer(0));
  std::vector<std::string> expected;
  for (size_t i = 0; i < 200; ++i) {
    const size_t length = (i * 37) % 300 + 1;
    // Render into the thread's spare, as the log path does.
    std::string rendered = new_line_buffer();
    rendered.append(line_of(length, static_cast<char>('a' + i % 26)));
    expected.push_back(rendered);
    ASSERT_EQ(enqueue_line_with_outcome(writer.queue(), rendered, true), EnqueueOutcome::accepted);
    // The null writer's written lines are the buffers that come back.
    std::string recycled = new_line_buffer();
    recycled.append(line_of(length + 50, '#'));
    ASSERT_EQ(enqueue_line_with_outcome(sink_writer.queue(), std::move(recycled), true),
              EnqueueOutcome::accepted);
  }
  writer.close(std::nullopt);
  sink_writer.close(std::nullopt);
  EXPECT_EQ(writer.messages(), expected);
}

}  // namespace
}  // namespace vorlisk
