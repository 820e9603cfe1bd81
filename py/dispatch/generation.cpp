#include "py/dispatch/generation.h"

#include <algorithm>
#include <new>

#include "core/base/monotonic.h"
#include "py/dispatch/callback_depth.h"

namespace vorlisk::py {
namespace {

// When the producers or the worker last made progress while drains waited.
MonotonicInstant any_progress_at(const QueueGeneration& g) {
  return std::max(g.finished_at, g.delivered_at);
}

// Gives up on a worker that stopped making progress. Returns the records
// it had not delivered.
uint64_t abandon(QueueGeneration& g, std::unique_lock<std::mutex>& lock) {
  g.accepting = false;
  g.abandoned = true;
  g.stop_delivery.store(true, std::memory_order_release);
  const uint64_t undelivered = g.unfinished + g.producers_in_progress;
  g.progress.notify_all();
  g.work.notify_all();
  lock.unlock();
  // Newer generations no longer wait for this one.
  retire_generation_id(*g.tracker, g.id);
  return undelivered;
}

void join_worker(QueueGeneration& g) {
  {
    std::lock_guard<std::mutex> lock(g.lock);
    if (g.abandoned) return;
  }
  std::optional<NativeThread> handle;
  {
    std::lock_guard<std::mutex> lock(g.handle_lock);
    handle.swap(g.worker);
  }
  if (handle) handle->join();
}

}  // namespace

void GenerationTracker::lock_for_fork() { lock.lock(); }

void GenerationTracker::unlock_after_fork_in_parent() { lock.unlock(); }

void GenerationTracker::unlock_after_fork_in_child() {
  // The workers of the parent's generations are not here: none of them
  // may hold back a generation opened in this process.
  live_ids.clear();
  // Made anew without being destroyed: the old one may count waiters.
  new (&turn) std::condition_variable;
  lock.unlock();
}

uint64_t open_generation_id(GenerationTracker& tracker) {
  std::lock_guard<std::mutex> lock(tracker.lock);
  const uint64_t id = tracker.next_id++;
  tracker.live_ids.insert(id);
  return id;
}

void retire_generation_id(GenerationTracker& tracker, uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(tracker.lock);
    if (tracker.live_ids.erase(id) == 0) return;
  }
  tracker.turn.notify_all();
}

void wait_for_turn(GenerationTracker& tracker, uint64_t id) {
  std::unique_lock<std::mutex> lock(tracker.lock);
  tracker.turn.wait(lock, [&] {
    return tracker.live_ids.empty() || tracker.live_ids.count(id) == 0 ||
           *tracker.live_ids.begin() == id;
  });
}

QueueGeneration::QueueGeneration(std::shared_ptr<GenerationTracker> tracker_in, uint64_t maxsize_in,
                                 uint64_t id_in)
    : tracker(std::move(tracker_in)), maxsize(maxsize_in), id(id_in) {}

void QueueGeneration::lock_for_fork() {
  handle_lock.lock();
  lock.lock();
}

void QueueGeneration::unlock_after_fork_in_parent() {
  lock.unlock();
  handle_lock.unlock();
}

void QueueGeneration::unlock_after_fork_in_child() {
  // The worker stayed behind in the parent, which delivers what is queued.
  accepting = false;
  abandoned = true;
  stop_delivery.store(true, std::memory_order_relaxed);
  // Its thread id names nothing here: never joined, never detached.
  if (worker) {
    worker->forget();
    worker.reset();
  }
  new (&progress) std::condition_variable;
  new (&work) std::condition_variable;
  lock.unlock();
  handle_lock.unlock();
}

void note_finished(QueueGeneration& g) {
  if (g.drain_waiters == 0) return;  // the clock is read only for a drain
  g.finished_at = MonotonicInstant::now();
  if (g.finished < g.wake_drains_at_finished) return;
  g.wake_drains_at_finished = UINT64_MAX;  // drains still waiting set it again
  g.progress.notify_all();
}

void note_delivered(QueueGeneration& g) {
  if (g.drain_waiters == 0) return;
  g.delivered_at = MonotonicInstant::now();
  if (g.delivered < g.wake_drains_at_delivered) return;
  g.wake_drains_at_delivered = UINT64_MAX;
  g.progress.notify_all();
}

void retire_generation(QueueGeneration& g) {
  std::lock_guard<std::mutex> lock(g.lock);
  g.accepting = false;
  g.progress.notify_all();
  g.work.notify_all();
}

bool generation_worker_running(QueueGeneration& g) {
  std::lock_guard<std::mutex> lock(g.handle_lock);
  return g.worker.has_value() && !g.worker->finished();
}

bool generation_worker_alive(QueueGeneration& g) {
  if (!generation_worker_running(g)) return false;
  std::lock_guard<std::mutex> lock(g.lock);
  return !g.abandoned;
}

uint64_t drain_generation(QueueGeneration& g, std::optional<Duration> stall) {
  // A sink callback never waits for its own worker.
  if (inside_sink_callback()) return 0;
  std::unique_lock<std::mutex> lock(g.lock);
  if (g.abandoned) return 0;
  ++g.drain_waiters;

  // First the producers admitted so far, then the records they pushed.
  const uint64_t admitted = g.admitted;
  bool progressing = wait_while_progressing(
      g.progress, lock, stall, [&] { return !g.abandoned && g.finished < admitted; },
      [&] { return g.finished + g.delivered; }, [&] { return any_progress_at(g); },
      [&] { g.wake_drains_at_finished = std::min(g.wake_drains_at_finished, admitted); });
  if (progressing && !g.abandoned) {
    const uint64_t enqueued = g.enqueued;
    progressing = wait_while_progressing(
        g.progress, lock, stall, [&] { return !g.abandoned && g.delivered < enqueued; },
        [&] { return g.delivered; }, [&] { return g.delivered_at; },
        [&] { g.wake_drains_at_delivered = std::min(g.wake_drains_at_delivered, enqueued); });
  }
  // A retired generation is joined. Under a stall limit the worker's end is
  // awaited by the same rule first, so that the join cannot hang behind a
  // worker that still has work from late producers or never gets back.
  if (progressing && !g.abandoned && !g.accepting && stall) {
    progressing = wait_while_progressing(
        g.progress, lock, stall, [&] { return !g.abandoned && !g.worker_exited; },
        [&] { return g.finished + g.delivered; }, [&] { return any_progress_at(g); }, [] {});
  }
  --g.drain_waiters;

  if (g.abandoned) return 0;  // another drain gave up on it
  if (!progressing) return abandon(g, lock);
  if (g.accepting) return 0;  // drained in place; the worker stays
  lock.unlock();
  join_worker(g);
  return 0;
}

}  // namespace vorlisk::py
