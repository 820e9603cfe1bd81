#include "core/worker/writer_handle.h"

#include <unistd.h>

#include "core/base/monotonic.h"

namespace vorlisk {

WriterHandle::WriterHandle(WriterParts parts)
    : queue_(std::move(parts.queue)),
      captured_(std::move(parts.captured)),
      thread_(std::move(parts.thread)),
      spawned_in_(::getpid()) {}

WriterHandle::~WriterHandle() {
  if (!spawned_here()) {
    // Inherited across fork(): no worker here would ever end and the thread
    // id names nothing. Nothing is closed, waited for or locked.
    if (thread_) thread_->forget();
    return;
  }
  if (!abandoned()) {
    close(std::nullopt);
    return;
  }
  std::lock_guard lock(handle_mutex_);
  if (thread_) thread_->detach();
  thread_.reset();
}

bool WriterHandle::spawned_here() const { return ::getpid() == spawned_in_; }

template <typename Done>
uint64_t WriterHandle::wait_for_progress(std::unique_lock<std::mutex>& lock,
                                         const std::optional<Duration>& stall_limit, Done&& done) {
  LineQueueState& s = queue_->state;
  if (!stall_limit) {
    while (!done() && !s.worker_done) queue_->cond_progress.wait(lock);
    return 0;
  }
  // While this wait watches, the worker notes when it last made progress.
  s.stall_watchers += 1;
  struct Unwatch {
    uint32_t& watchers;
    ~Unwatch() { watchers -= 1; }  // the lock is held on every way out
  } unwatch{s.stall_watchers};
  const bool progressing = wait_while_progressing(
      queue_->cond_progress, lock, stall_limit, [&] { return !done() && !s.worker_done; },
      [&] { return s.completed; }, [&] { return s.last_progress; }, [] {});
  return progressing ? 0 : abandon_stalled_writer();
}

uint64_t WriterHandle::flush(const std::optional<Duration>& stall_limit) {
  std::unique_lock lock(queue_->mutex);
  LineQueueState& s = queue_->state;
  const uint64_t target = s.enqueued;
  if (s.flushed_through >= target) return 0;
  if (!s.pending_flush_target || *s.pending_flush_target < target) {
    s.pending_flush_target = target;
  }
  return wait_for_progress(lock, stall_limit, [&] { return s.flushed_through >= target; });
}

uint64_t WriterHandle::close(const std::optional<Duration>& stall_limit) {
  if (abandoned()) return 0;
  {
    std::lock_guard lock(queue_->mutex);
    queue_->state.closed = true;
    queue_->wake_worker();
    queue_->cond_space.notify_all();
  }
  {
    std::unique_lock lock(queue_->mutex);
    const uint64_t undrained = wait_for_progress(lock, stall_limit, [] { return false; });
    if (undrained != 0) return undrained;
  }
  std::optional<NativeThread> thread;
  {
    std::lock_guard lock(handle_mutex_);
    thread.swap(thread_);
  }
  // The worker's own failures were already counted by its exit guard.
  if (thread) let_go_of(*thread, true);
  return 0;
}

uint64_t WriterHandle::abandon_stalled_writer() {
  LineQueueState& s = queue_->state;
  s.closed = true;
  s.worker_done = true;
  s.pending_flush_target.reset();
  queue_->wake_worker();
  queue_->cond_progress.notify_all();
  queue_->cond_space.notify_all();
  {
    std::lock_guard lock(handle_mutex_);
    // Never killed: once its sink call returns it drains and ends unobserved.
    if (thread_) let_go_of(*thread_, false);
    thread_.reset();
  }
  return s.enqueued - s.completed;
}

void WriterHandle::let_go_of(NativeThread& thread, bool join) const {
  if (!spawned_here()) {
    // Inherited across fork(): the id names nothing in this process, or a
    // thread the C runtime made since.
    thread.forget();
  } else if (join) {
    thread.join();
  } else {
    thread.detach();
  }
}

void WriterHandle::resume() {
  std::lock_guard lock(queue_->mutex);
  queue_->state.paused = false;
  queue_->wake_worker();
}

WriterMetrics WriterHandle::metrics() const {
  std::lock_guard lock(queue_->mutex);
  const LineQueueState& s = queue_->state;
  WriterMetrics m;
  m.enqueued = s.enqueued;
  m.dropped = s.dropped;
  m.dequeued = s.dequeued;
  m.written = s.written;
  m.sink_errors = s.sink_errors;
  m.depth = s.lines.size();
  m.maxsize = queue_->maxsize;
  m.in_flight = s.in_flight;
  m.closed = s.closed;
  m.worker_done = s.worker_done;
  m.paused = s.paused;
  return m;
}

WriterHandle::ForkLocks WriterHandle::lock_for_fork() {
  ForkLocks locks;
  locks.queue = std::unique_lock(queue_->mutex);
  locks.handle = std::unique_lock(handle_mutex_);
  locks.captured = captured_->lock_for_fork();
  return locks;
}

void WriterHandle::forget_worker_after_fork(ForkLocks& /*locks*/) {
  queue_->forget_worker_after_fork();
  if (thread_) thread_->forget();
  thread_.reset();
}

}  // namespace vorlisk
