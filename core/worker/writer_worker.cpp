#include "core/worker/writer_worker.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace vorlisk {
namespace {

// The sink's own count, or 1 for a failure it did not count itself.
uint64_t failures(LineSink& sink, const SinkResult& result) {
  return std::max<uint64_t>(sink.take_errors(), result.is_ok() ? 0 : 1);
}

// The final flush after close: everything completed is now flushed.
void finish(LineQueue& queue, LineSink& sink) {
  SinkResult flushed = sink.flush();
  const uint64_t errors = failures(sink, flushed);
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

}  // namespace

void writer_worker_loop(LineQueue& queue, LineSink& sink) {
  LineQueueState& s = queue.state;
  // Held for the bookkeeping only; every sink call runs without it. Kept
  // from the end of one line to the start of the next.
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
    std::string line = std::move(s.lines.front());
    s.lines.pop_front();
    s.dequeued += 1;
    s.in_flight += 1;
    queue.cond_space.notify_one();
    lock.unlock();

    SinkResult wrote = sink.write_line(line);
    const uint64_t write_errors = failures(sink, wrote);

    lock.lock();
    if (reusable_line_buffer(line) && s.spare_lines.size() < kMaxSpareLines) {
      line.clear();
      s.spare_lines.push_back(std::move(line));
    }
    s.sink_errors += write_errors;
    if (wrote.is_ok()) s.written += 1;
    s.completed += 1;
    const bool flush_now =
        s.lines.empty() || (s.pending_flush_target && s.completed >= *s.pending_flush_target);
    if (!flush_now) {
      s.in_flight -= 1;
      continue;
    }
    lock.unlock();

    SinkResult flushed = sink.flush();
    const uint64_t flush_errors = failures(sink, flushed);

    lock.lock();
    s.sink_errors += flush_errors;
    s.flushed_through = s.completed;
    if (s.pending_flush_target && *s.pending_flush_target <= s.completed) {
      s.pending_flush_target.reset();
    }
    s.in_flight -= 1;
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
