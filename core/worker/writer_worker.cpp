#include "core/worker/writer_worker.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <utility>
#include <vector>

namespace vorlisk {
namespace {

// The final flush after close: everything completed is now flushed.
void finish(LineQueue& queue, LineSink& sink) {
  SinkResult flushed = sink.flush();
  const uint64_t errors = take_failures(sink, flushed);
  std::lock_guard lock(queue.mutex);
  LineQueueState& s = queue.state;
  s.sink_errors += errors;
  s.flushed_through = s.completed;
  s.pending_flush_target.reset();
  s.worker_done = true;
  queue.cond_progress.notify_all();
}

// How long a worker that ran out of lines watches for the next one before
// it sleeps. Waking a sleeping worker costs the producer a system call and
// a context switch; a producer that logs steadily never pays it.
constexpr auto kLineWatch = std::chrono::microseconds(50);

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Called with the lock held and nothing to take; returns with it held,
// after an event (a line, resume, close) or the watch time.
void watch_for_work(LineQueue& queue, std::unique_lock<std::mutex>& lock) {
  const uint64_t seen = queue.wake_epoch.load(std::memory_order_relaxed);
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + kLineWatch;
  for (unsigned spins = 1;; ++spins) {
    if (queue.wake_epoch.load(std::memory_order_acquire) != seen) break;
    if (spins % 64 == 0 && std::chrono::steady_clock::now() >= until) break;
    cpu_relax();
  }
  lock.lock();
}

// Under the lock: moves the lines the worker takes at once into `batch`,
// the oldest first, at most `limit` of them, and no further than a waiting
// flush's target, so that the flush comes as soon as its lines are done.
void take_lines(LineQueue& queue, std::vector<std::string>& batch, size_t limit) {
  LineQueueState& s = queue.state;
  if (const auto& target = s.pending_flush_target) {
    const uint64_t to_target = *target > s.completed ? *target - s.completed : 0;
    limit = std::clamp<uint64_t>(to_target, 1, limit);
  }
  const size_t count = std::min(limit, s.lines.size());
  for (size_t i = 0; i < count; ++i) {
    batch.push_back(std::move(s.lines.front()));
    s.lines.pop_front();
  }
  s.dequeued += count;
  s.in_flight = 1;
  // One freed slot wakes one blocked producer.
  for (size_t i = 0; i < count; ++i) queue.cond_space.notify_one();
}

// Under the lock: counts the lines a write dealt with and hands their
// buffers back to the producers.
void complete_lines(LineQueue& queue, std::span<std::string> lines, const WriteTally& tally) {
  LineQueueState& s = queue.state;
  for (std::string& line : lines) {
    if (s.spare_lines.size() == kMaxSpareLines) break;
    if (reusable_line_buffer(line)) {
      line.clear();
      s.spare_lines.push_back(std::move(line));
    }
  }
  s.sink_errors += tally.errors;
  s.written += tally.written;
  s.completed += lines.size();
  if (s.stall_watchers != 0) s.last_progress = MonotonicInstant::now();
}

}  // namespace

void writer_worker_loop(LineQueue& queue, LineSink& sink) {
  LineQueueState& s = queue.state;
  const size_t batch_limit = std::max<size_t>(sink.batch_lines(), 1);
  std::vector<std::string> batch;
  batch.reserve(batch_limit);
  // Held for the bookkeeping only; every sink call runs without it. Kept
  // from the end of one batch to the start of the next.
  std::unique_lock lock(queue.mutex);
  for (;;) {
    // A paused worker takes nothing until resume or close.
    bool watched = false;
    for (;;) {
      const bool may_take = !s.paused || s.closed;
      if (may_take && (!s.lines.empty() || s.closed)) break;
      if (may_take && !watched) {
        watch_for_work(queue, lock);
        watched = true;
        continue;
      }
      s.worker_waiting_for_line = may_take;
      queue.cond_work.wait(lock);
      s.worker_waiting_for_line = false;
    }
    if (s.lines.empty()) {
      lock.unlock();
      finish(queue, sink);
      return;
    }
    take_lines(queue, batch, batch_limit);
    lock.unlock();

    // A sink may deal with fewer lines than it was given (a log file ends
    // a hold of its lock); each part is counted as soon as it is done.
    for (size_t done = 0; done < batch.size();) {
      const std::span<std::string> rest = std::span(batch).subspan(done);
      const WriteTally tally = sink.write_lines(rest);
      const size_t count = std::clamp<size_t>(tally.lines, 1, rest.size());
      lock.lock();
      complete_lines(queue, rest.first(count), tally);
      done += count;
      if (done < batch.size()) lock.unlock();
    }
    batch.clear();
    const bool flush_now =
        s.lines.empty() || (s.pending_flush_target && s.completed >= *s.pending_flush_target);
    if (!flush_now) {
      s.in_flight = 0;
      continue;
    }
    lock.unlock();

    SinkResult flushed = sink.flush();
    const uint64_t flush_errors = take_failures(sink, flushed);

    lock.lock();
    s.sink_errors += flush_errors;
    s.flushed_through = s.completed;
    if (s.pending_flush_target && *s.pending_flush_target <= s.completed) {
      s.pending_flush_target.reset();
    }
    s.in_flight = 0;
    queue.cond_progress.notify_all();
  }
}

void mark_worker_dead(LineQueue& queue) {
  std::lock_guard lock(queue.mutex);
  LineQueueState& s = queue.state;
  if (s.worker_done) return;
  s.sink_errors += 1;
  s.closed = true;
  s.worker_done = true;
  s.pending_flush_target.reset();
  // The line the worker held when it died will never complete.
  s.in_flight = 0;
  queue.wake_worker();
  queue.cond_progress.notify_all();
  queue.cond_space.notify_all();
}

std::variant<WriterParts, std::string> start_writer(uint64_t maxsize, bool paused,
                                                    std::unique_ptr<LineSink> sink,
                                                    std::shared_ptr<CapturedLines> captured) {
  auto queue = std::make_shared<LineQueue>(maxsize, paused);
  // std::function needs a copyable body, so the sink travels as a shared
  // pointer that only the worker ever uses.
  std::shared_ptr<LineSink> worker_sink(std::move(sink));
  auto body = [queue, worker_sink]() mutable {
    {
      WorkerExitGuard guard(queue);
      writer_worker_loop(*queue, *worker_sink);
    }
    // Dropping the sink closes its files on the worker, as soon as it is done.
    worker_sink.reset();
  };
  auto spawned = spawn_native_thread(std::move(body), kWriterStackSize, nullptr);
  if (auto* error = std::get_if<std::string>(&spawned)) {
    return "failed to spawn thread: " + *error;
  }
  return WriterParts{std::move(queue), std::move(captured),
                     std::move(std::get<NativeThread>(spawned))};
}

}  // namespace vorlisk
