// The writer's worker thread: takes lines off a `LineQueue`, writes them to
// the writer's sink and counts the outcome line by line, and flushes the
// sink when the queue runs empty or a waiting flush has been reached. After
// close it drains what is queued, flushes once more and ends.
//
// A sink that writes line by line gets one line at a time. One that writes
// several at once (a log file, whose lock is taken once for all of them)
// gets the lines already queued, up to its `batch_lines()` and never past a
// waiting flush's target; the worker holds them as taken (`dequeued`,
// `in_flight` 1) and counts each part the sink reports done at once.
//
// Thread safety: the worker holds the queue mutex only for bookkeeping and
// calls the sink without it, so producers, flush, close and metrics never
// wait behind a slow sink. It never calls into Python.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "core/base/native_thread.h"
#include "core/worker/line_queue.h"
#include "core/worker/line_sink.h"

namespace vorlisk {

// The stack every writer thread gets.
inline constexpr size_t kWriterStackSize = size_t{2} << 20;

// What `start_writer` hands to the writer object.
struct WriterParts {
  std::shared_ptr<LineQueue> queue;
  std::shared_ptr<CapturedLines> captured;
  NativeThread thread;
};

// Builds a queue and starts the worker on it with `sink`. Fails with a text
// beginning "failed to spawn thread" when no thread can be created.
std::variant<WriterParts, std::string> start_writer(uint64_t maxsize, bool paused,
                                                    std::unique_ptr<LineSink> sink,
                                                    std::shared_ptr<CapturedLines> captured);

// The worker's body; returns once the queue is closed and drained. An
// exception escaping a sink leaves it early (its caller's guard then marks
// the worker dead).
void writer_worker_loop(LineQueue& queue, LineSink& sink);

// Gives up on a worker that left its loop without finishing: unless it is
// already done, counts one sink error, closes the queue, marks the worker
// done, drops any pending flush and the in-flight line, and wakes every
// waiter, so nobody waits for a thread that will make no more progress.
void mark_worker_dead(LineQueue& queue);

// Runs `mark_worker_dead` however the worker's body is left.
class WorkerExitGuard {
 public:
  explicit WorkerExitGuard(std::shared_ptr<LineQueue> queue) : queue_(std::move(queue)) {}
  WorkerExitGuard(const WorkerExitGuard&) = delete;
  WorkerExitGuard& operator=(const WorkerExitGuard&) = delete;
  ~WorkerExitGuard() { mark_worker_dead(*queue_); }

 private:
  std::shared_ptr<LineQueue> queue_;
};

}  // namespace vorlisk
